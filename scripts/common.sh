# Sourced by .ci/run and the scripts in this folder: the Debian packages each
# needs, how they get them, who holds a TCP port and a build tree's test ports. Keep the package lists
# here and nowhere else.

# To build and run the programs (scripts/demo.sh); libjs-chart.js is the
# chart library the report page carries.
corvane_build_packages=(cmake ninja-build g++ libjs-chart.js)
# What scripts/package.sh needs besides: the Windows cross compiler, and
# dpkg-shlibdeps for the .deb's dependencies.
corvane_package_packages=(g++-mingw-w64-x86-64-posix dpkg-dev)
# What scripts/test-package.sh needs besides: systemd-analyze, and ss.
corvane_package_test_packages=(systemd iproute2)
# Everything scripts/test.sh runs: the above; Google Test and Benchmark; wine
# for the Windows programs; clang with its sanitizer and fuzzer runtimes, and
# valgrind (scripts/test-reliability.sh); nftables for the tests that block
# traffic; clang-format and clang-tidy (scripts/check-style.sh); headless
# Chromium and its driver for the report page's browser tests.
corvane_test_packages=("${corvane_build_packages[@]}" "${corvane_package_packages[@]}"
  libgtest-dev libgmock-dev libbenchmark-dev wine wine64
  clang libclang-rt-14-dev llvm valgrind "${corvane_package_test_packages[@]}" nftables
  clang-format clang-tidy chromium chromium-driver python3-selenium)

# corvane_need_packages WHO PACKAGE...: installs those of the Debian packages
# that are missing, with apt-get as root or through sudo otherwise; ends the
# calling script with a one-line message (starting "WHO: ") when it cannot.
corvane_need_packages() {
  local who=$1 package
  shift
  if ! command -v dpkg-query >/dev/null; then
    echo "$who: not a Debian system; make sure these are installed: $*" >&2
    return 0
  fi
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0

  local as_root=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "$who: missing Debian packages; as root, run: apt-get install ${missing[*]}" >&2
      exit 1
    fi
    as_root=(sudo)
    [ -t 0 ] || as_root+=(-n)  # no terminal to ask for a password on
  fi
  echo "$who: installing the missing Debian packages: ${missing[*]}"
  if ! "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update ||
    ! "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y --no-install-recommends "${missing[@]}"; then
    echo "$who: could not install the missing Debian packages; as root, run: apt-get install ${missing[*]}" >&2
    exit 1
  fi
}

# corvane_port_holder PORT: prints who listens on TCP port PORT ("chatd (pid
# 123)", or less when that cannot be told) and succeeds, or fails when nothing
# does.
corvane_port_holder() {
  local port=$1 line
  if command -v ss >/dev/null; then
    line=$(ss -Htlnp "sport = :$port" 2>/dev/null | head -n 1)
    [ -n "$line" ] || return 1
    if [[ $line =~ users:\(\(\"([^\"]*)\",pid=([0-9]+) ]]; then
      echo "${BASH_REMATCH[1]} (pid ${BASH_REMATCH[2]})"
    else
      [ "$(id -u)" -eq 0 ] && echo "a process" || echo "another user's process"
    fi
    return 0
  fi
  # Without ss: whether a connection to 127.0.0.1 is taken.
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || return 1
  echo "a process"
}

# corvane_test_port TREE NAME: the port NAME (a name of the table in
# cmake/test_ports.cmake, e.g. CORVANE_TEST_SERVER_PORT) of the build tree in
# folder TREE: as its test_ports.txt lists it once configured, else as the
# table derives it for that folder. Run from the source tree's top.
corvane_test_port() {
  local tree=$1 name=$2 port=""
  [ -f "$tree/test_ports.txt" ] && port=$(sed -n "s/^$name=//p" "$tree/test_ports.txt")
  [ -n "$port" ] ||
    port=$(cmake -DCORVANE_PORTS_TREE="$tree" -DCORVANE_PORTS_NAME="$name" -P cmake/test_ports.cmake)
  echo "$port"
}
