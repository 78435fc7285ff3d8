# Doubles of the FTDI D2XX and USBXpress libraries: real shared objects with the vendors' file
# names and exports, in a folder of their own so that nothing finds them by default. The tests
# point KYT_FTD2XX_LIBRARY / KYT_SIUSBXP_LIBRARY at them and reach their control interface
# through the same loader.
set(KYT_FAKE_VENDOR_DIR ${CMAKE_BINARY_DIR}/tests/fakes/vendor)

function(kyt_fake_vendor_library target output source)
  add_library(${target} SHARED ${source})
  if(WIN32)
    # The vendors' Windows file names (ftd2xx.dll), their stdcall functions exported undecorated
    # as the vendors' DLLs do.
    string(REGEX REPLACE "^lib" "" output ${output})
    set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${output}
      RUNTIME_OUTPUT_DIRECTORY ${KYT_FAKE_VENDOR_DIR})
    target_link_options(${target} PRIVATE -Wl,--kill-at)
  else()
    set_target_properties(${target} PROPERTIES
      PREFIX "" OUTPUT_NAME ${output}
      LIBRARY_OUTPUT_DIRECTORY ${KYT_FAKE_VENDOR_DIR}
      CXX_VISIBILITY_PRESET default)
    target_link_libraries(${target} PRIVATE Threads::Threads)
  endif()
  target_compile_definitions(${target} PRIVATE ${ARGN})
endfunction()

set(d2xx ${CMAKE_CURRENT_SOURCE_DIR}/fakes/ftd2xx/fake_ftd2xx.cpp)
kyt_fake_vendor_library(kyt_fake_ftd2xx libftd2xx ${d2xx})
kyt_fake_vendor_library(kyt_fake_ftd2xx_nodetail libftd2xx_nodetail ${d2xx} FAKE_D2XX_NO_DETAIL)
kyt_fake_vendor_library(kyt_fake_ftd2xx_old libftd2xx_old ${d2xx} FAKE_D2XX_OLD)
kyt_fake_vendor_library(kyt_fake_siusbxp libSiUSBXp
  ${CMAKE_CURRENT_SOURCE_DIR}/fakes/siusbxp/fake_siusbxp.cpp)

set(KYT_FAKE_VENDOR_TARGETS
  kyt_fake_ftd2xx kyt_fake_ftd2xx_nodetail kyt_fake_ftd2xx_old kyt_fake_siusbxp)
# bench/bench_vendor_usb finds them in the same folder, relative to its own location.
if(TARGET kyt_usb_tests)
  add_dependencies(kyt_usb_tests ${KYT_FAKE_VENDOR_TARGETS})
  target_compile_definitions(kyt_usb_tests PRIVATE KYT_FAKE_VENDOR_DIR="${KYT_FAKE_VENDOR_DIR}")
endif()
# kyt-host's devices and doctor commands list the doubles' devices.
if(TARGET kyt_cli_tests)
  add_dependencies(kyt_cli_tests ${KYT_FAKE_VENDOR_TARGETS})
endif()
