# Shared by the tools: build folders and the configurations. Sourced, not run.
build=${OSTREL_BUILD_DIR:-$root/build}

# The tests and the demo each build with loopback addresses of their own, so that both can run
# at once: the update endpoint on the first port, then the home page, the download page, and the
# update address over TLS of the tests' keyed copy of the program. The tests' ports are chosen
# when their build is configured (free_ports).
demo_port=18571

# A version as the program puts it into its update address: three parts, a fourth only when it is
# not 0 (1.1 and 1.1.0.0 as 1.1.0). Anything but plain dotted numbers is left as it is.
canonical_version() {
  local parts version
  [[ $1 =~ ^[0-9]{1,9}(\.[0-9]{1,9}){0,3}$ ]] || { echo "$1"; return; }
  IFS=. read -ra parts <<<"$1"
  while ((${#parts[@]} < 3)); do parts+=(0); done
  version=$((10#${parts[0]})).$((10#${parts[1]})).$((10#${parts[2]}))
  if ((${#parts[@]} == 4)) && ((10#${parts[3]} != 0)); then version+=.$((10#${parts[3]})); fi
  echo "$version"
}

# The first of four consecutive loopback ports that nothing listens on: those the build in
# folder $1 was configured with while they are still free, otherwise new ones.
free_ports() {
  python3 - "$1/CMakeCache.txt" <<'PYTHON'
import random, re, socket, sys
def free(base):
    try:
        for port in range(base, base + 4):
            socket.create_server(("127.0.0.1", port)).close()
        return True
    except OSError:
        return False
try:
    base = int(re.search(r"^OSTREL_UPDATE_CHECK_URL:STRING=http://127.0.0.1:(\d+)/",
                         open(sys.argv[1]).read(), re.M)[1])
except (OSError, TypeError):
    base = 0
while not (base and free(base)):
    base = random.randrange(20000, 60000)
print(base)
PYTHON
}

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
    -DOSTREL_TEST_UPDATE_CHECK_URL="https://localhost:$((port + 3))/ostrel/update/{version}.json" "$@"
}

# What shapes a release's bytes, as "toolchain.NAME=VERSION" lines: the Debian packages of the
# compiler, linker, Windows headers and libraries, installer and packaging tools, the .NET SDK
# that restores the WebView2 SDK, and the WebView2 SDK's pinned version.
toolchain_versions() {
  local package
  for package in gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
    mingw-w64-x86-64-dev nsis nsis-common strip-nondeterminism osslsigncode cmake ninja-build; do
    echo "toolchain.$package=$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null || echo none)"
  done
  echo "toolchain.dotnet-sdk=$(DOTNET_NOLOGO=1 DOTNET_CLI_TELEMETRY_OPTOUT=1 dotnet --version)"
  echo "toolchain.webview2-sdk=$(sed -n 's/^set(OSTREL_WEBVIEW2_VERSION \(.*\))$/\1/p' \
    "$root/cmake/webview2-sdk.cmake")"
}
