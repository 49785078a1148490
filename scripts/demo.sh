#!/usr/bin/env bash
# The main job: builds the project, starts the reference collector on the
# loopback over HTTP and HTTPS (with a throwaway certificate the client is
# told to trust) and the shop application, whose hits the collector prints.
#
# With a display, the shop opens in a window for you to use; close it to
# end. Without one (or with --tour) it runs under Xvfb and takes a guided
# tour through WebDriver (two products, the cart, a checkout, a campaign URL),
# saves a screenshot to build/demo/shop.png and exits 0 once every hit of the
# tour has arrived.
# Usage: scripts/demo.sh [--tour]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/collector-tls.sh
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target halden-app halden-collector

make_tls_work

start_tls_collector build/default/tools/collector/halden-collector "$work" \
  || { echo "demo: the collector did not start" >&2; exit 1; }
export HALDEN_LIBRARY_DIR="$work/library"
app=build/default/App/halden-app

status=0
if [[ "${1:-}" != --tour && ( -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ) ]]; then
  echo "demo: the shop is open; its hits appear below as they arrive. Close the window to end."
  echo "demo: to open a campaign URL meanwhile: $app 'x-halden-shop://product/mug?utm_source=news'"
  "$app" || status=$?
else
  mkdir -p build/demo
  xvfb-run -a -s "-screen 0 1280x900x24" dbus-run-session -- \
    node scripts/demo-tour.mjs "$PWD/$app" "$PWD/build/demo/shop.png" || status=$?
fi
echo "demo: the collector recorded $(wc -l <"$work/hits.jsonl") hit(s)"
exit "$status"
