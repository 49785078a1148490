#!/usr/bin/env bash
# Builds the benchmark drivers (plain build, RelWithDebInfo) and prints the
# library's performance figures, each beside the baseline measured in the same
# run and the ratio, with the machine's load: these machines are shared, so a
# ratio says more than a time. One figure does not depend on the load: the
# instructions a hit costs from send() until its deletion, counted by callgrind
# (valgrind, which scripts/setup.sh installs).
#   scripts/bench.sh            the table
#   scripts/bench.sh --raw      the drivers' own output as well
set -euo pipefail
cd "$(dirname "$0")/.."

raw=false
[[ ${1:-} == --raw ]] && raw=true

command -v valgrind >/dev/null || scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target TLMDelivery_driver TLMMemory_driver \
  TLMTrackerSend_driver TLMSendToDeleted_driver halden-collector >/dev/null
export HALDEN_COLLECTOR_PROGRAM=build/default/tools/collector/halden-collector

run() {
  local out
  out=$("$@" 2>&1)
  if $raw; then printf '%s\n' "${out}" >&2; fi
  printf '%s\n' "${out}"
}

load_before=$(cut -d' ' -f1 /proc/loadavg)
delivery=$(run build/default/bench/TLMDelivery_driver 10000 3)
memory=$(run build/default/bench/TLMMemory_driver)
sending=$(run build/default/bench/TLMTrackerSend_driver)
load_after=$(cut -d' ' -f1 /proc/loadavg)

# Instructions of the whole program under callgrind, sending and delivering $1
# hits (the collector is a process of its own, not counted). It runs in a
# command substitution, where set -e is off: a failed run is returned.
instructions() {
  local file log status=0
  file=$(mktemp)
  if log=$(valgrind --tool=callgrind --callgrind-out-file="${file}" \
    build/default/bench/TLMSendToDeleted_driver "$1" 2>&1); then
    if $raw; then printf '%s\n' "${log}" >&2; fi
    callgrind_annotate "${file}" | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}'
  else
    printf '%s\n' "${log}" >&2
    status=1
  fi
  rm -f "${file}"
  return "${status}"
}
# One hit's share: the difference between 2,000 and 1,000 hits over 1,000,
# which leaves out start-up and everything else a run does once.
few=$(instructions 1000)
many=$(instructions 2000)
per_hit=$(((many - few) / 1000))
# The same figure before the performance work (the parent of 16bf655), measured
# with this driver on Debian 12's compiler and libraries; it is not measured
# again here, as that takes a build of the older tree.
per_hit_before=531208

# Median of three rounds, the library's and the plain sender's times (s).
median() { sort -g | sed -n 2p; }
library=$(awk '/library, dispatch\(\)/ {print $3}' <<<"${delivery}" | median)
plain=$(awk '/plain sender/ {print $3}' <<<"${delivery}" | median)
ratios=$(awk '/library, dispatch\(\)/ {for (i = 1; i <= NF; i++) if ($i == "time") print $(i + 1)}' \
  <<<"${delivery}" | tr -d x | median)

# MiB: the drain's peak over the resident set with the hits stored; anonymous
# memory (heap, stacks, page caches) before and after.
drain_line=$(grep '^drain' <<<"${memory}")
field() { grep -o "$1 [0-9.]*" <<<"${drain_line}" | head -1 | awk '{print $NF}'; }
stored_rss=$(grep -o 'hits stored [0-9.]*' <<<"${drain_line}" | awk '{print $3}')
peak=$(grep -o 'peak [0-9.]* MiB:' <<<"${drain_line}" | awk '{print $2}')
anon_after=$(field 'anonymous')
anon_stored=$(grep -o 'stored: anonymous [0-9.]*' <<<"${drain_line}" | awk '{print $3}')

# The figure after the words "median" and "p99" of a driver's line.
percentiles() {
  awk -v what="$1" 'index($0, what) == 1 {
    for (i = 1; i < NF; i++) {
      if ($i == "median" && m == "") m = $(i + 1)
      if ($i == "p99" && p == "") p = $(i + 1)
    }
    print m " / " p }' <<<"${sending}"
}
send_one=$(percentiles 'send, one thread')
send_four=$(percentiles 'send, four threads')
bursts=$(grep '^stored, bursts of 60' <<<"${sending}" | sed 's/^stored, bursts of 60: //')

printf '\nMachine: %s cores, load %s before and %s after\n\n' "$(nproc)" "${load_before}" \
  "${load_after}"
printf '| Figure | Library | Baseline | Ratio |\n|---|---|---|---|\n'
printf '| drain 10,000 stored hits (median of 3) | %s s | plain sender, one flushed commit per batch: %s s | %sx its time |\n' \
  "${library}" "${plain}" "${ratios}"
printf '| resident memory while draining 10,000 | peak %s MiB, anonymous %s MiB after | %s MiB with the hits stored, anonymous %s MiB | +%s MiB anonymous |\n' \
  "${peak}" "${anon_after}" "${stored_rss}" "${anon_stored}" \
  "$(awk -v a="${anon_after}" -v b="${anon_stored}" 'BEGIN {printf "%.1f", a - b}')"
printf '| hits queued and stored, bursts of 60 | %s |\n' \
  "$(sed 's/; two bare commits per hit: / | two bare SQLite commits per hit: /; s/; \([0-9.]*x\)$/ | \1/' <<<"${bursts}")"
printf '| caller cost of send, median / p99 | one thread %s us, four threads %s us | | |\n' \
  "${send_one}" "${send_four}"
printf '| instructions per hit, send() to deleted (callgrind, 2,000 less 1,000 hits) | %s | before the performance work (16bf655^), recorded: %s | %sx fewer |\n' \
  "${per_hit}" "${per_hit_before}" \
  "$(awk -v a="${per_hit_before}" -v b="${per_hit}" 'BEGIN {printf "%.2f", a / b}')"
