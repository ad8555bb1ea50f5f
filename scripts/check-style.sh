#!/usr/bin/env bash
# The C++ habits CI keeps (run by scripts/test.sh):
#  1. every C and C++ file of the tree formatted as .clang-format says;
#  2. clang-tidy, with the checks of .clang-tidy, finds nothing in the
#     program (core/, app/, platform/) and the stand-in server (server/).
#     platform/windows/ is analysed as the MinGW-w64 build compiles it.
# Format the tree with: clang-format -i $(git ls-files '*.c' '*.cpp' '*.h')
# CORVANE_BUILD_ROOT (default build) holds the builds whose compile commands
# clang-tidy reads; they are only configured here, not built.
set -euo pipefail
cd "$(dirname "$0")/.."
root=${CORVANE_BUILD_ROOT:-build}

files() {  # files PATTERN...: the tracked files that match
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -- "$@"
  else
    local pattern
    for pattern in "$@"; do find . -path "./build" -prune -o -path "./$pattern" -type f -print; done |
      sed 's|^\./||' | LC_ALL=C sort -u
  fi
}

echo "check-style: clang-format"
mapfile -t sources < <(files '*.c' '*.cpp' '*.h')
clang-format --dry-run --Werror "${sources[@]}"
echo "check-style: ${#sources[@]} files formatted as .clang-format says"

echo "check-style: clang-tidy"
cmake --preset ci -B "$root/ci" >/dev/null
mapfile -t analysed < <(files 'core/*.cpp' 'app/*.cpp' 'platform/posix/*.cpp' 'server/*.cpp')
# Without the counts of warnings in system headers it leaves out.
quiet() { "$@" 2>&1 | { grep -v '^[0-9]* warnings\? generated\.$' || true; }; }
quiet xargs -P 2 -n 1 clang-tidy -p "$root/ci" --quiet < <(printf '%s\n' "${analysed[@]}")

# The Windows file: clang with the MinGW-w64 target, the cross compiler's
# C++ library and the MinGW headers (clang's own intrinsics, not gcc's).
cmake --preset mingw -B "$root/mingw" >/dev/null
include_args=()
while read -r dir; do
  case $dir in */c++* | */x86_64-w64-mingw32/include) include_args+=("--extra-arg=-isystem$dir") ;; esac
done < <(echo | x86_64-w64-mingw32-g++-posix -E -x c++ - -v 2>&1 |
  sed -n '/#include <...> search starts here/,/End of search list/p' | sed -n 's/^ //p')
quiet clang-tidy -p "$root/mingw" --quiet --extra-arg=-nostdinc++ "${include_args[@]}" \
  platform/windows/windows_environment.cpp
echo "check-style: clang-tidy found nothing in $((${#analysed[@]} + 1)) files"
