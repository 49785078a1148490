#!/usr/bin/env bash
# Builds the Debian packages (scripts/package.sh) and checks them: lintian
# reports no error, the libraries carry their SONAME and no run path. Run as
# root, it also installs them with apt-get, builds and runs the consumers in
# tests/install/consumer against /usr (CMake package and pkg-config), has one
# deliver a screen view to the installed collector over HTTPS, drives the
# installed halden-app --headless to send a view there too, validates the
# desktop entry and the metainfo, then purges the packages and checks that
# none of their files is left. The example web application's package
# (scripts/package-app.sh examples/web-app) is linted and its desktop entry
# and metainfo validated too; as root it is installed with the shell's, its
# launcher is driven headless to send a view, and it is purged with them.
#   scripts/check-packages.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/collector-tls.sh
packages=(libhaldenanalytics3 libhaldenanalytics-dev halden-app halden-collector)
work=$(mktemp -d)
collector=
app_pid=
installed=
cleanup() {
  if [[ -n "$app_pid" ]]; then kill "$app_pid" 2>/dev/null || true; fi
  stop_tls_collector
  if [[ -n "$installed" ]]; then
    apt-get purge -y -o DPkg::Lock::Timeout=300 "${packages[@]}" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
passed=0
pass() { passed=$((passed + 1)); echo "package check: $1" >&2; }
fail() { echo "package check: FAILED: $1" >&2; echo "package check: ${passed} passed, 1 failed"; exit 1; }

bash scripts/package.sh
for p in "${packages[@]}"; do
  compgen -G "build/packages/${p}_*.deb" >/dev/null || fail "no package ${p}"
done
pass "the four packages are built"

# Lintian's warnings are listed, with their reasons, in scripts/package.sh.
lintian --fail-on error build/packages/*.deb \
  || fail "lintian reports errors"
pass "lintian reports no error"

dpkg-deb -x build/packages/libhaldenanalytics3_*.deb "$work/libs"
for lib in libHaldenAnalytics libhalden-platform; do
  file=$(echo "$work"/libs/usr/lib/*/"$lib".so.3.20)
  soname=$(objdump -p "$file" | awk '$1 == "SONAME" { print $2 }')
  [[ $soname == "$lib.so.3" ]] || fail "$lib has SONAME '$soname', not $lib.so.3"
  [[ -L $(dirname "$file")/$lib.so.3 ]] || fail "no $lib.so.3 link"
done
for deb in libhaldenanalytics3 halden-app halden-collector; do
  dpkg-deb -x build/packages/${deb}_*.deb "$work/rpath"
done
while IFS= read -r -d '' binary; do
  if objdump -p "$binary" 2>/dev/null | grep -qE '^\s*(RPATH|RUNPATH)'; then
    fail "${binary#"$work"/rpath} has a run path"
  fi
done < <(find "$work/rpath" -type f \( -name '*.so.*' -o -path '*/bin/*' \) -print0)
pass "the libraries' SONAME is .so.3, and no binary has a run path"

# The example web application's package, its configuration read by the
# shell just built. Its lintian warnings are listed in scripts/package-app.sh.
app_deb=$(HALDEN_APP=build/package/App/halden-app bash scripts/package-app.sh examples/web-app) \
  || fail "the example application's package is not built"
[[ $app_deb == */build/packages/hello-hits_0.1.0_all.deb && -f $app_deb ]] \
  || fail "the example application's package is $app_deb"
app_package=$(dpkg-deb -f "$app_deb" Package)
packages+=("$app_package")
pass "the example application's package is built"
lintian --fail-on error "$app_deb" || fail "lintian reports errors in $app_package"
pass "lintian reports no error in $app_package"
dpkg-deb -x "$app_deb" "$work/web-app"
desktop-file-validate "$work/web-app/usr/share/applications/org.example.HelloHits.desktop" \
  || fail "$app_package's desktop entry is not valid"
appstreamcli validate --no-net "$work/web-app/usr/share/metainfo/org.example.HelloHits.metainfo.xml" >/dev/null \
  || fail "$app_package's metainfo is not valid"
pass "$app_package's desktop entry and metainfo are valid"

if [[ $(id -u) -ne 0 ]]; then
  echo "package check: not root, so the packages are not installed (installing, using and purging them needs root)" >&2
  echo "package check: ${passed} passed, 0 failed"
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
installed=1
apt-get install -y -o DPkg::Lock::Timeout=300 ./build/packages/*.deb >/dev/null \
  || fail "apt-get could not install the packages"
for p in "${packages[@]}"; do
  dpkg -L "$p" >>"$work/files"
done
pass "apt-get installs the packages"

# The consumers, against /usr only (CMAKE_PREFIX_PATH is searched before
# /usr/local; pkg-config is kept to /usr's directories).
cmake -S tests/install/consumer -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH=/usr >/dev/null \
  || fail "the consumer does not configure against /usr"
found=$(sed -n 's/^HaldenAnalytics_DIR:PATH=//p' "$work/consumer/CMakeCache.txt")
[[ $found == /usr/lib/*/cmake/HaldenAnalytics ]] || fail "find_package found $found"
cmake --build "$work/consumer" >/dev/null || fail "the consumer does not build against /usr"
HALDEN_LIBRARY_DIR="$work/library" "$work/consumer/consumer" >/dev/null \
  || fail "the consumer does not run"
