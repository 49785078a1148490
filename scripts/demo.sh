#!/usr/bin/env bash
# The main job: builds the project, starts the reference collector on the
# loopback over HTTP and HTTPS (with a throwaway certificate the client is
# told to trust), and runs the example, whose hits the collector prints.
# Usage: scripts/demo.sh [TRACKING-ID]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target halden-example halden-collector

work=$(mktemp -d)
collector=
cleanup() {
  if [[ -n "$collector" ]]; then kill "$collector" 2>/dev/null || true; wait "$collector" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=127.0.0.1" \
  -addext "subjectAltName=IP:127.0.0.1" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null

build/default/tools/collector/halden-collector --port 0 --port-file "$work/port" \
  --cert "$work/cert.pem" --key "$work/key.pem" --https-port-file "$work/https-port" \
  --out "$work/hits.jsonl" &
collector=$!
for _ in $(seq 100); do
  [[ -s "$work/port" && -s "$work/https-port" ]] && break
  sleep 0.1
done
[[ -s "$work/https-port" ]] || { echo "demo: the collector did not start" >&2; exit 1; }

status=0
HALDEN_LIBRARY_DIR="$work/library" \
HALDEN_HTTP_ORIGIN="http://127.0.0.1:$(cat "$work/port")" \
HALDEN_HTTPS_ORIGIN="https://127.0.0.1:$(cat "$work/https-port")" \
HALDEN_CA_FILE="$work/cert.pem" \
  build/default/examples/halden-example "${1:-UA-12345-1}" || status=$?
echo "demo: the collector recorded $(wc -l <"$work/hits.jsonl") hit(s)"
exit "$status"
