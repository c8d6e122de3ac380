#!/usr/bin/env bash
# Whole-run benchmark: runs each scenario on one thread and on all CPUs (the default thread
# count), each run in its own driftsim_bench process, so that the peak resident memory of a row
# belongs to that run alone, and prints one Markdown table per row of CPU routines that this
# processor runs (forced with DRIFTSIM_KERNEL; the row chosen automatically is named in the
# header). BENCH_KERNELS (space separated) limits the rows measured.
#
#   bench/run_bench.sh BENCH_BINARY [SCENARIO_FILE...]
#
# Without scenario files it runs the scenarios of bench/ in order: W3 also with its loci linked
# on 20 chromosomes of 1 Morgan (w3_snps_linked.txt), to set linked meiosis beside the unlinked
# one; the last one (W5, a panel of 400000 SNPs) takes minutes.
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
    "$here/w3_snps_linked.txt" "$here/w4_large_population.txt" "$here/w5_snp_panel.txt"
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
echo "CPU: ${cpu:-unknown}, $(nproc) CPUs for this process; $(date -u '+%Y-%m-%d %H:%M UTC');" \
  "load average $(cut -d ' ' -f 1-3 /proc/loadavg)"
echo "Processor: $("$bench_binary" --cpu)"
rows=${BENCH_KERNELS:-$("$bench_binary" --cpu | sed -n 's/.*rows run: \([^;]*\);.*/\1/p')}
echo
echo "Each scenario on 1 thread and on all CPUs (the default). Gen ms: reproduction and mutation"
echo "per generation. Floor ms: a plain loop reading two parent tables and writing one offspring"
echo "table (3 x Ne x GenoBytes bytes), shortest of several passes, on 1 thread and on all CPUs."
echo "Family floor ms (packed scenarios): the same bytes moved as the transmission moves them,"
echo "families of ten offspring of random parents advanced together a line at a time (thirty"
echo "record streams), 1 thread; no kernel of this layout is faster. Gen/floor and Gen/family"
echo "floor: Gen ms over the 1-thread floors. Run/floor: the whole run over 250 + NumGen"
echo "1-thread floors. Tables MB: 2 x Ne x GenoBytes + sampled x GenoBytes + NumAllele x NumLoci"
echo "x 4, beside the peak resident memory of the run. MB and GB are 10^6 and 10^9 bytes."
echo
for row in $rows; do
  echo
  echo "Row $row, load average $(cut -d ' ' -f 1-3 /proc/loadavg):"
  echo
  "$bench_binary" --header
  for scenario in "$@"; do
    DRIFTSIM_KERNEL=$row "$bench_binary" "$(label "$scenario")" "$scenario" 1
    DRIFTSIM_KERNEL=$row "$bench_binary" "$(label "$scenario")" "$scenario" 0
  done
done
echo
echo "load average after: $(cut -d ' ' -f 1-3 /proc/loadavg)"
