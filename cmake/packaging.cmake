# Install rules and the Debian package. The five programs go to sbin (they
# need the right to open the MTD devices), their manual pages to man8.
set(FW_PROGRAMS tolvane quillet nanddump nandwrite flash_eraseall tolvane-status)
foreach(program ${FW_PROGRAMS})
  if(TARGET ${program})
    if(FW_STATIC)
      # Release programs for the board need nothing from its C library.
      target_link_options(${program} PRIVATE -static)
    endif()
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/man/${program}.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fwintegrity)
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_CONTACT "firmware integrity team <firmware@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "boot-set manager and flash verifier for dual-image NAND boards")
set(CPACK_PACKAGE_DESCRIPTION
    "tolvane keeps the table of the two boot sets and repairs a damaged set from\n"
    "its twin; quillet checks the boot images on NAND against the backups on the\n"
    "SD card and rewrites them. With nanddump, nandwrite and flash_eraseall.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# Other packages ship their own nanddump, nandwrite and flash_eraseall.
set(CPACK_DEBIAN_PACKAGE_CONFLICTS "mtd-utils")

# The package architecture is the target's, not the build machine's.
if(FW_DEBIAN_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${FW_DEBIAN_ARCH})
endif()
if(FW_STATIC)
  # Static programs need nothing on the board.
elseif(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps cannot see the target's libraries on the build machine.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.36), libstdc++6 (>= 12)")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
