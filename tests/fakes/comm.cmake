# The fake comm provider, linked into the serial tests.
add_library(kyt_fake_comm STATIC ${CMAKE_CURRENT_LIST_DIR}/comm_fake.cpp)
target_link_libraries(kyt_fake_comm PUBLIC kytplatform kytrt)
if(TARGET kyt_serial_tests)
  target_link_libraries(kyt_serial_tests PRIVATE kyt_fake_comm)
endif()
