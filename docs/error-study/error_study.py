#!/usr/bin/env python3
"""error_study.py [--reps N] [--jobs J] [--out DIR] [--redraw]: what genotyping errors do to the temporal
moment estimates of Ne.

Four populations (Ne 100 and 400, crossed with samples of 50 and 200 individuals; isolation,
samples 10 generations apart, 500 loci of 10 alleles, driftsim's default model otherwise) are
each run with the same seeds under every error setting: no errors, then 0.5%, 1% and 2% of
missing data (MisRate), allelic dropout (DropRate), false alleles (FalseRate) alone, and of all
three together. The errors are the last step of a run, after every other draw, so a seed gives
the same samples under every setting and the settings are compared on the same samples.

Writes DIR/runs.tsv (one row per run), DIR/cells.tsv (one row per population and setting),
DIR/table.md (the Markdown table of docs/model.md) and DIR/errors.png (the figure). Needs
build/driftsim and build/driftsim-stats (or the DRIFTSIM and DRIFTSIM_STATS variables) and
matplotlib."""

import argparse
import csv
import math
import os
import statistics
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

TEMPLATE = """0        Model
100      Ne
0        MigRate
500      NumLoci
10       NumAllele
10       NumGen
0        NumIndiv source sample
50       NumIndiv sample 1
50       NumIndiv sample 2
1        IDUM
run      OutFile
1        INIT_POINT
5000     MaxNe
0        Monitor
0        NumThread
0        MisRate
0        DropRate
0        FalseRate
0        FreqDist
"""
GENERATIONS = 10
POPULATIONS = [(ne, s) for ne in (100, 400) for s in (50, 200)]
RATES = (0.005, 0.01, 0.02)
KINDS = ("MisRate", "DropRate", "FalseRate", "all")
ESTIMATES = ("Fc", "Fk", "Fs")


def settings():
    """(kind, rate) of every error setting; rate 0 once, as kind "none"."""
    yield "none", 0.0
    for kind in KINDS:
        for rate in RATES:
            yield kind, rate


def rates_of(kind, rate):
    names = ("MisRate", "DropRate", "FalseRate")
    return {n: (rate if kind in (n, "all") else 0.0) for n in names}


def moment_ne(f, s1, s2):
    """t / (2 (F - 1/(2 S1) - 1/(2 S2))), as driftsim-stats computes it."""
    drift = f - 1 / (2 * s1) - 1 / (2 * s2)
    return GENERATIONS / (2 * drift) if drift > 0 else math.inf


def run_one(tools, folder, ne, s, kind, rate, seed):
    stem = os.path.join(folder, f"Ne{ne}_S{s}_{kind}_{rate}_{seed}")
    command = [tools[0], os.path.join(folder, "SimPara.txt"), "-q", "--threads", "1",
               "--seed", str(seed), "--out", stem, "--set", f"Ne={ne}",
               "--set", f"NumIndiv1={s}", "--set", f"NumIndiv2={s}"]
    command += [arg for n, v in rates_of(kind, rate).items() for arg in ("--set", f"{n}={v}")]
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    table = subprocess.run([tools[1], stem + ".dat", stem + ".par"], check=True,
                           capture_output=True, text=True).stdout
    rows = {r["row"]: r for r in csv.DictReader(table.splitlines(), delimiter="\t")}
    os.remove(stem + ".dat")
    os.remove(stem + ".par")
    pair = rows["S1-S2"]
    return {
        "Ne": ne, "S": s, "kind": kind, "rate": rate, "seed": seed,
        "Fc": float(pair["Fc"]), "Fk": float(pair["Fk"]), "Fs": float(pair["Fs"]),
        "S1_hmean": float(pair["S1_hmean"]), "S2_hmean": float(pair["S2_hmean"]),
        "alleles_per_locus": int(pair["F_alleles"]) / int(pair["F_loci"]),
        "S1_He": float(rows["S1"]["He"]),
    }


def summarise(runs):
    cells = []
    for ne, s in POPULATIONS:
        for kind, rate in settings():
            rs = [r for r in runs if (r["Ne"], r["S"], r["kind"], r["rate"]) == (ne, s, kind, rate)]
            cell = {"Ne": ne, "S": s, "kind": kind, "rate": rate, "reps": len(rs)}
            s1 = statistics.fmean(r["S1_hmean"] for r in rs)
            s2 = statistics.fmean(r["S2_hmean"] for r in rs)
            for f in ESTIMATES:
                mean_f = statistics.fmean(r[f] for r in rs)
                cell[f] = mean_f
                # Ne from the mean F over replicates (a single replicate's estimate can be
                # infinite), and the median of the replicates' own estimates.
                cell["Ne_" + f] = moment_ne(mean_f, s1, s2)
                cell["median_Ne_" + f] = statistics.median(
                    moment_ne(r[f], r["S1_hmean"], r["S2_hmean"]) for r in rs)
            cell["alleles_per_locus"] = statistics.fmean(r["alleles_per_locus"] for r in rs)
            cells.append(cell)
    return cells


