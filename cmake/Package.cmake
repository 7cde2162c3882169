# The Debian package (scripts/run.sh --deb, or cpack -G DEB in the build
# folder): the programs, pakforge.dat, the help, the desktop entry and icon,
# and a man page for each program made at build time from its own --help, so
# the page never drifts from the program. Included last, once every program
# target exists.
include(GNUInstallDirs)

set(PAKFORGE_PACKAGE_MAINTAINER "Pakforge Project <packages@${PAKFORGE_VENDOR_HOST}>")

# One line each: the page's NAME section.
set(pakforge_man_pakforge "turn a Windows Installer package into one executable")
set(pakforge_man_pakforge-cli "build an executable from a Windows Installer package, for scripts")
set(pakforge_man_pakforge-pack "write, list and extract Pakforge stub containers")
set(pakforge_man_pakforge-res "inspect and edit the resources of a Windows PE file")

find_program(PAKFORGE_HELP2MAN help2man)
find_program(PAKFORGE_GZIP gzip)
set(man_pages)
if(PAKFORGE_HELP2MAN AND PAKFORGE_GZIP)
  foreach(program pakforge pakforge-cli pakforge-pack pakforge-res)
    if(NOT TARGET ${program})
      continue()
    endif()
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    # gzip -n: no name or time stamp, so the page is the same in every build.
    add_custom_command(
      OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ${PAKFORGE_HELP2MAN} --no-info
              --no-discard-stderr --section=1 "--name=${pakforge_man_${program}}" --output=${page}
              $<TARGET_FILE:${program}>
      COMMAND ${PAKFORGE_GZIP} -9nf ${page}
      DEPENDS ${program}
      COMMENT "Man page of ${program}"
      VERBATIM)
    list(APPEND man_pages ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  add_custom_target(pakforge_man ALL DEPENDS ${man_pages})
else()
  message(STATUS "help2man or gzip not found: no man pages (on Debian: apt-get install help2man)")
endif()

# Debian wants the copyright and a compressed changelog in the package's doc folder.
# The day of the build (or of SOURCE_DATE_EPOCH), so that reconfiguring within a day changes nothing.
string(TIMESTAMP PAKFORGE_CHANGELOG_DATE "%a, %d %b %Y 00:00:00 +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/packaging/deb/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
if(PAKFORGE_GZIP)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    COMMAND ${PAKFORGE_GZIP} -9nkf ${CMAKE_BINARY_DIR}/packaging/changelog
    DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
    VERBATIM)
  add_custom_target(pakforge_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/pakforge)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/deb/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/pakforge)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pakforge)
set(CPACK_PACKAGE_VENDOR "Pakforge Project")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${PAKFORGE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "turn a Windows Installer package into one executable")
set(CPACK_PACKAGE_DESCRIPTION
    "Pakforge wraps a Windows Installer package (.msi) into one self-contained\n"
    "Windows executable: a small stub program with your icon, which unpacks the\n"
    "package and starts the installation. It comes as a desktop program\n"
    "(pakforge) and as a command-line tool for build servers (pakforge-cli),\n"
    "with pakforge-pack and pakforge-res for the stub container and PE resources.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # pakforge_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PAKFORGE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://${PAKFORGE_VENDOR_HOST}/")
# The runtime dependencies, from the libraries the programs link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window opens web pages and the help through the desktop's handlers.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# The package as a user gets it: unpacked into a scratch root, its
# pakforge-cli builds from the package's own container; lintian on it. Only
# for builds that make every part (not those without the window or the stub).
if(PAKFORGE_BUILD_TESTS AND TARGET pakforge AND TARGET pakforge-stub AND TARGET pakforge-pack)
  add_test(NAME deb_package
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/package/deb_package_test.sh ${CMAKE_BINARY_DIR}
                   ${PROJECT_VERSION} ${PROJECT_SOURCE_DIR})
  set_tests_properties(deb_package PROPERTIES LABELS "package;slow" SKIP_RETURN_CODE 77 TIMEOUT 900)
endif()
