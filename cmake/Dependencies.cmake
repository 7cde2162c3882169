# Outside libraries, all from Debian packages that scripts/setup.sh installs.
# Each is required only where a target uses it: a distributor building the
# programs alone needs neither the test readers nor the benchmark peers.
find_package(PkgConfig REQUIRED)
find_package(ZLIB REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(LIBMSI REQUIRED IMPORTED_TARGET libmsi-1.0)
if(PAKFORGE_BUILD_TESTS OR PAKFORGE_BUILD_BENCH)
  # Independent Blowfish and LH5 implementations to check ours against.
  pkg_check_modules(NETTLE REQUIRED IMPORTED_TARGET nettle)
  pkg_check_modules(LHASA REQUIRED IMPORTED_TARGET liblhasa)
endif()
if(PAKFORGE_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(PAKFORGE_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
