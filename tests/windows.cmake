# The tests of the Windows build, run under wine (make test-windows): the folders whose tests
# use only what the platform layers offer, and tests/win32 for the Windows backends themselves.
# Left out, one line each:
#   support/subprocess, support/kyt_host_process: start kyt-host with fork and exec.
#   cli/: the input watcher tests feed pipes and signals the POSIX way; kyt-host runs in a
#     subprocess.
#   framework/library_test: reads the ELF symbol table and loads with dlopen (the DLL's exports
#     are checked in tests/win32).
#   platform/: the hidraw backend and the POSIX socket calls (tests/win32 covers Winsock).
#   serial/: termios and ptys (tests/win32 moves bytes through a wine COM port).
#   network/, usb/, host/: not yet built for Windows (uriparser has no mingw build; the vendor
#     doubles and the host tests use POSIX calls).
#   vm/: the test machine's guest runs x86_64 Linux builds only.
set(kyt_support_sources
  ${CMAKE_CURRENT_SOURCE_DIR}/support/host_test.cpp)
add_library(kyt_test_support STATIC ${kyt_support_sources})
target_link_libraries(kyt_test_support PUBLIC kythost kytframework kytrt GTest::gtest GTest::gmock)
target_compile_definitions(kyt_test_support PUBLIC
  KYT_BUILD_DIR="${CMAKE_BINARY_DIR}" KYT_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

function(kyt_add_windows_tests target)
  add_executable(${target} ${ARGN})
  target_link_libraries(${target} PRIVATE kyt_test_support kytplatform GTest::gtest_main)
  # Listed when ctest starts rather than after linking, so building needs no wine prefix.
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT 120)
endfunction()

kyt_add_windows_tests(kyt_runtime_tests ${CMAKE_CURRENT_SOURCE_DIR}/runtime/thread_test.cpp)
file(GLOB kyt_win32_test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/win32/*.cpp)
kyt_add_windows_tests(kyt_win32_tests ${kyt_win32_test_sources})
