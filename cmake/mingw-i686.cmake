# Cross toolchain for the Windows programs: mingw-w64, i686, statically
# linked. The POSIX thread model, since GCC 12's win32 model has no
# std::thread (the update check's worker needs one).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(PAKFORGE_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${PAKFORGE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PAKFORGE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PAKFORGE_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PAKFORGE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config must not hand out the build machine's libraries.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${PAKFORGE_MINGW_TRIPLE}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
# Static archives only: an import library (libz.dll.a) would make the
# program need a DLL beside it.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
# libz.dll.a ends in .a too.
set(ZLIB_USE_STATIC_LIBS ON)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 UNICODE _UNICODE)
