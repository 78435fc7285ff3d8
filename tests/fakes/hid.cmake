# The fake HID layer: the HID tests and the HID benchmark run the controller and the module on
# it, as this machine has no HID devices.
add_library(kyt_fake_hid STATIC ${CMAKE_CURRENT_LIST_DIR}/hid_fake.cpp)
target_link_libraries(kyt_fake_hid PUBLIC kytplatform kytrt)
if(TARGET kyt_usb_tests)
  target_link_libraries(kyt_usb_tests PRIVATE kyt_fake_hid)
endif()
# Benchmarks are defined after the tests (and not at all in sanitizer builds); link the fake
# once they exist.
function(kyt_link_fake_hid_into_bench)
  if(TARGET bench_hid)
    target_link_libraries(bench_hid PRIVATE kyt_fake_hid)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL kyt_link_fake_hid_into_bench)
