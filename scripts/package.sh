#!/usr/bin/env bash
# Builds the release packages of both systems:
#   build/packages/Corvane-<version>-linux-x86_64.tar.gz
#   build/packages/Corvane-<version>-windows-x86_64.zip
# each holding BWCorvane and SCCorvane, the sample configuration.txt and
# members lists, and HOWTO.txt. Arguments go to both configure steps, e.g.
#   scripts/package.sh -DCORVANE_SERVER_HOST=chat.example.org
# The Windows build needs the MinGW-w64 cross compiler
# (g++-mingw-w64-x86-64-posix). CORVANE_BUILD_ROOT (default build) is the
# folder the builds and packages go to.
set -euo pipefail
cd "$(dirname "$0")/.."

root=${CORVANE_BUILD_ROOT:-build}
mkdir -p "$root"
root=$(cd "$root" && pwd)
packages="$root/packages"
mkdir -p "$packages"

# package NAME [CMAKE ARGUMENTS...]: a release build in $root/package-NAME
# without tests, then its package into $packages.
package() {
  local dir="$root/package-$1"
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_TESTS=OFF \
    -DCORVANE_BUILD_BENCHMARKS=OFF "$@" >/dev/null
  cmake --build "$dir" --target BWCorvane SCCorvane
  cpack --config "$dir/CPackConfig.cmake" -B "$packages"
}

package linux "$@"
package windows --toolchain cmake/mingw-w64-x86_64.cmake "$@"
rm -rf "$packages/_CPack_Packages"
echo "package: built"
ls -l "$packages"/Corvane-*
