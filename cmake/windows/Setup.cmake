# Pakforge's own setup: the Windows folder as an installer package (wixl),
# made into Pakforge-VERSION-setup.exe by our own pakforge-cli, the same
# bytes on every build.
#   cmake --build --preset windows --target windows-setup
# Included by Folder.cmake, whose entries it installs.
get_property(setup_icon GLOBAL PROPERTY PAKFORGE_WINDOWS_ICON)
if(NOT TARGET pakforge OR NOT TARGET pakforge-cli OR NOT setup_icon)
  message(STATUS "Windows setup: the window or pakforge-cli is not built here, no windows-setup target")
  return()
endif()
find_program(PAKFORGE_WIXL wixl REQUIRED)
find_program(PAKFORGE_MSIBUILD msibuild REQUIRED)
find_program(PAKFORGE_MSIINFO msiinfo REQUIRED)

# The product code changes with every version (a major upgrade), the
# package code with every package; both are made from the version, so that
# a build is reproducible. The namespace is the package's fixed UpgradeCode.
set(upgrade_code 7E1B3C52-94A6-4F0D-8C25-6B1D2A4F9E30)
string(UUID product_code NAMESPACE ${upgrade_code} NAME "product ${PROJECT_VERSION}" TYPE SHA1 UPPER)
string(UUID package_code NAMESPACE ${upgrade_code} NAME "package ${PROJECT_VERSION}" TYPE SHA1 UPPER)

set(setup_dir ${CMAKE_BINARY_DIR}/setup)
set(setup_msi ${setup_dir}/Pakforge-${PROJECT_VERSION}.msi)
set(setup_exe ${CMAKE_BINARY_DIR}/Pakforge-${PROJECT_VERSION}-setup.exe)
set(setup_wxs ${PROJECT_SOURCE_DIR}/packaging/windows/pakforge.wxs)
set(make_msi ${PROJECT_SOURCE_DIR}/cmake/windows/make_msi.py)
set(setup_variables Version=${PROJECT_VERSION} VendorHost=${PAKFORGE_VENDOR_HOST} ProductCode=${product_code}
                    PackageCode=${package_code})

add_custom_command(
  OUTPUT ${setup_msi}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${setup_dir}
  COMMAND ${PAKFORGE_PYTHON3} ${make_msi} ${setup_msi} ${setup_wxs} ${setup_variables} -- ${entries}
          pakforge.ico=${setup_icon}
  DEPENDS ${depends} ${setup_icon} ${setup_wxs} ${make_msi} ${PROJECT_SOURCE_DIR}/README.md
          ${PROJECT_SOURCE_DIR}/packaging/windows/LICENSE.txt
  COMMENT "Building the installer package Pakforge-${PROJECT_VERSION}.msi"
  VERBATIM)

# Our own Windows pakforge-cli, as the build runs pakforge-pack; the Linux one
# gives the same bytes (the windows_setup test checks it when it is built).
# The archive's time is the one the package's summary carries.
set(setup_epoch $ENV{SOURCE_DATE_EPOCH})
if(NOT setup_epoch)
  set(setup_epoch 1767225600)
endif()
add_custom_command(
  OUTPUT ${setup_exe}
  COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${setup_epoch} ${PAKFORGE_RUN_TARGET} $<TARGET_FILE:pakforge-cli>
          --quiet --version-info ${setup_msi} ${setup_icon} ${setup_exe}
  DEPENDS pakforge-cli ${setup_msi} ${setup_icon} ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/pakforge.dat
  COMMENT "Building Pakforge-${PROJECT_VERSION}-setup.exe with pakforge-cli"
  VERBATIM)
add_custom_target(windows-setup DEPENDS ${setup_exe})

if(PAKFORGE_BUILD_TESTS)
  set(linux_bin ${PAKFORGE_LINUX_BIN})
  if(NOT linux_bin)
    set(linux_bin none)
  endif()
  add_test(NAME windows_setup
           COMMAND ${PAKFORGE_PYTHON3} ${PROJECT_SOURCE_DIR}/cmake/windows/check_setup.py ${setup_msi} ${setup_exe}
                   ${upgrade_code} ${linux_bin} -- ${setup_wxs} ${setup_variables} -- ${entries}
                   pakforge.ico=${setup_icon})
  # 77: the Linux build to compare with is not there (outside CI only).
  set_tests_properties(windows_setup PROPERTIES LABELS windows SKIP_RETURN_CODE 77
                                                ENVIRONMENT SOURCE_DATE_EPOCH=${setup_epoch})
  # The setup end to end under Wine, in a fresh prefix: install, PATH, the
  # installed programs, shortcuts and context menu, upgrade, uninstall.
  add_test(NAME windows_setup_install
           COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/tests/win32/setup_test.py ${setup_exe}
                   ${linux_bin}/pakforge-cli ${CMAKE_BINARY_DIR}/tests/setup-test ${CMAKE_BINARY_DIR}/tests/setup-test-shots
                   -- ${setup_wxs} ${setup_variables} -- ${entries} pakforge.ico=${setup_icon})
  set_tests_properties(windows_setup_install PROPERTIES LABELS windows TIMEOUT 1800 SKIP_RETURN_CODE 77)
endif()
