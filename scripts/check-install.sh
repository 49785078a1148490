#!/usr/bin/env bash
# Installs a build into a temporary prefix, then builds and runs consumers
# against the installed CMake package and compiles one with pkg-config: one
# includes every public header after defining names a program may have of
# its own; one delivers a screen view to the reference collector over HTTPS
# with nothing but the public API and TLM::flush, then runs again and must
# send nothing.
#   scripts/check-install.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/collector-tls.sh
build=${1:-build/default}
make_tls_work
passed=0
pass() { passed=$((passed + 1)); echo "install check: $1" >&2; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S tests/install/consumer -B "$work/consumer" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
HALDEN_LIBRARY_DIR="$work/library" "$work/consumer/consumer" >/dev/null
pass "the headers build beside a program's own RELEASE and GUARDED_BY"

PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" \
  c++ tests/install/consumer/main.cpp -o "$work/consumer-pc" \
  $(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs HaldenAnalytics) \
  -Wl,-rpath,"$work/prefix/lib"
HALDEN_LIBRARY_DIR="$work/library" "$work/consumer-pc" >/dev/null
pass "a program built with pkg-config runs"

# A collector over HTTPS with a throwaway certificate the client trusts.
start_tls_collector "$build/tools/collector/halden-collector" "$work" --quiet \
  || { echo "install check: the collector did not start" >&2; exit 1; }
export HALDEN_LIBRARY_DIR="$work/deliver-library"
hits() { wc -l <"$work/hits.jsonl"; }

"$work/consumer/deliver" Home || { echo "install check: flush did not deliver" >&2; exit 1; }
[[ $(hits) == 1 ]] || { echo "install check: expected 1 hit, got $(hits)" >&2; exit 1; }
pass "a plain program delivers over HTTPS and its flush answers true"
"$work/consumer/deliver" || { echo "install check: the second run's flush failed" >&2; exit 1; }
[[ $(hits) == 1 ]] || { echo "install check: the second run sent again ($(hits) hits)" >&2; exit 1; }
pass "a second run sends nothing"
echo "install check: ${passed} passed, 0 failed"
