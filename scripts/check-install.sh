#!/usr/bin/env bash
# Installs a build into a temporary prefix, then builds and runs a consumer
# against the installed CMake package and compiles one with pkg-config.
#   scripts/check-install.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S tests/install/consumer -B "$work/consumer" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
HALDEN_LIBRARY_DIR="$work/library" "$work/consumer/consumer"

PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" \
  c++ tests/install/consumer/main.cpp -o "$work/consumer-pc" \
  $(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs HaldenAnalytics) \
  -Wl,-rpath,"$work/prefix/lib"
HALDEN_LIBRARY_DIR="$work/library" "$work/consumer-pc"
echo "install check: 2 passed, 0 failed"
