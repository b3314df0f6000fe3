# Installation. Included by the top-level list once the programs exist. The tests are not
# installed, and no boot loader image is: the boot loader belongs to the instrument's maker, and
# the user places BOOTLOAD.IMG where the programs look for it. The instrument simulator is
# installed as flashupdate-simulator (component Simulator, a package of its own), so that it can
# be tried and trained on without an instrument.
#
# The Debian package is built by Debian's own helpers from debian/ (dpkg-buildpackage), which
# strip the programs, compress and place the changelog and copyright, and work out the
# dependencies; tools/check-package.sh builds it and runs lintian and the metadata validators.
include(GNUInstallDirs)

set(FLASHUPDATE_PACKAGE_NAME flashupdate)
set(FLASHUPDATE_PACKAGE_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${FLASHUPDATE_PACKAGE_NAME})

# Directories the install creates get 755 whatever the umask of whoever builds the package: a
# group-writable directory in a package is an error to lintian.
set(FLASHUPDATE_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${FLASHUPDATE_DIRECTORY_PERMISSIONS})

install(TARGETS flashupdate RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
if(TARGET flashupdate-cli)
  install(TARGETS flashupdate-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT Runtime)
  # Where bash-completion loads it from on first use of the command.
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/flashupdate-cli.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
    RENAME flashupdate-cli
    COMPONENT Runtime)
  # Where zsh and fish look for the completions of packaged programs.
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/_flashupdate-cli
    DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions COMPONENT Runtime)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/flashupdate-cli.fish
    DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d COMPONENT Runtime)
endif()

# Under the tool's own prefix: "instrument-sim" is too general a name for /usr/bin, and the
# command, its package and its manual page then share one name.
if(TARGET instrument-sim)
  install(PROGRAMS $<TARGET_FILE:instrument-sim> DESTINATION ${CMAKE_INSTALL_BINDIR}
    RENAME flashupdate-simulator COMPONENT Simulator)
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

# Debian's helpers install the changelog and the copyright file of a package they build; an
# install of its own gets them too.
option(FLASHUPDATE_DEBHELPER "Leave the changelog and copyright to Debian's helpers" OFF)
if(NOT FLASHUPDATE_DEBHELPER)
  # The package is native (its version has no Debian revision), so its changelog is changelog.gz.
  set(FLASHUPDATE_CHANGELOG ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz)
  add_custom_command(OUTPUT ${FLASHUPDATE_CHANGELOG}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
    COMMAND ${FLASHUPDATE_GZIP} -9n --stdout ${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog
      > ${FLASHUPDATE_CHANGELOG}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog
    COMMENT "Compressing the package's changelog"
    VERBATIM)
  add_custom_target(flashupdate-changelog ALL DEPENDS ${FLASHUPDATE_CHANGELOG})
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/debian/copyright ${FLASHUPDATE_CHANGELOG}
    DESTINATION ${FLASHUPDATE_PACKAGE_DOCDIR} COMPONENT Runtime)
endif()

# The changelog's newest entry must name the project's version, which the package takes from it.
file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog FLASHUPDATE_CHANGELOG_TOP
  LIMIT_COUNT 1)
if(NOT FLASHUPDATE_CHANGELOG_TOP MATCHES "^${FLASHUPDATE_PACKAGE_NAME} \\(([^)]+)\\)"
   OR NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "debian/changelog begins with \"${FLASHUPDATE_CHANGELOG_TOP}\", but the "
    "project's version is ${PROJECT_VERSION}: add an entry for ${PROJECT_VERSION} at its top.")
endif()

# Manual pages, made from the programs' own --help and --version so they never disagree with
# them. A developer without help2man still builds the programs; the package build depends on it.
find_program(FLASHUPDATE_HELP2MAN help2man)
if(FLASHUPDATE_SANITIZE)
  # Never packaged, and a leak report as the program exits would fail the page for nothing.
  message(STATUS "Sanitizer build: no manual pages")
elseif(FLASHUPDATE_HELP2MAN)
  set(FLASHUPDATE_MANUAL_PAGES)
  # target: the program's target, when it is built under another name than it is installed as.
  function(flashupdate_manual_page program summary)
    set(target ${program})
    if(ARGC GREATER 2)
      set(target ${ARGV2})
    endif()
    set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1)
    set(additions ${CMAKE_CURRENT_SOURCE_DIR}/packaging/${program}.h2m)
    # Run by its installed name, as the program names itself after the name it was started by.
    set(command ${CMAKE_CURRENT_BINARY_DIR}/man/${program})
    # The window program answers --help before it needs a display; offscreen keeps a build on a
    # machine without one safe should that ever change.
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -E create_symlink $<TARGET_FILE:${target}> ${command}
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
        ${FLASHUPDATE_HELP2MAN} --no-info "--name=${summary}" --include=${additions}
        --output=${page} ${command}
      COMMAND ${FLASHUPDATE_GZIP} -9n --force ${page}
      DEPENDS ${target} ${additions}
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
  if(TARGET instrument-sim)
    flashupdate_manual_page(flashupdate-simulator
      "play Quenlid instruments for trying flashupdate without one" instrument-sim)
    list(POP_BACK FLASHUPDATE_MANUAL_PAGES FLASHUPDATE_SIMULATOR_PAGE)
    add_custom_target(flashupdate-simulator-manual-page ALL DEPENDS ${FLASHUPDATE_SIMULATOR_PAGE})
    install(FILES ${FLASHUPDATE_SIMULATOR_PAGE}
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Simulator)
  endif()
  add_custom_target(flashupdate-manual-pages ALL DEPENDS ${FLASHUPDATE_MANUAL_PAGES})
  install(FILES ${FLASHUPDATE_MANUAL_PAGES}
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Runtime)
else()
  message(STATUS "help2man not found: building without the manual pages "
    "(apt-get install help2man, then configure again)")
endif()
