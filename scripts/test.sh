#!/usr/bin/env bash
# Builds the project and runs every test suite in the plain build and in the
# AddressSanitizer+UndefinedBehaviorSanitizer and ThreadSanitizer builds, then
# the fuzz targets for a bounded time (clang, libFuzzer), and builds the tree
# with clang's lock checks (-Wthread-safety as errors).
#   scripts/test.sh            all three builds, the fuzz run and the lock check
#   scripts/test.sh default    only the named presets (default, asan, tsan, fuzz,
#                              thread-safety)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

presets=("$@")
if ((${#presets[@]} == 0)); then presets=(default asan tsan fuzz thread-safety); fi

for preset in "${presets[@]}"; do
  if [[ ${preset} == fuzz ]]; then
    # The fuzz build has nothing but the fuzz targets to build and run.
    echo "=== fuzz: configure and build the fuzz targets" >&2
    cmake --preset fuzz >/dev/null
    cmake --build --preset fuzz --target BridgeMessage_fuzz CampaignUrl_fuzz \
      DictionaryArchive_fuzz CollectorBody_fuzz
    echo "=== fuzz: bounded fuzz runs" >&2
    ctest --preset fuzz
    continue
  fi
  if [[ ${preset} == thread-safety ]]; then
    # Nothing to run: the build is the check.
    echo "=== thread-safety: build with clang's lock checks" >&2
    cmake --preset thread-safety >/dev/null
    cmake --build --preset thread-safety
    continue
  fi
  echo "=== ${preset}: configure and build" >&2
  cmake --preset "${preset}" >/dev/null
  cmake --build --preset "${preset}"
  echo "=== ${preset}: test" >&2
  if [[ ${preset} == tsan ]]; then
    # ThreadSanitizer's shadow memory needs a fixed address-space layout on
    # kernels with high mmap randomisation.
    setarch "$(uname -m)" -R ctest --preset "${preset}"
  else
    ctest --preset "${preset}"
  fi
done
if [[ " ${presets[*]} " == *" default "* ]]; then
  echo "=== install: a consumer builds against the installed package" >&2
  bash scripts/check-install.sh build/default
  echo "=== packages: the Debian packages build, pass lintian, install, work and purge" >&2
  bash scripts/check-packages.sh
fi
