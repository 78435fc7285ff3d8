# Dependencies of the Windows cross build. Debian has no mingw packages of them: fmt, JSON for
# Modern C++ and CLI11 are used header-only from the build machine's headers (through a folder
# of links, as putting /usr/include itself on the path would hide mingw's C library), and
# GoogleTest is built from the sources libgtest-dev installs.
set(kyt_host_include ${CMAKE_BINARY_DIR}/host-include)
file(MAKE_DIRECTORY ${kyt_host_include})
foreach(dir fmt nlohmann CLI uriparser)
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

# uriparser has no mingw package and Debian's source archive is out of reach here: its headers
# are taken like the others, its library is missing, so the network folder does not link yet.
add_library(PkgConfig::URIPARSER INTERFACE IMPORTED)
target_link_libraries(PkgConfig::URIPARSER INTERFACE kyt_host_headers)

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Its own CMake defines the GTest:: names.
foreach(t gtest gtest_main gmock gmock_main)
  target_compile_options(${t} PRIVATE -Wno-error)
endforeach()
set(GTest_FOUND TRUE)

# The compiler's own DLLs sit beside the programs so that wine (and a Windows machine) finds
# them; the plug-in and the runtime share one C++ library and so one exception machinery.
foreach(dll libstdc++-6.dll libgcc_s_dw2-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(COPY ${path} DESTINATION ${CMAKE_BINARY_DIR})
endforeach()
