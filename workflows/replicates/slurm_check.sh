#!/usr/bin/env bash
# The workflow's cluster path on a real SLURM: the tiny study of ci_check.sh through Snakemake's
# SLURM executor (profiles/slurm-test) and through its generic cluster mode with sbatch
# (profiles/sbatch), each against a run on local cores. Same seeds, same table (but for each
# run's own times and peak memory); and every simulate, stats, conversion and external
# estimator job must be a SLURM job that accounting lists as COMPLETED, allocated the CPUs its
# rule asks for; driftsim and driftsim-stats with an affinity mask of that many CPUs.
#
# Usage: slurm_check.sh [DRIFTSIM [DRIFTSIM_STATS [DRIFTSIM_CONVERT]]]
# Needs a running cluster with accounting in $SLURM_CONF, with the account and partition of
# profiles/slurm-test, such as `slurm_cluster.sh run slurm_check.sh` gives. Needs Debian's
# snakemake (7.x), python3-matplotlib and python3-yaml.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
DRIFTSIM="$(realpath -m "${1:-${DRIFTSIM:-$ROOT/build/driftsim}}")"
STATS="$(realpath -m "${2:-${DRIFTSIM_STATS:-$ROOT/build/driftsim-stats}}")"
CONVERT="$(realpath -m "${3:-${DRIFTSIM_CONVERT:-$ROOT/build/driftsim-convert}}")"
# CPUs per simulate job: more than the one of a stats job, so that the allocation shows it.
THREADS=2
export PYTHONDONTWRITEBYTECODE=1
# Snakemake 7's SLURM executor looks the user's account up under $USER, unset in CI.
export USER="${USER:-$(id -un)}"

fail() { echo "slurm_check: FAIL: $*" >&2; exit 1; }

for exe in "$DRIFTSIM" "$STATS" "$CONVERT"; do
  [ -x "$exe" ] || fail "$exe is not an executable"
done
[ -n "${SLURM_CONF:-}" ] || fail "SLURM_CONF is not set; run inside slurm_cluster.sh run"
sinfo -h -o %T | grep -qx idle || fail "no idle node in the cluster of $SLURM_CONF"
PY="$(sed -n '1s/^#! *//p' "$(command -v snakemake)")"
[ -n "$PY" ] || PY=python3
# Replicates of the tiny study: each is one simulate and one stats job, and one table row; those
# of the scenarios of its external estimator (LD) also one conversion and one estimate job.
read -r REPS PLUGGED <<< "$(PYTHONPATH="$HERE/scripts" $PY -c 'import sys, yaml, replicates as rp
c = yaml.safe_load(open(sys.argv[1]))
plan, (ld,) = rp.study_plan(c), rp.check_estimators(c)
print(len(plan), sum(p["scenario"] in ld["scenarios"] for p in plan))' "$HERE/tests/tiny_study.yaml")"

TMP="$(mktemp -d)"
[ -n "${KEEP_TMP:-}" ] || trap 'rm -rf "$TMP"' EXIT

# Stand-ins for the two programs that log their SLURM job, their name and the CPUs of their
# affinity mask (what driftsim takes its threads from), then run the real program.
mkdir "$TMP/bin"
probe() {  # probe NAME PROGRAM
  cat > "$TMP/bin/$1" <<SH
#!/bin/sh
echo "\${SLURM_JOB_ID:-none} $1 \$($PY -c 'import os; print(len(os.sched_getaffinity(0)))')" >> "$TMP/probe.log"
exec "$2" "\$@"
SH
  chmod +x "$TMP/bin/$1"
}
probe driftsim "$DRIFTSIM"
probe stats "$STATS"

study() {  # study NAME DRIFTSIM STATS SNAKEMAKE-ARGS...: the tiny study in $TMP/NAME
  local name=$1 sim=$2 stats=$3 start=$SECONDS
  shift 3
  mkdir "$TMP/$name"
  cp "$HERE/tests/tiny_study.yaml" "$TMP/$name/config.yaml"
  # The jobs start in the directory snakemake was started from.
  if ! (cd "$TMP/$name" && snakemake -s "$HERE/Snakefile" --configfile config.yaml \
    --config driftsim="$sim" driftsim_stats="$stats" driftsim_convert="$CONVERT" \
      threads=$THREADS "$@" > snakemake.log 2>&1)
  then
    tail -40 "$TMP/$name/snakemake.log"
    fail "$name: workflow failed"
  fi
  echo "$name: workflow done in $((SECONDS - start)) s"
}

