# pakforge_add_version_block(TARGET DESCRIPTION text [PRODUCT name] [VERSION a.b.c.d]
#                            [MANIFEST file] [RC extra.rc...])
# Gives a program its own version block, generated at build time from the
# project's version (four parts, the fourth 0 unless the project names it).
# The update check and the About window read it back (services/OwnVersionBlock).
# On Windows the block is a real resource, with the manifest (by default
# cmake/windows/program.manifest) and any further resource scripts.
function(pakforge_add_version_block target)
  cmake_parse_arguments(ARG "" "DESCRIPTION;PRODUCT;VERSION;MANIFEST" "RC" ${ARGN})
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
  if(WIN32)
    pakforge_windows_resources(${target} "${ARG_VERSION}" "${ARG_PRODUCT}" "${ARG_DESCRIPTION}"
                               "${ARG_MANIFEST}" "${ARG_RC}")
    return()
  endif()
  # Elsewhere the resource library's writer (tools/versionblock), built for
  # this machine first, makes the same block as a byte array.
  set(output ${CMAKE_BINARY_DIR}/generated/versionblock/${target}.cpp)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated/versionblock
    COMMAND pakforge-versionblock "${ARG_VERSION}" "${ARG_PRODUCT}" "${ARG_DESCRIPTION}" ${output}
    DEPENDS pakforge-versionblock
    COMMENT "Version block of ${target} (${ARG_VERSION})"
    VERBATIM)
  target_sources(${target} PRIVATE ${output})
endfunction()

# The Windows side: a resource script with the same VERSIONINFO the Linux
# block is byte for byte equal to, and the manifest as resource 1 of type 24.
function(pakforge_windows_resources target version product description manifest extra_rc)
  if(NOT manifest)
    set(manifest ${PROJECT_SOURCE_DIR}/cmake/windows/program.manifest)
  endif()
  string(REPLACE "." "," version_commas "${version}")
  get_filename_component(manifest "${manifest}" ABSOLUTE)
  set(rc ${CMAKE_BINARY_DIR}/generated/resources/${target}.rc)
  file(CONFIGURE OUTPUT ${rc} CONTENT [[
// Generated: the version block and manifest of @target@.
1 VERSIONINFO
FILEVERSION @version_commas@
PRODUCTVERSION @version_commas@
FILEFLAGSMASK 0x3F
FILEFLAGS 0
FILEOS 0x40004
FILETYPE 1
FILESUBTYPE 0
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040904B0"
    BEGIN
      VALUE "FileVersion", "@version@"
      VALUE "ProductName", "@product@"
      VALUE "FileDescription", "@description@"
      VALUE "ProductVersion", "@version@"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x0409, 0x04B0
  END
END

1 24 "@manifest@"
]] @ONLY)
  target_sources(${target} PRIVATE ${rc} ${extra_rc})
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${manifest})
endfunction()
