#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with.
# Idempotent: when every package is already there it only asks dpkg and exits.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config git clang-format nodejs
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev zlib1g-dev libssl-dev libcurl4-openssl-dev
  libutf8proc-dev uuid-dev nlohmann-json3-dev libcpp-httplib-dev
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "setup: installing ${missing[*]}" >&2
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
if ! "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; then
  "${sudo_cmd[@]}" apt-get update
  "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
