# Import libraries that load their DLL on first use rather than with the program: the update
# thread is WinINet's and CNG's only user, and the shell is needed only when the user takes an
# offered update. The window need not wait for any of them.
function(ostrel_delay_load_library name dll)
  set(def ${CMAKE_BINARY_DIR}/delay-load/${name}.def)
  set(library ${CMAKE_BINARY_DIR}/delay-load/lib${name}_delay.a)
  list(JOIN ARGN "\n" exports)
  file(WRITE ${def} "LIBRARY ${dll}\nEXPORTS\n${exports}\n")
  add_custom_command(OUTPUT ${library}
    COMMAND ${CMAKE_DLLTOOL} --input-def ${def} --output-delaylib ${library}
    DEPENDS ${def} VERBATIM)
  add_custom_target(${name}_delay DEPENDS ${library})
  add_library(${name}_delay_load INTERFACE)
  target_link_libraries(${name}_delay_load INTERFACE ${library})
  add_dependencies(${name}_delay_load ${name}_delay)
endfunction()

ostrel_delay_load_library(wininet WININET.dll
  InternetOpenW InternetOpenUrlW InternetReadFile InternetCloseHandle HttpQueryInfoW)
ostrel_delay_load_library(shell32 SHELL32.dll ShellExecuteW)
ostrel_delay_load_library(bcrypt BCRYPT.dll
  BCryptOpenAlgorithmProvider BCryptCloseAlgorithmProvider BCryptHash BCryptImportKeyPair
  BCryptDestroyKey BCryptVerifySignature BCryptCreateHash BCryptHashData BCryptFinishHash
  BCryptDestroyHash BCryptGenRandom)
