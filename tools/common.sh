# Shared by the tools: build folders and the two configurations. Sourced, not run.
build=${OSTREL_BUILD_DIR:-$root/build}

# Addresses of the test and demo builds: loopback only, ports the local servers listen on.
loopback_addresses=(
  -DOSTREL_UPDATE_CHECK_URL=http://127.0.0.1:18471//update.php
  -DOSTREL_HOME_PAGE_URL=https://127.0.0.1:18472/
  -DOSTREL_DOWNLOAD_PAGE_URL=http://127.0.0.1:18473/
)

configure_native() {
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja "$@"
}

configure_windows() {
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" "${loopback_addresses[@]}" "$@"
}
