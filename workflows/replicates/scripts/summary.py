#!/usr/bin/env python3
"""summary.py TABLE SUMMARY [LABELS.json]: per scenario and estimator, how the estimates of Ne in
the replicate table (replicates.tsv) compare with the true harmonic-mean Ne. The formulas are
stated in this folder's README ("The summary")."""

import csv
import json
import math
import statistics
import sys

sys.dont_write_bytecode = True
import replicates as rp  # noqa: E402

Z975 = 1.959963984540054  # standard normal quantile of 0.975


def number(text):
    try:
        return float(text)
    except (TypeError, ValueError):
        return math.nan


def inverse(x):
    """1/x on the extended scale: 1/inf = 0."""
    return 0.0 if math.isinf(x) else 1 / x


def wilson(k, n):
    """Wilson's score 95% interval of a binomial proportion k/n."""
    if n == 0:
        return math.nan, math.nan
    z2 = Z975 * Z975
    centre = (k + z2 / 2) / (n + z2)
    half = Z975 * math.sqrt(k * (n - k) / n + z2 / 4) / (n + z2)
    return max(0.0, centre - half), min(1.0, centre + half)


def width(lower, upper):
    """Width of an Ne interval; infinite unless both bounds are finite and positive."""
    return upper - lower if 0 < lower <= upper < math.inf else math.inf


def estimators(header):
    """(name, Ne column, 1/Ne column, [(interval, lower column, upper column)]) of every
    estimator in the table: driftsim-stats' three, then the external ones."""
    result = [(name, f"Ne_{name}", f"inv_Ne_{name}",
               [(kind, f"Ne_{name}_{kind}_lower", f"Ne_{name}_{kind}_upper")
                for kind in rp.BUILTIN_INTERVALS])
              for name in rp.BUILTIN_ESTIMATORS]
    for column in header:
        name = column[len("inv_Ne_"):]
        if column.startswith("inv_Ne_") and name not in rp.BUILTIN_ESTIMATORS:
            result.append((name, f"Ne_{name}", column,
                           [(rp.PLUGIN_INTERVAL, f"Ne_{name}_lower", f"Ne_{name}_upper")]))
    return result


def summarize(rows, header, labels=None):
    """One dict per scenario (in table order) and estimator, with the columns of columns()."""
    labels = labels or {}
    found = estimators(header)
    kinds = [k for k in (*rp.BUILTIN_INTERVALS, rp.PLUGIN_INTERVAL)
             if any(k == kind for _, _, _, intervals in found for kind, _, _ in intervals)]
    out = []
    for scenario in dict.fromkeys(r["scenario"] for r in rows):
        reps = [r for r in rows if r["scenario"] == scenario]
        # The harmonic mean of the replicates' true Ne (the model fixes it per scenario).
        truth = 1 / statistics.fmean(1 / number(r["true_Ne"]) for r in reps)
        for name, ne_col, inv_col, intervals in found:
            ran = [r for r in reps if r.get(inv_col, "NA") != "NA" or r.get(ne_col, "NA") != "NA"]
            if not ran:
                continue  # an external estimator that does not run on this scenario
            inv = [number(r[inv_col]) for r in ran if not math.isnan(number(r[inv_col]))]
            row = {"scenario": scenario, "label": labels.get(scenario, scenario),
                   "estimator": name, "true_Ne": truth, "replicates": len(ran),
                   "estimates": len(inv)}
            if inv:
                mean = statistics.fmean(inv)
                row.update({
                    "share_inf_or_negative": sum(v <= 0 for v in inv) / len(inv),
                    "median_Ne": 1 / statistics.median(inv) if statistics.median(inv) > 0
                    else math.inf,
                    "hmean_Ne": 1 / mean if mean > 0 else math.inf,
                    "rel_bias_inv": mean * truth - 1,
                    "rel_rmse_inv": truth * math.sqrt(statistics.fmean((v - 1 / truth) ** 2
                                                                       for v in inv)),
                })
            for kind in kinds:
                if kind not in [k for k, _, _ in intervals]:
                    continue  # NA: the estimator has no such interval
                bounds = [(number(r.get(lo)), number(r.get(hi)))
                          for k, lo, hi in intervals if k == kind for r in ran]
                bounds = [(lo, hi) for lo, hi in bounds if not (math.isnan(lo) or math.isnan(hi))]
                covered = sum(inverse(hi) <= 1 / truth <= inverse(lo) for lo, hi in bounds)
                low, high = wilson(covered, len(bounds))
                row[f"{kind}_n"] = len(bounds)
                if bounds:
                    row.update({f"{kind}_coverage": covered / len(bounds),
                                f"{kind}_coverage_low": low, f"{kind}_coverage_high": high,
                                f"{kind}_median_width": statistics.median(
                                    width(lo, hi) for lo, hi in bounds)})
            out.append(row)
    return out, kinds


def columns(kinds):
    return (["scenario", "label", "estimator", "true_Ne", "replicates", "estimates",
             "share_inf_or_negative", "median_Ne", "hmean_Ne", "rel_bias_inv", "rel_rmse_inv"]
            + [f"{k}_{c}" for k in kinds
               for c in ("n", "coverage", "coverage_low", "coverage_high", "median_width")])


def cell(value):
    if isinstance(value, str):
        return value
    if isinstance(value, int):
        return str(value)
    if value is None or math.isnan(value):
        return "NA"
    return "%.6g" % value


def write_summary(table_path, summary_path, labels=None):
    with open(table_path, newline="") as handle:
        reader = csv.DictReader(handle, delimiter="\t")
        rows, header = list(reader), reader.fieldnames or []
    if not rows:
        raise ValueError(f"{table_path}: no replicates")
    summary, kinds = summarize(rows, header, labels)
    names = columns(kinds)
    text = "\t".join(names) + "\n"
    text += "".join("\t".join(cell(r.get(c, math.nan)) for c in names) + "\n" for r in summary)
    rp.write_text_atomic(summary_path, text)
    return len(summary)


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__.split("\n\n")[0])
    labels = None
    if len(sys.argv) == 4:
        with open(sys.argv[3]) as handle:
            labels = json.load(handle)
    try:
        count = write_summary(sys.argv[1], sys.argv[2], labels)
    except (OSError, ValueError) as error:
        sys.exit(f"summary.py: {error}")
    print(f"{sys.argv[2]}: {count} rows", file=sys.stderr)