# check_jobs NAME PATTERN: the SLURM job IDs that snakemake's log names (PATTERN captures them)
# are exactly the study's simulate, stats, conversion and estimate jobs, and driftsim and
# driftsim-stats ran on their own CPUs.
check_jobs() {
  $PY - "$TMP/$1" "$2" "$TMP/probe.log" "$THREADS" "$REPS" "$PLUGGED" <<'PY'
import collections, os, re, subprocess, sys
folder, pattern, probe_log = sys.argv[1:4]
threads, reps, plugged = int(sys.argv[4]), int(sys.argv[5]), int(sys.argv[6])
total = 2 * reps + 2 * plugged
name = os.path.basename(folder)
def fail(msg):
    sys.exit(f"slurm_check: FAIL: {name}: {msg}")

with open(os.path.join(folder, "snakemake.log")) as handle:
    ids = re.findall(pattern, handle.read())
if len(ids) != total or len(set(ids)) != total:
    fail(f"expected {total} distinct SLURM jobs ({reps} simulate, {reps} stats, {plugged} "
         f"conversions, {plugged} estimates) in snakemake's log, got {ids}")
out = subprocess.run(["sacct", "-n", "-P", "-j", ",".join(ids),
                      "--format=JobID,JobName,State,AllocCPUS"],
                     check=True, capture_output=True, text=True).stdout
jobs, steps = {}, collections.defaultdict(list)
for line in out.splitlines():
    jobid, jobname, state, cpus = line.split("|")
    if "." in jobid:
        steps[jobid.split(".")[0]].append((jobid, state))
    else:
        jobs[jobid] = (jobname, state, int(cpus))
if sorted(jobs) != sorted(ids):
    fail(f"sacct lists jobs {sorted(jobs)}, snakemake submitted {sorted(ids)}")

probes = collections.defaultdict(list)
with open(probe_log) as handle:
    for line in handle:
        jobid, program, cpus = line.split()
        probes[jobid].append((program, int(cpus)))

rules = collections.Counter()
for jobid, (jobname, state, cpus) in sorted(jobs.items(), key=lambda item: int(item[0])):
    rule = next((r for r in ("simulate", "stats", "estimator_input", "estimate")
                 if r in jobname), None)
    if rule is None:
        fail(f"job {jobid} is named {jobname!r}, not a job of the study's rules")
    rules[rule] += 1
    # The job and each of its steps (batch script, srun) ended well.
    for what, st in [(jobid, state)] + steps[jobid]:
        if st != "COMPLETED":
            fail(f"job {what} ({jobname}) is {st}, not COMPLETED")
    want = threads if rule == "simulate" else 1
    if cpus != want:
        fail(f"job {jobid} ({jobname}) was allocated {cpus} CPUs, its rule asks for {want}")
    program = {"simulate": "driftsim", "stats": "stats"}.get(rule)
    if probes[jobid] != ([(program, want)] if program else []):
        fail(f"job {jobid} ({jobname}): expected {program or 'no probed program'} to run once "
             f"on {want} CPUs, the probes saw {probes[jobid]}")
want_rules = {"simulate": reps, "stats": reps, "estimator_input": plugged, "estimate": plugged}
if rules != want_rules:
    fail(f"jobs per rule {dict(rules)}, expected {want_rules}")
print(f"{name}: sacct: {total} jobs COMPLETED with all their steps; {reps} simulate on "
      f"{threads} CPUs, {reps} stats on 1 (allocation and affinity mask), {plugged} conversions "
      f"and {plugged} LD estimates")
PY
}

# seeded_table TABLE: the table without the columns that measure the run itself (phase times,
# peak memory), which differ between any two runs of the same seed.
seeded_table() {
  PYTHONPATH="$HERE/scripts" $PY -c 'import csv, sys, replicates as rp
with open(sys.argv[1], newline="") as handle:
    rows = list(csv.reader(handle, delimiter="\t"))
keep = [i for i, name in enumerate(rows[0]) if name not in rp.RUN_COLUMNS]
print("\n".join("\t".join(row[i] for i in keep) for row in rows))' "$1"
}

same_table() {  # same_table NAME: its table is the --cores run's but for the run measurements
  local table="$TMP/$1/out/replicates.tsv"
  [ "$(wc -l < "$table")" = $((REPS + 1)) ] ||
    fail "$1: table has $(wc -l < "$table") lines, expected $((REPS + 1))"
  seeded_table "$TMP/cores/out/replicates.tsv" > "$TMP/cores.seeded"
  seeded_table "$table" > "$TMP/$1.seeded"
  cmp -s "$TMP/cores.seeded" "$TMP/$1.seeded" ||
    fail "$1: table differs from the --cores run's: $(diff "$TMP/cores.seeded" "$TMP/$1.seeded")"
  [ -s "$TMP/$1/out/replicates.png" ] && [ -s "$TMP/$1/out/report.html" ] || fail "$1: no figure or report"
  cut -f3 "$TMP/$1/out/summary.tsv" | grep -qx LD || fail "$1: no LD row in the summary"
  echo "$1: table equals the --cores run's, but for times and peak memory; summary has the LD row"
}

echo "== local run: --cores 2"
study cores "$DRIFTSIM" "$STATS" --cores 2

echo "== SLURM executor: --profile profiles/slurm-test"
study slurm "$TMP/bin/driftsim" "$TMP/bin/stats" --profile "$HERE/profiles/slurm-test"
check_jobs slurm 'has been submitted with SLURM jobid (\d+)'
same_table slurm

echo "== generic cluster mode with sbatch: --profile profiles/sbatch"
study sbatch "$TMP/bin/driftsim" "$TMP/bin/stats" --profile "$HERE/profiles/sbatch"
check_jobs sbatch "with external jobid '(\\d+)'"
same_table sbatch

echo "slurm_check: OK"
