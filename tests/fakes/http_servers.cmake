# Not a fake: the real web server library (cpp-httplib) the network tests serve pages with.
# Debian builds it as a shared library whose header must be compiled with the same options.
if(NOT WIN32)
  pkg_check_modules(HTTPLIB QUIET IMPORTED_TARGET cpp-httplib)
endif()
if(HTTPLIB_FOUND AND TARGET kyt_network_tests)
  target_link_libraries(kyt_network_tests PRIVATE PkgConfig::HTTPLIB)
  # The i686 build's OpenSSL configuration header, which the web server header includes.
  if(KYT_I386_SYSROOT)
    target_include_directories(kyt_network_tests SYSTEM PRIVATE
      ${KYT_I386_SYSROOT}/usr/include/i386-linux-gnu)
  endif()
endif()
