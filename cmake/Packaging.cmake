# Installation and the Debian package. Included by the top-level list once the programs exist.
# Neither the instrument simulator nor the tests are installed, and no boot loader image is: the
# boot loader belongs to the instrument's maker, and the user places BOOTLOAD.IMG next to the
# installed program, where the program looks for it.
include(GNUInstallDirs)

install(TARGETS flashupdate RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
if(TARGET flashupdate-cli)
  install(TARGETS flashupdate-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT Runtime)
endif()

install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/resources/flashupdate.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT Runtime)
# Renamed so the desktop entry's "Icon=flashupdate" finds it in the pixmaps fallback directory.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/resources/flashupdate-icon.xpm
  DESTINATION ${CMAKE_INSTALL_DATADIR}/pixmaps
  RENAME flashupdate.xpm
  COMPONENT Runtime)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME flashupdate)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quenlid Instruments")
set(CPACK_PACKAGE_CONTACT "Quenlid Instruments <support@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Rewrites the FLASH program memory of a Quenlid instrument over a serial line")
# Debian wants the long description in short lines, with "." standing for a blank line.
set(CPACK_PACKAGE_DESCRIPTION
  "flashupdate loads a boot loader into a Quenlid instrument over a serial line,\n\
erases its FLASH program memory, sends a new program image and compares the\n\
instrument's checksum with its own.\n\
.\n\
The boot loader image BOOTLOAD.IMG is not included: place it next to the\n\
installed program, as /usr/bin/BOOTLOAD.IMG.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quenlid Instruments <support@example.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
# The debugging information of a RelWithDebInfo build stays in the build tree.
set(CPACK_STRIP_FILES ON)
# The window's fixed layout is drawn in Liberation fonts, which the libraries do not pull in.
set(CPACK_DEBIAN_PACKAGE_DEPENDS fonts-liberation)
find_program(FLASHUPDATE_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(FLASHUPDATE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6widgets6, libqt6serialport6, fonts-liberation")
endif()
# Only the Runtime component goes into the package, whatever else a subdirectory may install.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_CURRENT_BINARY_DIR};${PROJECT_NAME};Runtime;/")
include(CPack)
