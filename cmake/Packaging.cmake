# Installation and the Debian package. Included by the top-level list once the programs exist.
# Neither the instrument simulator nor the tests are installed, and no boot loader image is: the
# boot loader belongs to the instrument's maker, and the user places BOOTLOAD.IMG next to the
# installed program, where the program looks for it.
#
# CPack's DEB generator is no dh: whatever Debian's helpers would do for a package (manual pages,
# a compressed changelog, the copyright file, stripping notes from the programs, sane directory
# modes) is done here, so that lintian passes the package as it comes out of cpack.
# tools/check-package.sh builds the package and runs lintian and the metadata validators on it.
include(GNUInstallDirs)

set(FLASHUPDATE_PACKAGE_NAME flashupdate)
set(FLASHUPDATE_PACKAGE_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${FLASHUPDATE_PACKAGE_NAME})

# Directories the install creates get 755 whatever the umask of whoever builds the package: a
# group-writable directory in a package is an error to lintian.
set(FLASHUPDATE_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${FLASHUPDATE_DIRECTORY_PERMISSIONS})
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${FLASHUPDATE_DIRECTORY_PERMISSIONS})

install(TARGETS flashupdate RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
if(TARGET flashupdate-cli)
  install(TARGETS flashupdate-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT Runtime)
  # Where bash-completion loads it from on first use of the command.
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/flashupdate-cli.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
    RENAME flashupdate-cli
    COMPONENT Runtime)
endif()

# The menu entry, its icons and what software centres show. The 32 x 32 XPM stays inside the
# program for its own windows; the desktop gets the hicolor icons drawn from the SVG, rendered
# ahead of time by resources/render-flashupdate-icons.sh so that building needs no renderer.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/resources/flashupdate.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT Runtime)
foreach(size 48 64 128 256)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/resources/flashupdate-icon-${size}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
    RENAME flashupdate.png
    COMPONENT Runtime)
endforeach()
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/resources/flashupdate-icon.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
  RENAME flashupdate.svg
  COMPONENT Runtime)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/resources/com.quenlid.flashupdate.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT Runtime)

# Compressed the way Debian's tools do it: -n keeps the name and time stamp out of the gzip
# header, so the same text always gives the same bytes.
find_program(FLASHUPDATE_GZIP gzip REQUIRED)

# The package is native (its version has no Debian revision), so its changelog is changelog.gz.
set(FLASHUPDATE_CHANGELOG ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${FLASHUPDATE_CHANGELOG}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
  COMMAND ${FLASHUPDATE_GZIP} -9n --stdout ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog
    > ${FLASHUPDATE_CHANGELOG}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog
  COMMENT "Compressing the package's changelog"
  VERBATIM)
add_custom_target(flashupdate-changelog ALL DEPENDS ${FLASHUPDATE_CHANGELOG})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/copyright ${FLASHUPDATE_CHANGELOG}
  DESTINATION ${FLASHUPDATE_PACKAGE_DOCDIR} COMPONENT Runtime)

# The changelog's newest entry must name the version CPack gives the package.
file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog FLASHUPDATE_CHANGELOG_TOP
  LIMIT_COUNT 1)
if(NOT FLASHUPDATE_CHANGELOG_TOP MATCHES "^${FLASHUPDATE_PACKAGE_NAME} \\(([^)]+)\\)"
   OR NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/changelog begins with \"${FLASHUPDATE_CHANGELOG_TOP}\", but the "
    "project's version is ${PROJECT_VERSION}: add an entry for ${PROJECT_VERSION} at its top.")
endif()

# Manual pages, made from the programs' own --help and --version so they never disagree with
# them. A developer without help2man still builds the programs; cpack refuses to make a package
# without the pages (see packaging/finish-staged-package.cmake).
find_program(FLASHUPDATE_HELP2MAN help2man)
if(FLASHUPDATE_SANITIZE)
  # Never packaged, and a leak report as the program exits would fail the page for nothing.
  message(STATUS "Sanitizer build: no manual pages, and cpack will not make a package")
elseif(FLASHUPDATE_HELP2MAN)
  set(FLASHUPDATE_MANUAL_PAGES)
  function(flashupdate_manual_page program summary)
    set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1)
    set(additions ${CMAKE_CURRENT_SOURCE_DIR}/packaging/${program}.h2m)
    # The window program answers --help before it needs a display; offscreen keeps a build on a
    # machine without one safe should that ever change.
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
        ${FLASHUPDATE_HELP2MAN} --no-info "--name=${summary}" --include=${additions}
        --output=${page} $<TARGET_FILE:${program}>
      COMMAND ${FLASHUPDATE_GZIP} -9n --force ${page}
      DEPENDS ${program} ${additions}
      COMMENT "Writing the manual page of ${program}"
      VERBATIM)
    set(FLASHUPDATE_MANUAL_PAGES ${FLASHUPDATE_MANUAL_PAGES} ${page}.gz PARENT_SCOPE)
  endfunction()
  flashupdate_manual_page(flashupdate
    "update the FLASH program memory of a Quenlid instrument")
  if(TARGET flashupdate-cli)
    flashupdate_manual_page(flashupdate-cli
      "update the FLASH memory of Quenlid instruments from the command line")
  endif()
  add_custom_target(flashupdate-manual-pages ALL DEPENDS ${FLASHUPDATE_MANUAL_PAGES})
  install(FILES ${FLASHUPDATE_MANUAL_PAGES}
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Runtime)
else()
  message(STATUS "help2man not found: building without the manual pages, and cpack will not make "
    "a package (apt-get install help2man, then configure again)")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${FLASHUPDATE_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quenlid Instruments")
set(CPACK_PACKAGE_CONTACT "Quenlid Instruments <support@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Rewrites the FLASH program memory of a Quenlid instrument over a serial line")
# Debian wants the long description in lines of at most 80 characters, with "." standing for a
# blank line; CPack indents them.
set(CPACK_PACKAGE_DESCRIPTION
  "flashupdate loads a boot loader into a Quenlid instrument over a serial line,\n\
erases its FLASH program memory, sends a new program image and compares the\n\
instrument's checksum with its own. flashupdate-cli does the same without a\n\
window, for scripts, and can update instruments on several ports at once.\n\
.\n\
Opening a serial port needs membership of the dialout group: add the user\n\
with \"sudo adduser $USER dialout\", then log out and in again.\n\
.\n\
The boot loader image BOOTLOAD.IMG is not included: place it next to the\n\
installed program, as /usr/bin/BOOTLOAD.IMG.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
# The debugging information of a RelWithDebInfo build stays in the build tree.
set(CPACK_STRIP_FILES ON)
# strip leaves the compiler's .comment and .note sections behind; dh_strip would remove them.
set(CPACK_FLASHUPDATE_OBJCOPY "${CMAKE_OBJCOPY}")
set(CPACK_FLASHUPDATE_MANUAL_PAGES flashupdate)
if(TARGET flashupdate-cli)
  list(APPEND CPACK_FLASHUPDATE_MANUAL_PAGES flashupdate-cli)
endif()
set(CPACK_FLASHUPDATE_MANDIR ${CMAKE_INSTALL_MANDIR})
set(CPACK_FLASHUPDATE_BINDIR ${CMAKE_INSTALL_BINDIR})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/finish-staged-package.cmake)
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
# The description's quotes and "$USER" reach the package as written, not read as CMake syntax.
set(CPACK_VERBATIM_VARIABLES ON)
include(CPack)
