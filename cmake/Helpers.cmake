# A GoogleTest program registered with ctest, one ctest entry per test case.
#   pakforge_add_test(NAME SOURCES... LIBS ... [LABELS ...] [FIXTURES ...])
# LIBS names the subsystem libraries the tests use.
function(pakforge_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS;FIXTURES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES} ${ARG_UNPARSED_ARGUMENTS})
  if(NOT ARG_LIBS)
    message(FATAL_ERROR "pakforge_add_test(${name}): name the libraries it tests with LIBS")
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} pakforge_warnings GTest::gtest GTest::gtest_main
                                        GTest::gmock pakforge_test_support)
  target_compile_definitions(${name} PRIVATE PAKFORGE_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                                             PAKFORGE_BINARY_DIR="${CMAKE_BINARY_DIR}")
  set(labels unit)
  if(ARG_LABELS)
    set(labels ${ARG_LABELS})
  endif()
  set(discovery_timeout 60)
  if(WIN32 AND CMAKE_CROSSCOMPILING)
    # Built for Windows, run under Wine: one label for the lot, and time for
    # Wine's first start.
    set(labels windows)
    set(discovery_timeout 300)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT ${discovery_timeout}
                       PROPERTIES LABELS "${labels}" FIXTURES_REQUIRED "${ARG_FIXTURES}" TIMEOUT 600)
endfunction()

# A target's headers as `<folder>/Name.h`, with nothing else under its
# include root: a link in the build tree names src/<folder> alone, so an
# include of a layer the target does not link does not compile.
function(pakforge_export_folder target folder)
  set(root ${CMAKE_BINARY_DIR}/include/${folder})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${folder} ${root}/${folder} SYMBOLIC)
  target_include_directories(${target} PUBLIC ${root})
endfunction()

# The static library of the folder src/<folder>, named pakforge_<folder>.
#   pakforge_add_library(NAME SOURCES... [SYSTEM_SOURCES ...] [DEPS ...])
# SYSTEM_SOURCES are taken from the folder's posix/ or win32/ half.
function(pakforge_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;SYSTEM_SOURCES;DEPS" ${ARGN})
  if(WIN32)
    list(TRANSFORM ARG_SYSTEM_SOURCES PREPEND win32/)
  else()
    list(TRANSFORM ARG_SYSTEM_SOURCES PREPEND posix/)
  endif()
  add_library(${name} STATIC ${ARG_SOURCES} ${ARG_SYSTEM_SOURCES} ${ARG_UNPARSED_ARGUMENTS})
  string(REGEX REPLACE "^pakforge_" "" folder ${name})
  pakforge_export_folder(${name} ${folder})
  target_include_directories(${name} PUBLIC ${CMAKE_BINARY_DIR}/generated)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE pakforge_warnings)
endfunction()

# A reader tool a group of tests needs is missing: those tests are left out
# with a warning, but under CI (the CI variable set) that is an error, so a
# green run means the independent checks ran.
function(pakforge_tool_missing what)
  if(DEFINED ENV{CI} AND NOT "$ENV{CI}" STREQUAL "" AND NOT "$ENV{CI}" STREQUAL "0")
    message(FATAL_ERROR "${what} is needed under CI; run scripts/setup.sh")
  endif()
  message(WARNING "${what} not found: those tests are left out")
endfunction()