def write_tsv(path, rows):
    with open(path, "w", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=list(rows[0]), delimiter="\t",
                                lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)


def number(x):
    return "inf" if math.isinf(x) else f"{x:.0f}"


def markdown(cells):
    lines = ["| Ne | S | error | rate | Ne(Fc) | Ne(Fk) | Ne(Fs) | alleles/locus |",
             "|---:|---:|---|---:|---:|---:|---:|---:|"]
    for c in cells:
        lines.append(f"| {c['Ne']} | {c['S']} | {c['kind']} | {100 * c['rate']:g}% | "
                     f"{number(c['Ne_Fc'])} | {number(c['Ne_Fk'])} | {number(c['Ne_Fs'])} | "
                     f"{c['alleles_per_locus']:.2f} |")
    return "\n".join(lines) + "\n"


def figure(cells, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import ScalarFormatter

    colours = {"MisRate": "tab:gray", "DropRate": "tab:blue", "FalseRate": "tab:red",
               "all": "black"}
    fig, axes = plt.subplots(len(ESTIMATES), len(POPULATIONS), figsize=(13, 9), sharex=True,
                             sharey="col")
    for j, (ne, s) in enumerate(POPULATIONS):
        base = next(c for c in cells if (c["Ne"], c["S"], c["kind"]) == (ne, s, "none"))
        for i, f in enumerate(ESTIMATES):
            ax = axes[i][j]
            for kind in KINDS:
                cs = [base] + [c for c in cells if (c["Ne"], c["S"], c["kind"]) == (ne, s, kind)]
                ax.plot([100 * c["rate"] for c in cs], [c["Ne_" + f] for c in cs], marker="o",
                        color=colours[kind], label=kind)
            ax.axhline(ne, color="green", linestyle="dotted", label="true Ne")
            ax.set_yscale("log")
            for axis in (ax.yaxis.set_major_formatter, ax.yaxis.set_minor_formatter):
                axis(ScalarFormatter())
            if i == 0:
                ax.set_title(f"Ne {ne}, samples of {s}")
            if j == 0:
                ax.set_ylabel(f"Ne from mean {f}")
            if i == len(ESTIMATES) - 1:
                ax.set_xlabel("error rate (%)")
    axes[0][0].legend(fontsize=8)
    fig.suptitle("Moment estimates of Ne against genotyping-error rate "
                 f"({cells[0]['reps']} replicates per point, 500 loci, K = 10, t = 10)")
    fig.tight_layout()
    fig.savefig(path, dpi=90)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=10)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--out", default=HERE)
    parser.add_argument("--redraw", action="store_true",
                        help="only draw the figure again from DIR/cells.tsv")
    args = parser.parse_args()
    if args.redraw:
        with open(os.path.join(args.out, "cells.tsv"), newline="") as f:
            cells = [{k: (v if k == "kind" else float(v)) for k, v in row.items()}
                     for row in csv.DictReader(f, delimiter="\t")]
        for c in cells:
            c["Ne"], c["S"], c["reps"] = int(c["Ne"]), int(c["S"]), int(c["reps"])
        figure(cells, os.path.join(args.out, "errors.png"))
        return 0
    tools = (os.environ.get("DRIFTSIM", os.path.join(ROOT, "build", "driftsim")),
             os.environ.get("DRIFTSIM_STATS", os.path.join(ROOT, "build", "driftsim-stats")))
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, "SimPara.txt"), "w") as out:
            out.write(TEMPLATE)
        jobs = [(ne, s, kind, rate, seed) for ne, s in POPULATIONS for kind, rate in settings()
                for seed in range(1, args.reps + 1)]
        with ThreadPoolExecutor(args.jobs) as pool:
            runs = list(pool.map(lambda j: run_one(tools, folder, *j), jobs))
    cells = summarise(runs)
    os.makedirs(args.out, exist_ok=True)
    write_tsv(os.path.join(args.out, "runs.tsv"), runs)
    write_tsv(os.path.join(args.out, "cells.tsv"), cells)
    with open(os.path.join(args.out, "table.md"), "w") as out:
        out.write(markdown(cells))
    figure(cells, os.path.join(args.out, "errors.png"))
    print(markdown(cells), end="")


if __name__ == "__main__":
    sys.exit(main())
