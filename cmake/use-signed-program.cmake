# Run by CPack on each package's staged files: a signed release ships its signed program, the
# same file in every package, in place of the build's own, which signing never touches. Its mode
# is the installed program's, whatever the sign command left: the ZIP records it.
if(CPACK_OSTREL_SIGNED_PROGRAM)
  set(program ${CPACK_TEMPORARY_DIRECTORY}/OstrelBrowser.exe)
  file(COPY_FILE ${CPACK_OSTREL_SIGNED_PROGRAM} ${program})
  file(CHMOD ${program} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
endif()
