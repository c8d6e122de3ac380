"""The Python module against the command line on bench scenarios: time of a run, time of the
conversion to numpy, peak memory. Each measurement is a fresh process (peak resident set from
wait4). Usage, with the module importable:

    python3 bench/python_bench.py BUILD/driftsim [REPEATS] [SCENARIO.txt...]
"""

import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent

# One module run in a fresh interpreter: times of simulate, of the numpy genotypes, of write,
# and the peak resident set after the imports and after the run.
CHILD = r"""
import resource, sys, time
import driftsim
import numpy
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
params = driftsim.Parameters.from_file(sys.argv[1])
t0 = time.perf_counter()
run = driftsim.simulate(params, seed=params.seed)  # the scenario's seed, as the command line
t1 = time.perf_counter()
g = run.genotypes
t2 = time.perf_counter()
run.write(params.OutFile)
t3 = time.perf_counter()
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(t1 - t0, t2 - t1, t3 - t2, base, peak)
"""


def measured(command, cwd):
    """Wall seconds, peak resident KiB and standard output of a command."""
    import time

    start = time.perf_counter()
    child = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, text=True)
    out = child.stdout.read()
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        raise RuntimeError(f"{command} failed")
    return seconds, usage.ru_maxrss, out


def main():
    driftsim_bin = Path(sys.argv[1]).resolve()
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    scenarios = [Path(p).resolve() for p in sys.argv[3:]] or [HERE / "w2_many_loci.txt",
                                                               HERE / "w3_snps.txt"]
    print("| scenario | command line s | simulate s | write s | genotypes s | genotypes/simulate "
          "| peak MiB: command line | module (run) | module (after import) |")
    print("|---|---|---|---|---|---|---|---|---|")
    for scenario in scenarios:
        cli, mod = [], []
        with tempfile.TemporaryDirectory() as tmp:
            for _ in range(repeats):
                cli.append(measured([str(driftsim_bin), "--quiet", str(scenario)], tmp)[:2])
                _, _, out = measured([sys.executable, "-c", CHILD, str(scenario)], tmp)
                mod.append([float(x) for x in out.split()])
            same = all((Path(tmp) / f"{scenario.stem.split('_')[0]}{ext}").exists()
                       for ext in (".dat", ".par"))
        med = statistics.median
        sim, conv, write = (med(m[i] for m in mod) for i in range(3))
        cli_s = med(c[0] for c in cli)
        cli_mem = med(c[1] for c in cli) / 1024
        base, peak = med(m[3] for m in mod) / 1024, med(m[4] for m in mod) / 1024
        print(f"| {scenario.stem} | {cli_s:.2f} | {sim:.2f} | {write:.2f} | {conv:.3f} | "
              f"{100 * conv / sim:.1f}% | {cli_mem:.0f} | {peak - base:.0f} | {base:.0f} |"
              + ("" if same else " (files missing)"))


if __name__ == "__main__":
    main()
