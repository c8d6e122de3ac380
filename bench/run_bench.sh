#!/usr/bin/env bash
# Whole-run benchmark: runs each scenario in its own driftsim_bench process, so that the peak
# resident memory of a row belongs to that scenario alone, and prints one Markdown table.
#
#   bench/run_bench.sh BENCH_BINARY [SCENARIO_FILE...]
#
# Without scenario files it runs the five scenarios of bench/ in order; the last one (W5, a
# panel of 400000 SNPs) takes minutes.
set -euo pipefail

if [[ $# -lt 1 ]]; then
  echo "usage: $0 BENCH_BINARY [SCENARIO_FILE...]" >&2
  exit 1
fi
bench_binary=$1
shift
here=$(cd "$(dirname "$0")" && pwd)

if [[ $# -eq 0 ]]; then
  set -- "$here/w1_typical.txt" "$here/w2_many_loci.txt" "$here/w3_snps.txt" \
    "$here/w4_large_population.txt" "$here/w5_snp_panel.txt"
fi

# Row label from the file name: w4_large_population.txt gives W4 large population, snp SNP.
label() {
  local stem
  stem=$(basename "$1" .txt)
  local tag=${stem%%_*} words=${stem#*_}
  if [[ $words == "$stem" ]]; then words=""; fi
  words=${words//_/ }
  echo "${tag^^} ${words//snp/SNP}"
}

cpu=$(lscpu 2>/dev/null | sed -n 's/^Model name:[[:space:]]*//p' | head -n 1)
echo "CPU: ${cpu:-unknown}, $(nproc) cores; $(date -u '+%Y-%m-%d %H:%M UTC')"
echo
echo "Gen ms: reproduction and mutation per generation. Floor ms: a plain loop reading two"
echo "parent tables and writing one offspring table (3 x Ne x GenoBytes bytes), shortest of"
echo "several passes. Tables MB: 2 x Ne x GenoBytes + sampled x GenoBytes + NumAllele x"
echo "NumLoci x 4, beside the peak resident memory of the run. MB and GB are 10^6 and 10^9 bytes."
echo
"$bench_binary" --header
for scenario in "$@"; do
  "$bench_binary" "$(label "$scenario")" "$scenario"
done
