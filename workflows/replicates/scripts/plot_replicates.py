#!/usr/bin/env python3
"""plot_replicates.py TABLE PNG: the figure of a replicate study.

Top: per scenario, the moment estimates of Ne (Ne_Fc, Ne_Fk, Ne_Fs) over the replicates, on a
log scale, with the Ne of the parameter file as a red bar and the true harmonic-mean Ne between
the samples (column true_Ne: below the red bar after a crash or with --ne-ratio) as a black
diamond at each end of a dotted line. Estimates that are infinite or negative (sampling noise
larger than the drift signal) cannot be drawn on that scale; their count is written above each
box. Bottom: expected (He) and observed (Ho) heterozygosity of
temporal samples 1 and 2."""

import csv
import math
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import LogLocator, NullFormatter, ScalarFormatter  # noqa: E402


def number(text):
    try:
        return float(text)
    except ValueError:
        return math.nan  # NA


def main(table_path, png_path):
    with open(table_path, newline="") as handle:
        rows = list(csv.DictReader(handle, delimiter="\t"))
    if not rows:
        sys.exit(f"{table_path}: no replicates")
    scenarios = list(dict.fromkeys(r["scenario"] for r in rows))
    by_scenario = {s: [r for r in rows if r["scenario"] == s] for s in scenarios}

    estimators = [("Ne_Fc", "tab:blue"), ("Ne_Fk", "tab:orange"), ("Ne_Fs", "tab:green")]
    hets = [("S1_He", "tab:purple"), ("S2_He", "tab:pink"), ("S1_Ho", "tab:gray"), ("S2_Ho", "tab:olive")]

    width = max(6.0, 1.6 * len(scenarios) + 2.0)
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(width, 8.5), sharex=True)

    step = 0.8 / len(estimators)
    for i, scenario in enumerate(scenarios):
        reps = by_scenario[scenario]
        top.hlines(number(reps[0]["Ne"]), i - 0.45, i + 0.45, colors="red", linewidth=2.5,
                   zorder=3)
        # The same for every replicate of a scenario: the model, not the seed, sets it.
        true_ne = number(reps[0].get("true_Ne", "NA"))
        if math.isfinite(true_ne) and true_ne > 0:
            top.hlines(true_ne, i - 0.45, i + 0.45, colors="black", linestyles="dotted",
                       linewidth=1.2, zorder=5)
            top.scatter([i - 0.45, i + 0.45], [true_ne] * 2, marker="D", s=30, color="black",
                        zorder=6)
        for j, (column, colour) in enumerate(estimators):
            x = i - 0.4 + step * (j + 0.5)
            values = [number(r[column]) for r in reps]
            shown = [v for v in values if math.isfinite(v) and v > 0]
            off_scale = sum(1 for v in values if not math.isnan(v)) - len(shown)
            if shown:
                top.boxplot(shown, positions=[x], widths=step * 0.8, showfliers=False,
                            patch_artist=True, boxprops={"facecolor": colour, "alpha": 0.35},
                            medianprops={"color": colour})
                top.scatter([x] * len(shown), shown, s=8, color=colour, zorder=4)
            if off_scale:
                top.annotate(f"{off_scale}\u221e", (x, 1.0), xycoords=("data", "axes fraction"),
                             ha="center", va="bottom", fontsize=8, color=colour,
                             annotation_clip=False)
    top.set_yscale("log")
    # Plain numbers at 1, 2, 5 x 10^k: estimates usually span less than a decade or two.
    top.yaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
    top.yaxis.set_major_formatter(ScalarFormatter())
    top.yaxis.set_minor_formatter(NullFormatter())
    top.set_ylabel("moment estimate of Ne")
    top.set_title("Ne estimates per scenario\n(red: Ne of the parameter file; black: true "
                  "harmonic-mean Ne;\n\u221e: infinite or negative estimates)", fontsize=10, pad=14)
    top.legend(handles=[plt.Line2D([], [], color=c, marker="o", linestyle="", label=n)
                        for n, c in estimators]
               + [plt.Line2D([], [], color="red", linewidth=2.5, label="Ne (parameter file)"),
                  plt.Line2D([], [], color="black", marker="D", linestyle="dotted",
                             label="true harmonic-mean Ne")],
               fontsize=8, loc="best")

    step = 0.8 / len(hets)
    for i, scenario in enumerate(scenarios):
        reps = by_scenario[scenario]
        for j, (column, colour) in enumerate(hets):
            x = i - 0.4 + step * (j + 0.5)
            values = [v for v in (number(r[column]) for r in reps) if math.isfinite(v)]
            if values:
                bottom.boxplot(values, positions=[x], widths=step * 0.8, showfliers=False,
                               patch_artist=True, boxprops={"facecolor": colour, "alpha": 0.35},
                               medianprops={"color": colour})
                bottom.scatter([x] * len(values), values, s=8, color=colour, zorder=4)
    bottom.set_ylabel("heterozygosity")
    bottom.set_title("He and Ho of temporal samples 1 and 2", fontsize=10)
    bottom.legend(handles=[plt.Line2D([], [], color=c, marker="o", linestyle="", label=n)
                           for n, c in hets], fontsize=8, loc="best", ncol=2)
    bottom.set_xticks(range(len(scenarios)))
    bottom.set_xticklabels([f"{s}\n(n={len(by_scenario[s])})" for s in scenarios],
                           rotation=20 if len(scenarios) > 4 else 0, fontsize=8)
    bottom.set_xlim(-0.6, len(scenarios) - 0.4)

    fig.tight_layout()
    fig.savefig(png_path, dpi=100)
    print(f"{png_path}: {len(scenarios)} scenarios, {len(rows)} replicates")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__.split("\n\n")[0])
    main(sys.argv[1], sys.argv[2])