pass "a consumer built with find_package against /usr runs"

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
export PKG_CONFIG_LIBDIR=/usr/lib/$multiarch/pkgconfig:/usr/lib/pkgconfig:/usr/share/pkgconfig
# shellcheck disable=SC2046
c++ tests/install/consumer/main.cpp -o "$work/consumer-pc" $(pkg-config --cflags --libs HaldenAnalytics) \
  || fail "the consumer does not build with pkg-config"
HALDEN_LIBRARY_DIR="$work/library" "$work/consumer-pc" >/dev/null || fail "the pkg-config consumer does not run"
pass "a consumer built with pkg-config runs"

# The installed collector, over HTTPS with a throwaway certificate the
# client trusts.
start_tls_collector /usr/bin/halden-collector "$work" --quiet \
  || fail "the installed collector did not start"
hits() { wc -l <"$work/hits.jsonl"; }

HALDEN_LIBRARY_DIR="$work/deliver-library" "$work/consumer/deliver" Home \
  || fail "the consumer's flush did not deliver"
[[ $(hits) == 1 ]] || fail "expected 1 hit from the consumer, got $(hits)"
pass "the consumer delivers to the installed collector over HTTPS"

# An installed program's headless host: a start, answered before the view
# is sent, then end of input, which sends what is pending.
#   headless_view PROGRAM SCREEN LIBRARY LOG
headless_view() {
  local program=$1 screen=$2 answer to_app
  coproc app { HALDEN_LIBRARY_DIR=$3 exec "$program" --headless 2>"$4"; }
  app_pid=$app_PID
  echo '["1","OmnistatPlugin","startTrackerWithId",["UA-12345-1",0]]' >&"${app[1]}"
  read -r -t 30 answer <&"${app[0]}" || fail "$program did not answer the start"
  [[ $answer == *'"callbackId":"1","status":1'* ]] || fail "the start was answered $answer"
  echo '["2","OmnistatPlugin","trackView",["'"$screen"'"]]' >&"${app[1]}"
  read -r -t 30 answer <&"${app[0]}" || fail "$program did not answer the view"
  [[ $answer == *'"callbackId":"2","status":1'* ]] || fail "the view was answered $answer"
  to_app=${app[1]}
  exec {to_app}>&-
  wait "$app_pid" || fail "$program --headless ended with status $? ($(tail -3 "$4"))"
  app_pid=
}

headless_view /usr/bin/halden-app PackageCheck "$work/app-library" "$work/app.log"
grep -q 'PackageCheck' "$work/hits.jsonl" || fail "the application's view did not reach the collector"
pass "the installed halden-app --headless delivers a view"

# The installed web application's launcher, the same way: its own
# configuration, its own application id on the hits.
[[ $(/usr/bin/"$app_package" --print-config | node -e 'console.log(JSON.parse(require("fs").readFileSync(0, "utf8")).webDir)') \
   == /usr/share/$app_package/www ]] || fail "the installed $app_package does not read its own configuration"
headless_view /usr/bin/"$app_package" WebAppCheck "$work/web-app-library" "$work/web-app.log"
node -e '
  const lines = require("fs").readFileSync(process.argv[1], "utf8").split("\n").filter(Boolean);
  const hit = lines.map(JSON.parse).find(h => h.params.cd === "WebAppCheck");
  process.exit(hit && hit.params.aid === "org.example.HelloHits" ? 0 : 1);
' "$work/hits.jsonl" || fail "the web application's view did not reach the collector with aid=org.example.HelloHits"
pass "the installed $app_package --headless delivers a view with its application id"
stop_tls_collector

desktop-file-validate /usr/share/applications/halden-app.desktop || fail "the desktop entry is not valid"
appstreamcli validate --no-net /usr/share/metainfo/org.halden.Shop.metainfo.xml >/dev/null \
  || fail "the metainfo is not valid"
pass "the installed desktop entry and metainfo are valid"

apt-get purge -y -o DPkg::Lock::Timeout=300 "${packages[@]}" >/dev/null || fail "apt-get could not purge the packages"
installed=
left=()
while IFS= read -r path; do
  [[ -e $path || -L $path ]] || continue
  # dpkg-deb's packages list the root itself, as "/.".
  [[ $path == /. ]] && continue
  if [[ -d $path && ! -L $path ]]; then
    # A directory is left only if no other package has it.
    dpkg-query -S "$path" >/dev/null 2>&1 && continue
  fi
  left+=("$path")
done < <(sort -u "$work/files")
((${#left[@]} == 0)) || fail "left after the purge: ${left[*]}"
if ldconfig -p | grep -qE 'lib(HaldenAnalytics|halden-platform)\.so'; then
  fail "the loader's cache still lists the libraries"
fi
pass "purging the packages leaves none of their files"

echo "package check: ${passed} passed, 0 failed"
