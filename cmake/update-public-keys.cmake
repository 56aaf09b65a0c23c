# The publisher's public keys, compiled into the program so that it obeys only answers signed
# with one of them: ostrel_update_public_keys(PEM_FILE OUT_DIR) writes OUT_DIR/update_public_keys.h
# and, for the release, OUT_DIR/update-public-keys.pem, the keys as built. An empty PEM_FILE makes
# a program that reads answers unsigned. Anything but P-256 public keys fails the configure; a
# private key is refused before anything of it is written.
function(ostrel_update_public_keys pem_file out_dir)
  set(points "")
  set(count 0)
  file(REMOVE ${out_dir}/update-public-keys.pem)
  if(pem_file)
    file(READ ${pem_file} text)
    string(REGEX MATCHALL "-----BEGIN [A-Z0-9 ]+-----[^-]+-----END [A-Z0-9 ]+-----"
           blocks "${text}")
    if(NOT blocks)
      message(FATAL_ERROR "OSTREL_UPDATE_PUBLIC_KEY: ${pem_file} holds no PEM block, so no key")
    endif()
    foreach(block IN LISTS blocks)
      string(REGEX MATCH "^-----BEGIN ([A-Z0-9 ]+)-----" _ "${block}")
      set(label "${CMAKE_MATCH_1}")
      if(label MATCHES "PRIVATE")
        message(FATAL_ERROR "OSTREL_UPDATE_PUBLIC_KEY: ${pem_file} holds a private key "
          "(${label}), which must never reach a build: give the public key alone "
          "(openssl ec -pubout). Nothing of it was compiled in or copied.")
      elseif(NOT label STREQUAL "PUBLIC KEY")
        message(FATAL_ERROR "OSTREL_UPDATE_PUBLIC_KEY: ${pem_file} holds a ${label}, "
          "not a public key")
      endif()
    endforeach()
    find_program(OSTREL_OPENSSL openssl REQUIRED)
    set(work ${out_dir}/update-public-key)
    foreach(block IN LISTS blocks)
      file(WRITE ${work}.pem "${block}\n")
      execute_process(
        COMMAND ${OSTREL_OPENSSL} pkey -pubin -in ${work}.pem -outform DER -out ${work}.der
        RESULT_VARIABLE failed ERROR_QUIET)
      set(der "")
      if(NOT failed)
        file(READ ${work}.der der HEX)
      endif()
      # A P-256 key's SubjectPublicKeyInfo: this fixed prefix, then the point's X and Y.
      string(REGEX MATCH "^3059301306072a8648ce3d020106082a8648ce3d03010703420004([0-9a-f]+)$"
             _ "${der}")
      set(point "${CMAKE_MATCH_1}")
      string(LENGTH "${point}" length)
      if(NOT length EQUAL 128)
        execute_process(COMMAND ${OSTREL_OPENSSL} pkey -pubin -in ${work}.pem -noout -text
                        OUTPUT_VARIABLE what ERROR_VARIABLE what)
        string(REGEX MATCHALL "(Public-Key|ASN1 OID|NIST CURVE|Modulus|ED25519|ED448)[^\n]*"
               what "${what}")
        list(JOIN what " " what)
        message(FATAL_ERROR "OSTREL_UPDATE_PUBLIC_KEY: a key in ${pem_file} is not a P-256 "
          "(prime256v1) public key; openssl reads it as: ${what}")
      endif()
      string(REGEX REPLACE "(..)" "0x\\1," point "${point}")
      string(APPEND points "    {${point}},\n")
      math(EXPR count "${count} + 1")
      file(READ ${work}.pem block)
      file(APPEND ${out_dir}/update-public-keys.pem "${block}")
    endforeach()
    file(REMOVE ${work}.pem ${work}.der)
  endif()
  # Rewritten only when it changes, so that a new configure rebuilds nothing.
  file(WRITE ${out_dir}/update_public_keys.h.new
    "// Generated from OSTREL_UPDATE_PUBLIC_KEY: the points of the publisher's P-256 public keys.\n"
    "#pragma once\n\n#include <array>\n\n#include \"update/update_answer.h\"\n\n"
    "inline constexpr std::array<PublicKeyPoint, ${count}> kUpdatePublicKeys = {{\n${points}}};\n")
  file(COPY_FILE ${out_dir}/update_public_keys.h.new ${out_dir}/update_public_keys.h
       ONLY_IF_DIFFERENT)
  file(REMOVE ${out_dir}/update_public_keys.h.new)
endfunction()
