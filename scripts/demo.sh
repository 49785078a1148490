#!/usr/bin/env bash
# The main job: builds the project and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target halden-quickstart
library=$(mktemp -d)
trap 'rm -rf "$library"' EXIT
HALDEN_LIBRARY_DIR="$library" build/default/examples/halden-quickstart "${1:-UA-12345-1}"
