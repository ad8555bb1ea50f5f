#!/usr/bin/env bash
# The Debian package's tests (run by scripts/test.sh):
#  1. builds corvane_1.0_amd64.deb (scripts/package.sh) for localhost, on the
#     CORVANE_PACKAGE_TEST_PORT of its build tree (cmake/test_ports.cmake), in
#     build/test-debian;
#  2. checks its fields and its exact file list;
#  3. systemd-analyze verify of all units (each program's service, .path,
#     .timer, -restart@ service and -daily@ timer), as unpacked, with the programs of the package: any warning
#     fails;
#  4. as root only (else skipped): dpkg -i of the package; /usr/bin/BWCorvane,
#     in an empty folder with the installed samples, against /usr/bin/chatd
#     for one whole stats check (every member asked for, every answer printed
#     and in BroodWar.log); the installed units verified; then the package
#     removed again. Left alone when corvane was installed before.
# Needs that port on 127.0.0.1 free. CORVANE_BUILD_ROOT (default build) is the
# folder the build goes to.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
corvane_need_packages test-package "${corvane_build_packages[@]}" "${corvane_package_packages[@]}" \
  "${corvane_package_test_packages[@]}"

root=${CORVANE_BUILD_ROOT:-build}
mkdir -p "$root"
root=$(cd "$root" && pwd)
out="$root/test-debian"
port=$(corvane_test_port "$out/package-debian" CORVANE_PACKAGE_TEST_PORT)
started=$SECONDS
step() { echo "test-package: [$((SECONDS - started)) s] $*"; }
fail() { echo "test-package: $*" >&2; exit 1; }

if holder=$(corvane_port_holder $port); then
  fail "TCP port $port, which this test's server needs, is taken by $holder"
fi

work=$(mktemp -d)
chatd=""
bot=""
installed=""
cleanup() {
  [ -n "$bot" ] && kill "$bot" 2>/dev/null || true
  [ -n "$chatd" ] && kill "$chatd" 2>/dev/null || true
  wait 2>/dev/null || true
  if [ -n "$installed" ]; then
    dpkg --purge corvane >/dev/null || echo "test-package: could not remove corvane again" >&2
  fi
  rm -rf "$work"
}
trap cleanup EXIT

step "building the .deb for localhost:$port"
CORVANE_BUILD_ROOT="$out" CORVANE_PACKAGES=debian scripts/package.sh \
  -DCORVANE_SERVER_HOST=localhost -DCORVANE_SERVER_PORT=$port >"$work/package.log" 2>&1 ||
  { cat "$work/package.log" >&2; fail "the .deb did not build"; }
deb="$out/packages/corvane_1.0_amd64.deb"
[ -f "$deb" ] || fail "no $deb"

step "fields and file list of $(basename "$deb")"
for field in Package=corvane Version=1.0 Architecture=amd64 \
  "Maintainer=The Corvane developers <corvane@example.org>"; do
  value=$(dpkg-deb -f "$deb" "${field%%=*}")
  [ "$value" = "${field#*=}" ] || fail "${field%%=*} is \"$value\", not \"${field#*=}\""
done
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "Depends names no libc6"
# Each entry: mode, owner and path.
listing=$(dpkg-deb -c "$deb" | awk '{print $1, $2, $6}' | LC_ALL=C sort -k3)
expected=$(LC_ALL=C sort -k3 <<'EOF'
drwxr-xr-x root/root ./lib/
drwxr-xr-x root/root ./lib/systemd/
drwxr-xr-x root/root ./lib/systemd/system/
-rw-r--r-- root/root ./lib/systemd/system/bwcorvane-daily@.timer
-rw-r--r-- root/root ./lib/systemd/system/bwcorvane-restart@.service
-rw-r--r-- root/root ./lib/systemd/system/bwcorvane@.path
-rw-r--r-- root/root ./lib/systemd/system/bwcorvane@.service
-rw-r--r-- root/root ./lib/systemd/system/bwcorvane@.timer
-rw-r--r-- root/root ./lib/systemd/system/sccorvane-daily@.timer
-rw-r--r-- root/root ./lib/systemd/system/sccorvane-restart@.service
-rw-r--r-- root/root ./lib/systemd/system/sccorvane@.path
-rw-r--r-- root/root ./lib/systemd/system/sccorvane@.service
-rw-r--r-- root/root ./lib/systemd/system/sccorvane@.timer
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/BWCorvane
-rwxr-xr-x root/root ./usr/bin/SCCorvane
-rwxr-xr-x root/root ./usr/bin/chatd
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/corvane/
-rw-r--r-- root/root ./usr/share/doc/corvane/HOWTO.txt
-rw-r--r-- root/root ./usr/share/doc/corvane/bwmembers.txt
-rw-r--r-- root/root ./usr/share/doc/corvane/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/corvane/configuration.txt
-rw-r--r-- root/root ./usr/share/doc/corvane/copyright
-rw-r--r-- root/root ./usr/share/doc/corvane/scmembers.txt
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man1/
-rw-r--r-- root/root ./usr/share/man/man1/BWCorvane.1.gz
lrwxrwxrwx root/root ./usr/share/man/man1/SCCorvane.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/chatd.1.gz
drwxr-xr-x root/root ./usr/share/lintian/
drwxr-xr-x root/root ./usr/share/lintian/overrides/
-rw-r--r-- root/root ./usr/share/lintian/overrides/corvane
EOF
)
if [ "$listing" != "$expected" ]; then
  diff <(echo "$expected") <(echo "$listing") | sed 's/^/  /' >&2 || true
  fail "unexpected file list of $deb (< expected, > found)"
