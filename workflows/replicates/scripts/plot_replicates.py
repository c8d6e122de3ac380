#!/usr/bin/env python3
"""plot_replicates.py TABLE SUMMARY PNG: the figure of a replicate study.

Top, one panel per scenario: every replicate's estimate of each estimator on the 1/Ne scale,
where infinite estimates sit at 0 and negative ones below it, so none is left out; the right
axis reads the same heights in Ne. The dashed black line is the true harmonic-mean Ne, the
diamond the harmonic mean of the estimates (their mean on this scale). Bottom: the coverage of
every 95% interval per scenario with its Wilson 95% interval, against the nominal 0.95."""

import csv
import math
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

COLOURS = ["tab:blue", "tab:orange", "tab:green", "tab:red", "tab:purple", "tab:brown",
           "tab:pink", "tab:olive", "tab:cyan"]
MARKERS = {"jackknife": "o", "chisq": "s", "plugin": "^"}


def number(text):
    try:
        return float(text)
    except (TypeError, ValueError):
        return math.nan


def read(path):
    with open(path, newline="") as handle:
        return list(csv.DictReader(handle, delimiter="\t"))


def ne_ticks(axis, low, high):
    """A right-hand axis in Ne over the 1/Ne range [low, high]: infinity at 0, then 1-2-5
    values, thinned so that labels do not collide."""
    twin = axis.twinx()
    twin.set_ylim(low, high)
    span = high - low
    positions, labels = [], []
    if low <= 0 <= high:
        positions, labels = [0.0], ["\u221e"]
    candidates = [m * 10 ** e for e in range(0, 7) for m in (1, 2, 5)]
    for ne in sorted(candidates, reverse=True):
        y = 1 / ne
        if low <= y <= high and all(abs(y - p) >= 0.07 * span for p in positions):
            positions.append(y)
            labels.append(f"{ne:g}")
    twin.set_yticks(positions)
    twin.set_yticklabels(labels, fontsize=7)
    twin.set_ylabel("Ne", fontsize=8)


def main(table_path, summary_path, png_path):
    rows, summary = read(table_path), read(summary_path)
    if not rows or not summary:
        sys.exit(f"{table_path}, {summary_path}: nothing to draw")
    scenarios = list(dict.fromkeys(r["scenario"] for r in summary))
    names = list(dict.fromkeys(r["estimator"] for r in summary))
    colour = {n: COLOURS[i % len(COLOURS)] for i, n in enumerate(names)}
    label = {r["scenario"]: r["label"] for r in summary}

    ncols = min(len(scenarios), 3)
    nrows = math.ceil(len(scenarios) / ncols)
    fig = plt.figure(figsize=(4.3 * ncols + 0.8, 3.3 * nrows + 3.8))
    grid = fig.add_gridspec(nrows + 1, ncols, height_ratios=[3.3] * nrows + [3.2],
                            hspace=0.6, wspace=0.55)
    for i, scenario in enumerate(scenarios):
        axis = fig.add_subplot(grid[i // ncols, i % ncols])
        present = [r for r in summary if r["scenario"] == scenario]
        reps = [r for r in rows if r["scenario"] == scenario]
        truth = number(present[0]["true_Ne"])
        values_all = [1 / truth]
        for x, srow in enumerate(present):
            name = srow["estimator"]
            values = [v for v in (number(r.get(f"inv_Ne_{name}")) for r in reps)
                      if not math.isnan(v)]
            values_all += values
            if values:
                axis.boxplot(values, positions=[x], widths=0.5, showfliers=False,
                             patch_artist=True, boxprops={"facecolor": colour[name], "alpha": 0.3},
                             medianprops={"color": colour[name]})
                jitter = [x + 0.18 * ((k * 0.618) % 1 - 0.5) for k in range(len(values))]
                axis.scatter(jitter, values, s=9, color=colour[name], zorder=4)
                mean = sum(values) / len(values)
                axis.scatter([x + 0.33], [mean], marker="D", s=28, color="black", zorder=5)
        axis.axhline(1 / truth, color="black", linestyle="--", linewidth=1.1, zorder=3)
        axis.axhline(0, color="grey", linewidth=0.8, zorder=1)
        low, high = min(values_all + [0.0]), max(values_all)
        pad = 0.08 * (high - low or 1 / truth)
        axis.set_ylim(low - pad, high + pad)
        axis.set_xticks(range(len(present)))
        axis.set_xticklabels([r["estimator"] for r in present], fontsize=8)
        axis.set_xlim(-0.6, len(present) - 0.3)
        axis.tick_params(axis="y", labelsize=7)
        axis.set_ylabel("1/Ne", fontsize=8)
        axis.set_title(f"{label[scenario]}\ntrue Ne {truth:.4g}, {len(reps)} replicates",
                       fontsize=9)
        ne_ticks(axis, low - pad, high + pad)

    cover = fig.add_subplot(grid[nrows, :])
    series = list(dict.fromkeys((r["estimator"], k) for r in summary
                                for k in MARKERS if r.get(f"{k}_coverage", "NA") != "NA"))
    step = 0.8 / max(len(series), 1)
    for j, (name, kind) in enumerate(series):
        xs, ys, errs = [], [[], []], None
        for i, scenario in enumerate(scenarios):
            r = next((r for r in summary if r["scenario"] == scenario and r["estimator"] == name),
                     None)
            if r is None or r.get(f"{kind}_coverage", "NA") == "NA":
                continue
            c = number(r[f"{kind}_coverage"])
            xs.append(i - 0.4 + step * (j + 0.5))
            ys[0].append(c)
            ys[1].append((c - number(r[f"{kind}_coverage_low"]),
                          number(r[f"{kind}_coverage_high"]) - c))
        errs = [[e[0] for e in ys[1]], [e[1] for e in ys[1]]]
        cover.errorbar(xs, ys[0], yerr=errs, fmt=MARKERS[kind], color=colour[name], ms=5,
                       capsize=2, linewidth=1, label=f"{name} {kind}")
    cover.axhline(0.95, color="black", linestyle="--", linewidth=1)
    cover.set_ylim(-0.03, 1.05)
    cover.set_xlim(-0.6, len(scenarios) - 0.4)
    cover.set_xticks(range(len(scenarios)))
    cover.set_xticklabels([label[s] for s in scenarios], fontsize=8,
                          rotation=15 if len(scenarios) > 4 else 0)
    cover.set_ylabel("coverage of true Ne", fontsize=9)
    cover.set_title("Coverage of the 95% intervals (Wilson 95% interval; dashed: 0.95)",
                    fontsize=10)
    cover.legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0)
    fig.suptitle("Estimates of Ne on the 1/Ne scale (dashed: true harmonic-mean Ne; "
                 "diamond: harmonic mean of the estimates; grey: Ne = \u221e)", fontsize=10)
    fig.savefig(png_path, dpi=100)
    print(f"{png_path}: {len(scenarios)} scenarios, {len(names)} estimators, "
          f"{len(rows)} replicates")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__.split("\n\n")[0])
    main(sys.argv[1], sys.argv[2], sys.argv[3])
