#!/usr/bin/env bash
# Builds the release packages:
#   build/packages/Corvane-<version>-linux-x86_64.tar.gz
#   build/packages/Corvane-<version>-windows-x86_64.zip
#   build/packages/corvane_<version>_amd64.deb
# The first two hold BWCorvane and SCCorvane, the sample configuration.txt
# and members lists, HOWTO.txt and LICENSE, the .tar.gz also chatd and the
# .zip run-forever.cmd; the .deb installs them as a Debian system expects,
# with a systemd service for each program. Arguments go to every configure
# step, e.g.
#   scripts/package.sh -DCORVANE_SERVER_HOST=chat.example.org
# Without any, the programs connect to localhost:6112: each build is
# configured afresh, so settings of an earlier run never carry over.
#
# Environment: CORVANE_PACKAGES (default "linux windows debian") picks the
# packages; CORVANE_BUILD_ROOT (default build) is the folder the builds and
# packages go to. Installs the Debian packages it needs when any is missing
# (the Windows build needs the MinGW-w64 cross compiler).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
corvane_need_packages package "${corvane_build_packages[@]}" "${corvane_package_packages[@]}"

root=${CORVANE_BUILD_ROOT:-build}
mkdir -p "$root"
root=$(cd "$root" && pwd)
packages="$root/packages"
mkdir -p "$packages"

# package NAME [CMAKE ARGUMENTS...]: a fresh release configure in
# $root/package-NAME without tests, a build, then its package into $packages.
package() {
  local dir="$root/package-$1"
  shift
  cmake --fresh -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_TESTS=OFF \
    -DCORVANE_BUILD_BENCHMARKS=OFF "$@" >/dev/null
  cmake --build "$dir"
  cpack --config "$dir/CPackConfig.cmake" -B "$packages"
}

for name in ${CORVANE_PACKAGES:-linux windows debian}; do
  case $name in
    linux) package linux "$@" ;;
    windows) package windows --toolchain cmake/mingw-w64-x86_64.cmake "$@" ;;
    debian) package debian -DCORVANE_PACKAGE_LAYOUT=debian "$@" ;;
    *) echo "package: no package called $name (linux, windows, debian)" >&2; exit 1 ;;
  esac
done
rm -rf "$packages/_CPack_Packages"
echo "package: built"
ls -l "$packages"/Corvane-* "$packages"/corvane_* 2>/dev/null || true
