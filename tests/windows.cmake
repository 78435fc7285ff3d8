# The tests of the Windows build, run under wine by ctest from scripts/run-windows-tests (make
# test-windows): each folder's executable as on Linux, less the files that test Linux-only code
# or need Linux-only tools, one line each here:
#   framework/library_test: reads the ELF symbol table and loads with dlopen (tests/win32
#     checks the DLL's one export).
#   platform/: the hidraw and udev backend, and the POSIX socket calls with injected errno
#     values (tests/win32 runs Winsock on loopback).
#   serial/comm_posix_test, serial_port_pty_test, serial_port_e2e_test: termios on ptys
#     (tests/win32 and the kyt-host check of run-windows-tests use a wine COM port instead).
#   network/http_fetch_server_test, http_proxy_test, www_reader_e2e_test: the web server
#     library (cpp-httplib) is Linux-only here; the fetch's wire and authentication tests run
#     on the scripted loopback server.
#   network/server_socket_e2e_test, client_socket_e2e_test, com_port_control_e2e_test,
#     serial_gateway_e2e_test, usb/ftdi_usbxp_host_test: kyt-host as a subprocess (and ptys,
#     pyserial).
#   usb/d2xx_promises_test: D2XX's Linux EVENT_HANDLE (a condition variable); Windows' library
#     signals an event object.
#   cli/: kyt-host in a subprocess, pipes and signals the POSIX way, sysfs device nodes
#     (run-windows-tests runs kyt-host.exe itself with the plug-in on a COM port).
#   stress/, soak/: ptys and the web server library.
#   vm/: the test machine's guest runs x86_64 Linux builds only.
set(kyt_support_sources
  ${CMAKE_CURRENT_SOURCE_DIR}/support/host_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/support/temp_dir.cpp)
add_library(kyt_test_support STATIC ${kyt_support_sources})
target_link_libraries(kyt_test_support PUBLIC kythost kytframework kytrt GTest::gtest GTest::gmock)
target_compile_definitions(kyt_test_support PUBLIC
  KYT_BUILD_DIR="${CMAKE_BINARY_DIR}" KYT_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
# setenv and unsetenv, which the shared tests call.
target_compile_options(kyt_test_support PUBLIC
  -include ${CMAKE_CURRENT_SOURCE_DIR}/win32/posix_environment.h)

# tests/<folder>/*.cpp less the files named -> kyt_<folder>_tests.
function(kyt_add_windows_tests folder)
  cmake_parse_arguments(arg "" "" "EXCLUDE;LIBRARIES;EXTRA" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp)
  foreach(file ${arg_EXCLUDE})
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/${file})
  endforeach()
  set(target kyt_${folder}_tests)
  add_executable(${target} ${sources} ${arg_EXTRA})
  target_link_libraries(${target} PRIVATE kyt_test_support kytplatform GTest::gtest_main
    ${arg_LIBRARIES})
  add_dependencies(${target} VidiridAZ kyt-host kyt_catalogues)
  # Each test in a process of its own, as on Linux. Listed when ctest starts rather than after
  # linking, so that building needs no wine prefix.
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT 120)
endfunction()

kyt_add_windows_tests(runtime)
kyt_add_windows_tests(framework EXCLUDE library_test.cpp)
kyt_add_windows_tests(host)
kyt_add_windows_tests(serial LIBRARIES kytserial kyt_fake_comm
  EXCLUDE comm_posix_test.cpp serial_port_pty_test.cpp serial_port_e2e_test.cpp pty_pair.cpp)
kyt_add_windows_tests(network LIBRARIES kytnetwork
  EXCLUDE http_fetch_server_test.cpp http_proxy_test.cpp www_reader_e2e_test.cpp
  server_socket_e2e_test.cpp client_socket_e2e_test.cpp com_port_control_e2e_test.cpp
  serial_gateway_e2e_test.cpp)
kyt_add_windows_tests(usb LIBRARIES kytusb kyt_fake_hid
  EXCLUDE ftdi_usbxp_host_test.cpp d2xx_promises_test.cpp)
kyt_add_windows_tests(win32)

add_library(kyt_fake_comm STATIC ${CMAKE_CURRENT_SOURCE_DIR}/fakes/comm_fake.cpp)
target_link_libraries(kyt_fake_comm PUBLIC kytplatform kytrt)
add_library(kyt_fake_hid STATIC ${CMAKE_CURRENT_SOURCE_DIR}/fakes/hid_fake.cpp)
target_link_libraries(kyt_fake_hid PUBLIC kytplatform kytrt)

# The vendor doubles, under the vendors' Windows file names.
include(${CMAKE_CURRENT_SOURCE_DIR}/fakes/vendor_libs.cmake)
