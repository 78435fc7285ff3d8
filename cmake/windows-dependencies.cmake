# Dependencies of the Windows cross build. Debian has no mingw packages of them: fmt, JSON for
# Modern C++ and CLI11 are used header-only from the build machine's headers (through a folder
# of links, as putting /usr/include itself on the path would hide mingw's C library), and
# GoogleTest is built for mingw by scripts/install-cross-deps windows into KYT_MINGW_PREFIX.
set(kyt_host_include ${CMAKE_BINARY_DIR}/host-include)
file(MAKE_DIRECTORY ${kyt_host_include})
foreach(dir fmt nlohmann CLI)
  if(NOT EXISTS /usr/include/${dir})
    message(FATAL_ERROR "/usr/include/${dir} is missing: run scripts/install-deps")
  endif()
  file(CREATE_LINK /usr/include/${dir} ${kyt_host_include}/${dir} SYMBOLIC)
endforeach()

add_library(kyt_host_headers INTERFACE)
target_include_directories(kyt_host_headers SYSTEM INTERFACE ${kyt_host_include})
add_library(fmt::fmt ALIAS kyt_host_headers)
add_library(nlohmann_json::nlohmann_json ALIAS kyt_host_headers)
add_library(CLI11::CLI11 ALIAS kyt_host_headers)
target_compile_definitions(kyt_host_headers INTERFACE FMT_HEADER_ONLY)

set(KYT_MINGW_PREFIX "$ENV{KYT_MINGW_PREFIX}" CACHE PATH
  "Where scripts/install-cross-deps windows built GoogleTest for mingw")
if(NOT KYT_MINGW_PREFIX)
  set(KYT_MINGW_PREFIX /var/cache/vidiridaz-mingw CACHE PATH "" FORCE)
endif()
list(APPEND CMAKE_FIND_ROOT_PATH ${KYT_MINGW_PREFIX})
find_package(GTest CONFIG QUIET)

# The compiler's own DLLs sit beside the programs so that wine (and a Windows machine) finds
# them; the plug-in and the runtime share one C++ library and so one exception machinery.
foreach(dll libstdc++-6.dll libgcc_s_dw2-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(COPY ${path} DESTINATION ${CMAKE_BINARY_DIR})
endforeach()
