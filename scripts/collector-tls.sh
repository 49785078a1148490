# Sourced by the scripts that run a reference collector on the loopback over
# HTTP and HTTPS, with a throwaway certificate the client is told to trust.
#   start_tls_collector PROGRAM WORK [OPTION ...]
# makes WORK/cert.pem and WORK/key.pem, starts PROGRAM recording hits in
# WORK/hits.jsonl (with the options given after WORK), sets `collector` to
# its process id, and exports HALDEN_HTTP_ORIGIN, HALDEN_HTTPS_ORIGIN and
# HALDEN_CA_FILE. Answers non-zero when the collector did not start.
#   stop_tls_collector
# stops that collector, if one runs, and clears `collector`.
#   make_tls_work
# sets `work` to a fresh temporary folder for the two above, and makes the
# script stop the collector and remove the folder when it exits.
start_tls_collector() {
  local program=$1 work=$2
  shift 2
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=127.0.0.1" \
    -addext "subjectAltName=IP:127.0.0.1" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
  "$program" --port 0 --port-file "$work/port" --out "$work/hits.jsonl" \
    --cert "$work/cert.pem" --key "$work/key.pem" --https-port-file "$work/https-port" "$@" &
  collector=$!
  for _ in $(seq 100); do
    [[ -s "$work/port" && -s "$work/https-port" ]] && break
    sleep 0.1
  done
  [[ -s "$work/port" && -s "$work/https-port" ]] || return 1
  export HALDEN_HTTP_ORIGIN="http://127.0.0.1:$(cat "$work/port")"
  export HALDEN_HTTPS_ORIGIN="https://127.0.0.1:$(cat "$work/https-port")"
  export HALDEN_CA_FILE="$work/cert.pem"
}

stop_tls_collector() {
  if [[ -n "${collector:-}" ]]; then kill "$collector" 2>/dev/null || true; wait "$collector" || true; fi
  collector=
}

make_tls_work() {
  work=$(mktemp -d)
  collector=
  trap 'stop_tls_collector; rm -rf "$work"' EXIT
}
