# add_subdirectory for folders that may not exist yet.
function(pakforge_optional_subdirectory dir)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endfunction()

# A GoogleTest program registered with ctest, one ctest entry per test case.
#   pakforge_add_test(NAME SOURCES... [LIBS ...] [LABELS ...])
function(pakforge_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE pakforge_core pakforge_warnings GTest::gtest GTest::gtest_main
                                        GTest::gmock pakforge_test_support ${ARG_LIBS})
  target_compile_definitions(${name} PRIVATE PAKFORGE_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                                             PAKFORGE_BINARY_DIR="${CMAKE_BINARY_DIR}")
  set(labels unit)
  if(ARG_LABELS)
    set(labels ${ARG_LABELS})
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS "${labels}" TIMEOUT 600)
endfunction()
