# Outside libraries, all from Debian packages that scripts/setup.sh installs.
# Each is required only where a target uses it: a distributor building the
# programs alone needs neither the test readers nor the benchmark peers.
find_package(PkgConfig REQUIRED)
find_package(ZLIB REQUIRED)
find_package(Threads REQUIRED)
if(NOT WIN32)
  # On Windows the installer service is msi.dll itself.
  pkg_check_modules(LIBMSI REQUIRED IMPORTED_TARGET libmsi-1.0)
endif()
if((PAKFORGE_BUILD_TESTS OR PAKFORGE_BUILD_BENCH) AND NOT WIN32)
  # Independent Blowfish and LH5 implementations to check ours against.
  pkg_check_modules(NETTLE REQUIRED IMPORTED_TARGET nettle)
  pkg_check_modules(LHASA REQUIRED IMPORTED_TARGET liblhasa)
endif()
# CLI11 parses the command-line programs' arguments. Header-only: its folder
# is copied on its own into the build tree, so that the cross build takes it
# without the rest of the host's /usr/include.
find_path(PAKFORGE_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(COPY ${PAKFORGE_CLI11_INCLUDE}/CLI DESTINATION ${CMAKE_BINARY_DIR}/cli11)
add_library(pakforge_cli11 INTERFACE)
target_include_directories(pakforge_cli11 SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/cli11)

if(PAKFORGE_BUILD_TESTS)
  if(CMAKE_CROSSCOMPILING)
    # No prebuilt GoogleTest for the target: build Debian's sources with it.
    set(PAKFORGE_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
    if(NOT EXISTS ${PAKFORGE_GTEST_SOURCE}/CMakeLists.txt)
      message(FATAL_ERROR "GoogleTest sources not found at ${PAKFORGE_GTEST_SOURCE} (Debian googletest)")
    endif()
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    add_subdirectory(${PAKFORGE_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
    foreach(lib gtest gtest_main gmock gmock_main)
      if(NOT TARGET GTest::${lib})
        add_library(GTest::${lib} ALIAS ${lib})
      endif()
    endforeach()
  else()
    find_package(GTest REQUIRED)
  endif()
  include(GoogleTest)
endif()
if(PAKFORGE_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()

if(WIN32 AND CMAKE_CROSSCOMPILING)
  # Windows programs built here run under Wine: the tests, and the tools the
  # build itself runs (pakforge-pack making pakforge.dat).
  find_program(PAKFORGE_WINE wine REQUIRED)
  set(PAKFORGE_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
  set(CMAKE_CROSSCOMPILING_EMULATOR sh ${CMAKE_SOURCE_DIR}/cmake/windows/wine-run.sh ${PAKFORGE_WINE_PREFIX})
  # What a custom command puts before a program it builds (CMake 3.25 adds the
  # emulator to tests only).
  set(PAKFORGE_RUN_TARGET ${CMAKE_CROSSCOMPILING_EMULATOR})
else()
  set(PAKFORGE_RUN_TARGET)
endif()
