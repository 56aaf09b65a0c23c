# Run by CPack on each package's staged files: a signed release ships its signed program, the
# same file in every package, in place of the build's own, which signing never touches.
if(CPACK_OSTREL_SIGNED_PROGRAM)
  file(COPY_FILE ${CPACK_OSTREL_SIGNED_PROGRAM} ${CPACK_TEMPORARY_DIRECTORY}/OstrelBrowser.exe)
endif()
