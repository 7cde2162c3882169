# pakforge_add_version_block(TARGET DESCRIPTION text [PRODUCT name] [VERSION a.b.c.d])
# Gives a program its own version block, generated at build time from the
# project's version (four parts, the fourth 0 unless the project names it).
# The update check and the About window read it back (platform/OwnVersionBlock).
function(pakforge_add_version_block target)
  cmake_parse_arguments(ARG "" "DESCRIPTION;PRODUCT;VERSION" "" ${ARGN})
  if(NOT ARG_PRODUCT)
    set(ARG_PRODUCT "Pakforge")
  endif()
  if(NOT ARG_VERSION)
    set(tweak 0)
    if(NOT "${PROJECT_VERSION_TWEAK}" STREQUAL "")
      set(tweak ${PROJECT_VERSION_TWEAK})
    endif()
    set(ARG_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${tweak}")
  endif()
  set(output ${CMAKE_BINARY_DIR}/generated/versionblock/${target}.cpp)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated/versionblock
    COMMAND ${CMAKE_COMMAND} "-DVERSION=${ARG_VERSION}" "-DPRODUCT=${ARG_PRODUCT}"
            "-DDESCRIPTION=${ARG_DESCRIPTION}" "-DOUTPUT=${output}"
            -P ${PROJECT_SOURCE_DIR}/cmake/WriteVersionBlock.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/WriteVersionBlock.cmake
    COMMENT "Version block of ${target} (${ARG_VERSION})"
    VERBATIM)
  target_sources(${target} PRIVATE ${output})
endfunction()