fi
dpkg-deb -x "$deb" "$work/unpacked"
grep -q "Permission is hereby granted" "$work/unpacked/usr/share/doc/corvane/copyright" ||
  fail "the copyright file holds no licence"

# verify_units DIR PREFIX: systemd-analyze verify of an instance of each unit
# in DIR (the services, .path and .timer units), whose programs are in
# PREFIX/usr/bin; fails on any output.
verify_units() {
  local dir=$1 prefix=$2 units=() name unit output
  mkdir -p "$work/verify"
  for name in bwcorvane sccorvane; do
    for unit in @.service @.path @.timer -restart@.service -daily@.timer; do
      sed "s|^ExecStart=/usr/bin/|ExecStart=$prefix/usr/bin/|" "$dir/$name$unit" \
        >"$work/verify/$name${unit/@/@test}"
      units+=("$work/verify/$name${unit/@/@test}")
    done
  done
  output=$(systemd-analyze verify "${units[@]}" 2>&1) || fail "systemd-analyze verify failed: $output"
  [ -z "$output" ] || fail "systemd-analyze verify warns: $output"
}
step "systemd-analyze verify of the units as packed"
verify_units "$work/unpacked/lib/systemd/system" "$work/unpacked"

if [ "$(id -u)" -ne 0 ]; then
  step "not root: installing the package and running it from /usr/bin are skipped"
  step "done"
  exit 0
fi
if dpkg-query -W -f='${Status}' corvane 2>/dev/null | grep -q "install ok installed"; then
  step "corvane is installed here already: not replacing it, so the install check is skipped"
  step "done"
  exit 0
fi

step "dpkg -i"
installed=yes
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i failed"; }
for file in /usr/bin/BWCorvane /usr/bin/SCCorvane /usr/bin/chatd \
  /lib/systemd/system/bwcorvane@.service /lib/systemd/system/sccorvane@.service \
  /usr/share/doc/corvane/HOWTO.txt /usr/share/doc/corvane/copyright; do
  [ -e "$file" ] || fail "dpkg -i installed no $file"
done

step "systemd-analyze verify of the installed units"
output=$(systemd-analyze verify {bw,sc}corvane@test.{service,path,timer} {bw,sc}corvane-restart@test.service \
  {bw,sc}corvane-daily@test.timer 2>&1) ||
  fail "systemd-analyze verify failed: $output"
[ -z "$output" ] || fail "systemd-analyze verify warns: $output"

step "/usr/bin/BWCorvane against /usr/bin/chatd, in an empty folder, for a whole stats check"
check="$work/check"
mkdir "$check"
cp /usr/share/doc/corvane/configuration.txt /usr/share/doc/corvane/bwmembers.txt "$check/"
/usr/bin/chatd --port $port --exit-after 150 >"$work/chatd.log" 2>&1 &
chatd=$!
for _ in $(seq 50); do
  grep -q "listening" "$work/chatd.log" 2>/dev/null && break
  sleep 0.1
done
grep -q "listening" "$work/chatd.log" || { cat "$work/chatd.log" >&2; fail "chatd did not start"; }
(cd "$check" && exec /usr/bin/BWCorvane >"$work/stdout" 2>"$work/stderr" </dev/null) &
bot=$!

missing() {  # prints what the check still lacks
  local name
  while read -r name; do
    grep -q ">> /stats $name SEXP\$" "$work/chatd.log" || echo "chatd never received /stats $name SEXP"
    grep -q "^INFO: $name's record:" "$work/stdout" || echo "BWCorvane did not print the answer for $name"
    grep -q "^$name's record:" "$check/BroodWar.log" 2>/dev/null ||
      echo "the answer for $name is not in BroodWar.log"
  done < <(tail -n +2 "$check/bwmembers.txt" | grep .)
}
[ "$(tail -n +2 "$check/bwmembers.txt" | grep -c .)" -gt 0 ] || fail "no names in the installed bwmembers.txt"
for _ in $(seq 900); do
  [ -z "$(missing)" ] && break
  kill -0 "$bot" 2>/dev/null || break
  sleep 0.1
done
status=running
if kill -0 "$bot" 2>/dev/null; then
  kill "$bot" 2>/dev/null || true
  wait "$bot" 2>/dev/null || true
else
  status=0
  wait "$bot" || status=$?
fi
bot=""
problems=$(missing)
if [ -n "$problems" ]; then
  echo "--- BWCorvane stdout"; cat "$work/stdout"
  echo "--- BWCorvane stderr (exit status: $status)"; cat "$work/stderr"
  echo "--- chatd"; cat "$work/chatd.log"
  echo "$problems" | sed 's/^/test-package: /' >&2
  fail "/usr/bin/BWCorvane did not perform a whole stats check"
fi
step "/usr/bin/BWCorvane asked for and recorded all $(tail -n +2 "$check/bwmembers.txt" | grep -c .) members"

step "dpkg --purge"
installed=""
dpkg --purge corvane >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg --purge failed"; }
[ ! -e /usr/bin/BWCorvane ] || fail "/usr/bin/BWCorvane is still there after dpkg --purge"
step "done"
