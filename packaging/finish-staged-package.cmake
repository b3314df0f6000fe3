# Run by cpack once the files are installed into its staging tree and before the package is made
# from them: the last touches that Debian's helpers would otherwise give the files.
set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")

# A developer may build without help2man, but no package leaves without its manual pages.
foreach(program IN LISTS CPACK_FLASHUPDATE_MANUAL_PAGES)
  if(NOT EXISTS "${root}/${CPACK_FLASHUPDATE_MANDIR}/man1/${program}.1.gz")
    message(FATAL_ERROR "The package lacks the manual page of ${program}. The build makes the "
      "pages when configuring found help2man (apt-get install help2man, configure the build "
      "directory again and build), except in a sanitizer build, which is never packaged.")
  endif()
endforeach()

# strip keeps the compiler's identification (.comment) and the .note section; neither is of use
# in an installed program. Notes with longer names, such as the build ID, stay.
if(CPACK_STRIP_FILES AND CPACK_FLASHUPDATE_OBJCOPY)
  file(GLOB programs "${root}/${CPACK_FLASHUPDATE_BINDIR}/*")
  foreach(program IN LISTS programs)
    execute_process(
      COMMAND "${CPACK_FLASHUPDATE_OBJCOPY}" --remove-section=.comment --remove-section=.note
        "${program}"
      RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "objcopy could not remove the notes from ${program}")
    endif()
  endforeach()
endif()
