# Shared by the tools: build folders and the configurations. Sourced, not run.
build=${OSTREL_BUILD_DIR:-$root/build}

# The tests and the demo each build with loopback addresses of their own, so that both can run
# at once: the update endpoint on the first port, then the home page, the download page, and the
# update endpoint over TLS of the tests' copy of the program that asks there.
test_port=18471
demo_port=18571

configure_native() {
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja "$@"
}

# configure_windows DIR FIRST_PORT [CMAKE_ARGUMENTS...]
configure_windows() {
  local dir=$1 port=$2
  shift 2
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DOSTREL_UPDATE_CHECK_URL="http://127.0.0.1:$port//update.php?version={version}" \
    -DOSTREL_HOME_PAGE_URL="https://127.0.0.1:$((port + 1))/" \
    -DOSTREL_DOWNLOAD_PAGE_URL="http://127.0.0.1:$((port + 2))/" \
    -DOSTREL_TEST_TLS_UPDATE_CHECK_URL="https://localhost:$((port + 3))//update.php?version={version}" "$@"
}
