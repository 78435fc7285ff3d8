# 32-bit x86 Linux on an x86_64 Debian with the i386 multiarch packages and the sysroot that
# scripts/install-cross-deps i686 fills (packages that cannot sit beside their amd64 twins).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

if(DEFINED ENV{KYT_I386_SYSROOT})
  set(KYT_I386_SYSROOT $ENV{KYT_I386_SYSROOT})
else()
  set(KYT_I386_SYSROOT /var/cache/vidiridaz-i386)
endif()
# The sysroot's libraries also satisfy the dependencies of the libraries linked from it.
set(kyt_link_flags "-m32 -Wl,-rpath-link,${KYT_I386_SYSROOT}/usr/lib/i386-linux-gnu")
set(CMAKE_EXE_LINKER_FLAGS_INIT ${kyt_link_flags})
set(CMAKE_SHARED_LINKER_FLAGS_INIT ${kyt_link_flags})
set(CMAKE_MODULE_LINKER_FLAGS_INIT ${kyt_link_flags})
# Only the i386 pkg-config files, never the amd64 ones.
set(ENV{PKG_CONFIG_LIBDIR}
    "${KYT_I386_SYSROOT}/usr/lib/i386-linux-gnu/pkgconfig:/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
# The sysroot's libraries: libcrypto, which the crypto layer loads by name at run time.
set(KYT_RUNTIME_LIBRARY_PATH ${KYT_I386_SYSROOT}/usr/lib/i386-linux-gnu)
# A program's run path serves its own dependencies only, not its libraries' (the sysroot's
# libcpp-httplib needs the sysroot's libssl.so.3). Every program built here, the test listing
# at build time included, runs with the sysroot on the library path.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env LD_LIBRARY_PATH=${KYT_RUNTIME_LIBRARY_PATH})
