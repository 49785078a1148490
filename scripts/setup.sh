#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with, and the
# frameworks' official page scripts the application serves (App/package.json,
# from the npm registry as its lock file pins them).
# Idempotent: when everything is already there it only asks dpkg and npm.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config git clang-format nodejs
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev zlib1g-dev libssl-dev libcurl4-openssl-dev
  libutf8proc-dev uuid-dev libdw-dev nlohmann-json3-dev libcpp-httplib-dev
  clang libclang-rt-14-dev valgrind doxygen
  libwebkit2gtk-4.1-dev webkit2gtk-driver xvfb xauth dbus
  dpkg-dev fakeroot lintian desktop-file-utils appstream
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} > 0)); then
  echo "setup: installing ${missing[*]}" >&2
  sudo_cmd=()
  if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  if ! "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; then
    "${sudo_cmd[@]}" apt-get update
    "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
  fi
fi

# The page scripts: installed again only when the lock file changed.
app="$(cd "$(dirname "$0")/../App" && pwd)"
if ! cmp -s "$app/package-lock.json" "$app/node_modules/.installed-lock.json"; then
  echo "setup: installing the page scripts (npm ci in App/)" >&2
  (cd "$app" && npm ci --no-audit --no-fund --ignore-scripts --loglevel=error)
  cp "$app/package-lock.json" "$app/node_modules/.installed-lock.json"
fi
