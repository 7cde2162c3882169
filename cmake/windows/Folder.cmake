# The Windows folder to ship: the four programs, pakforge.dat, the help, the
# README and the licence, in one reproducible zip (fixed order and times).
#   cmake --build --preset windows --target windows-zip
find_program(PAKFORGE_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
set(folder_name Pakforge-${PROJECT_VERSION})
set(windows_zip ${CMAKE_BINARY_DIR}/${folder_name}-windows-x86.zip)
set(bin ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})

set(entries)
set(depends)
foreach(program pakforge pakforge-cli pakforge-pack pakforge-res)
  if(NOT TARGET ${program})
    message(STATUS "Windows zip: ${program} is not built here, the zip leaves it out")
    continue()
  endif()
  list(APPEND entries ${program}.exe=$<TARGET_FILE:${program}>)
  list(APPEND depends ${program})
endforeach()
foreach(data pakforge.dat pakforge.chm)
  list(APPEND entries ${data}=${bin}/${data})
  list(APPEND depends ${bin}/${data})
endforeach()
list(APPEND entries README.md=${PROJECT_SOURCE_DIR}/README.md
                    LICENSE.txt=${PROJECT_SOURCE_DIR}/packaging/windows/LICENSE.txt)

add_custom_command(
  OUTPUT ${windows_zip}
  COMMAND ${PAKFORGE_PYTHON3} ${PROJECT_SOURCE_DIR}/cmake/windows/make_zip.py ${windows_zip} ${folder_name}
          ${entries}
  DEPENDS ${depends} ${PROJECT_SOURCE_DIR}/cmake/windows/make_zip.py ${PROJECT_SOURCE_DIR}/README.md
          ${PROJECT_SOURCE_DIR}/packaging/windows/LICENSE.txt
  COMMENT "Zipping the Windows folder ${folder_name}"
  VERBATIM)
add_custom_target(windows-zip DEPENDS ${windows_zip})

if(PAKFORGE_BUILD_TESTS)
  add_test(NAME windows_zip
           COMMAND ${PAKFORGE_PYTHON3} ${PROJECT_SOURCE_DIR}/cmake/windows/check_zip.py ${windows_zip} ${folder_name}
                   ${entries})
  set_tests_properties(windows_zip PROPERTIES LABELS windows)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/Setup.cmake)
