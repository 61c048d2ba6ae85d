# The Debian package and the archive of static programs, made of the board
# programs (cmake/programs.cmake): the programs in sbin, quillet's MTD tools
# in libexec/fwintegrity, the manual pages in man8, and the copyright file
# and changelog in share/doc/fwintegrity. Nothing takes a name of
# mtd-utils', so the package installs beside it.
get_property(FW_BOARD_PROGRAMS GLOBAL PROPERTY FW_BOARD_PROGRAMS)
set(FW_MAINTAINER "fwintegrity developers <firmware@fwintegrity.example>")
set(FW_COPYRIGHT "2026 the fwintegrity developers")
set(doc ${CMAKE_BINARY_DIR}/doc)

# One line per board program for the checks of scripts/arm-tests.sh: name,
# installed folder, manual page, built file.
set(lines)
foreach(program ${FW_BOARD_PROGRAMS})
  get_target_property(destination ${program} FW_DESTINATION)
  get_target_property(page ${program} FW_PAGE)
  string(APPEND lines "${program} ${destination} ${page} $<TARGET_FILE:${program}>\n")
endforeach()
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/board-programs CONTENT "${lines}")

# The copyright file (machine-readable format) carries LICENSE's terms, as
# its format wants them: indented one blank, empty lines as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE FW_LICENSE_TEXT)
string(REGEX REPLACE "^.*\n(Permission )" "\\1" FW_LICENSE_TEXT "${FW_LICENSE_TEXT}")
string(STRIP "${FW_LICENSE_TEXT}" FW_LICENSE_TEXT)
string(REPLACE "\n\n" "\n.\n" FW_LICENSE_TEXT "${FW_LICENSE_TEXT}")
string(REPLACE "\n" "\n " FW_LICENSE_TEXT " ${FW_LICENSE_TEXT}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in ${doc}/copyright @ONLY)
# A native package's changelog is changelog.gz.
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${doc}/changelog @ONLY)
add_custom_command(OUTPUT ${doc}/changelog.gz
  COMMAND ${FW_GZIP} -9nf -k changelog
  WORKING_DIRECTORY ${doc}
  DEPENDS ${doc}/changelog)
add_custom_target(changelog ALL DEPENDS ${doc}/changelog.gz)
install(FILES ${doc}/copyright ${doc}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Everything `cmake --install` installs, for a test that installs the build.
add_custom_target(install_set)
get_property(pages GLOBAL PROPERTY FW_MANUAL_PAGES)
add_dependencies(install_set ${FW_BOARD_PROGRAMS} ${pages} changelog)

# Static copies for bare boards, linked beside the programs from their object
# files (compiled once), in the installed layout, so quillet finds its tools there too:
# FW_ARCHIVE_NAME/sbin, FW_ARCHIVE_NAME/libexec/fwintegrity, README, LICENSE;
# and the boot script in sbin with the BusyBox init script in etc/init.d,
# for the bare boards BusyBox runs.
if(FW_STATIC_ARCHIVE)
  if(FW_DEBIAN_ARCH)
    set(FW_ARCHIVE_ARCH ${FW_DEBIAN_ARCH})
  else()
    set(FW_ARCHIVE_ARCH ${CMAKE_SYSTEM_PROCESSOR})
  endif()
  set(FW_ARCHIVE_NAME ${PROJECT_NAME}-static_${PROJECT_VERSION}_${FW_ARCHIVE_ARCH})
  set(root ${CMAKE_BINARY_DIR}/${FW_ARCHIVE_NAME})
  set(copies)
  foreach(program ${FW_BOARD_PROGRAMS})
    get_target_property(destination ${program} FW_DESTINATION)
    fw_static_copy(${program} ${program}_static ${root}/${destination})
    list(APPEND copies ${program}_static)
  endforeach()
  configure_file(${PROJECT_SOURCE_DIR}/packaging/README.static.in ${root}/README @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${root}/LICENSE COPYONLY)
  set(boot_files ${root}/sbin/fwintegrity-boot ${root}/etc/init.d/S40fwintegrity)
  configure_file(${CMAKE_BINARY_DIR}/init/fwintegrity-boot ${root}/sbin/fwintegrity-boot COPYONLY)
  configure_file(${CMAKE_BINARY_DIR}/init/S40fwintegrity ${root}/etc/init.d/S40fwintegrity COPYONLY)
  add_custom_command(OUTPUT ${FW_ARCHIVE_NAME}.tar.gz
    COMMAND ${CMAKE_COMMAND} -E tar czf ${FW_ARCHIVE_NAME}.tar.gz ${FW_ARCHIVE_NAME}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    DEPENDS ${copies} ${root}/README ${root}/LICENSE ${boot_files}
    COMMENT "Archiving the static programs: ${FW_ARCHIVE_NAME}.tar.gz")
  add_custom_target(static_archive ALL DEPENDS ${FW_ARCHIVE_NAME}.tar.gz)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${FW_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "boot-set manager and flash verifier for dual-image NAND boards")
# One string: a list would be joined with ";".
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "tolvane keeps the table of the two boot sets and repairs a damaged set from\n"
  "its twin; quillet checks the boot images on NAND against the backups on the\n"
  "SD card and rewrites them, with MTD tools of its own (nanddump, nandwrite,\n"
  "flash_eraseall) kept in ${FW_TOOLS_INSTALLED}, apart from mtd-utils.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The init script lives in /etc: a configuration file of the board's, which
# an upgrade must not overwrite once changed.
file(WRITE ${doc}/conffiles "${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d/S40fwintegrity\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${doc}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# The package architecture is the target's, not the build machine's.
if(FW_DEBIAN_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${FW_DEBIAN_ARCH})
endif()
if(NOT FW_STATIC)
  # The dependencies are read from the programs. For a cross build,
  # dpkg-shlibdeps finds the target's libraries through the packages of its
  # architecture (libc6:armel, ...), which cmake/deb-host-arch.cmake names.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/deb-host-arch.cmake)
endif()
include(CPack)
