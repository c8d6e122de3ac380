#!/usr/bin/env python3
"""plot_replicates.py TABLE SUMMARY PNG [PDF]: the figure of a replicate study, as PNG (for the
report) and, if asked, as PDF (for a paper).

Top, one panel per scenario: every replicate's estimate of each estimator on the 1/Ne scale,
where infinite estimates sit at 0 and negative ones below it, so none is left out; the right
axis reads the same heights in Ne. The dashed black line is the true harmonic-mean Ne, the
diamond the harmonic mean of the estimates (their mean on this scale). Bottom: the coverage of
every 95% interval per scenario with its Wilson 95% interval, against the nominal 0.95.

Sizes are chosen for reading at 100% zoom: 1100 pixels wide, tick labels of 11 points (15
pixels at 100 dpi), so that the report shows the PNG unscaled in a 1200-pixel window."""

import csv
import math
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

COLOURS = ["tab:blue", "tab:orange", "tab:green", "tab:red", "tab:purple", "tab:brown",
           "tab:pink", "tab:olive", "tab:cyan"]
MARKERS = {"jackknife": "o", "chisq": "s", "jackknife_by_chromosomes": "D", "plugin": "^"}
WIDTH = 11.0  # inches at 100 dpi
TICKS, LABELS, TITLES = 11, 11, 12  # font sizes in points


def plain(text):
    """A label as plain text: matplotlib reads $...$ as mathematics."""
    return text.replace("$", r"\$")


def number(text):
    try:
        return float(text)
    except (TypeError, ValueError):
        return math.nan


def read(path):
    with open(path, newline="") as handle:
        return list(csv.DictReader(handle, delimiter="\t", quoting=csv.QUOTE_NONE))


def ne_ticks(axis, low, high, title):
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
    twin.set_yticklabels(labels, fontsize=TICKS)
    if title:
        twin.set_ylabel("Ne", fontsize=LABELS)


def main(table_path, summary_path, png_path, pdf_path=None):
    rows, summary = read(table_path), read(summary_path)
    if not rows or not summary:
        sys.exit(f"{table_path}, {summary_path}: nothing to draw")
    scenarios = list(dict.fromkeys(r["scenario"] for r in summary))
    names = list(dict.fromkeys(r["estimator"] for r in summary))
    colour = {n: COLOURS[i % len(COLOURS)] for i, n in enumerate(names)}
    label = {r["scenario"]: plain(r["label"]) for r in summary}

    ncols = min(len(scenarios), 3)
    nrows = math.ceil(len(scenarios) / ncols)
    height = 3.6 * nrows + 4.4
    # Margins in inches: the two-line title above, the turned scenario labels below.
    fig = plt.figure(figsize=(WIDTH, height))
    grid = fig.add_gridspec(nrows + 1, ncols, height_ratios=[3.6] * nrows + [3.4],
                            hspace=0.75, wspace=0.75, left=0.09, right=0.93,
                            top=1 - 1.25 / height, bottom=1.2 / height)
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
        axis.set_xticklabels([r["estimator"] for r in present], fontsize=TICKS)
        axis.set_xlim(-0.6, len(present) - 0.3)
        axis.tick_params(axis="y", labelsize=TICKS)
        axis.yaxis.get_offset_text().set_fontsize(TICKS)
        if i % ncols == 0:
            axis.set_ylabel("1/Ne", fontsize=LABELS)
        axis.set_title(f"{label[scenario]}\ntrue Ne {truth:.4g}, {len(reps)} replicates",
                       fontsize=LABELS)
        ne_ticks(axis, low - pad, high + pad, i % ncols == ncols - 1 or i == len(scenarios) - 1)

    cover = fig.add_subplot(grid[nrows, :])
    # Room on the right for the legend.
    box = cover.get_position()
    cover.set_position([box.x0, box.y0, box.width * 0.84, box.height])
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
    cover.set_xticklabels([label[s] for s in scenarios], fontsize=TICKS,
                          rotation=20 if len(scenarios) > 3 else 0,
                          ha="right" if len(scenarios) > 3 else "center")
    cover.tick_params(axis="y", labelsize=TICKS)
    cover.set_ylabel("coverage of true Ne", fontsize=LABELS)
    cover.set_title("Coverage of the 95% intervals (Wilson 95% interval; dashed: 0.95)",
                    fontsize=TITLES)
    cover.legend(fontsize=TICKS, loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0)
    fig.suptitle("Estimates of Ne on the 1/Ne scale\n(dashed: true Ne; diamond: harmonic mean "
                 "of the estimates; grey: Ne = \u221e)", fontsize=TITLES)
    fig.savefig(png_path, dpi=100)
    if pdf_path:
        fig.savefig(pdf_path)
    print(f"{png_path}: {len(scenarios)} scenarios, {len(names)} estimators, "
          f"{len(rows)} replicates")


if __name__ == "__main__":
    if len(sys.argv) not in (4, 5):
        sys.exit(__doc__.split("\n\n")[0])
    main(*sys.argv[1:])
