# The publisher's public keys, compiled into the program so that it obeys only answers signed
# with one of them: ostrel_update_public_keys(PEM_FILE OUT_DIR) writes OUT_DIR/update_public_keys.h
# and, for the release, OUT_DIR/update-public-keys.pem, the keys as built. An empty PEM_FILE makes
# a program that reads answers unsigned. Anything but distinct P-256 public keys fails the
# configure; a private key is refused before anything of it is written.
function(ostrel_update_public_keys pem_file out_dir)
  set(points "")
  set(count 0)
  file(REMOVE ${out_dir}/update-public-keys.pem)
  # Tested as a text: a path ending in -NOTFOUND is a file like any other, not an empty setting.
  if(NOT "${pem_file}" STREQUAL "")
    # Read as the release command and the update check read it.
    cmake_path(ABSOLUTE_PATH pem_file BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
    file(MAKE_DIRECTORY ${out_dir})
    execute_process(
      COMMAND bash ${CMAKE_SOURCE_DIR}/tools/read-public-keys.sh ${pem_file}
              ${out_dir}/update-public-keys.pem
      RESULT_VARIABLE failed OUTPUT_VARIABLE read ERROR_VARIABLE why)
    if(failed)
      file(REMOVE ${out_dir}/update-public-keys.pem)
      string(STRIP "${why}" why)
      message(FATAL_ERROR "OSTREL_UPDATE_PUBLIC_KEY: ${why}")
    endif()
    string(REGEX MATCHALL "[0-9a-f]+" read "${read}")
    foreach(point IN LISTS read)
      string(REGEX REPLACE "(..)" "0x\\1," point "${point}")
      string(APPEND points "    {${point}},\n")
      math(EXPR count "${count} + 1")
    endforeach()
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
