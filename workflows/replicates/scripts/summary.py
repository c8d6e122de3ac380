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


number = rp.number


def inverse(x):
    """A bound in Ne on the 1/Ne scale: 1/inf = 0, and 1/0 = inf (a lower bound 0 leaves no
    lower limit)."""
    if math.isinf(x):
        return 0.0
    return math.inf if x == 0 else 1 / x


def bias_and_error(inv, truth):
    """Bias and error of n estimates x_i on the 1/Ne scale against the true Ne N, each with its
    Monte Carlo standard error (NaN with fewer than two estimates); see README "The summary".

    hmean_bias_pct: 100 (1 / (N mean(x)) - 1), the harmonic-mean estimate's bias in percent of
    N, SE by the delta method 100 SE(mean x) / (N mean(x)^2); rel_bias_inv: N mean(x) - 1, SE
    N s / sqrt(n); rel_rmse_inv: sqrt(mean(d^2)) with d_i = N x_i - 1, SE by the delta method
    SE(mean d^2) / (2 rmse)."""
    n, mean = len(inv), statistics.fmean(inv)
    se_mean = statistics.stdev(inv) / math.sqrt(n) if n > 1 else math.nan
    squares = [(truth * v - 1) ** 2 for v in inv]
    rmse = math.sqrt(statistics.fmean(squares))
    se_mse = statistics.stdev(squares) / math.sqrt(n) if n > 1 else math.nan
    positive = mean > 0
    return {
        "hmean_bias_pct": 100 * (1 / (truth * mean) - 1) if positive else math.inf,
        "hmean_bias_pct_se": 100 * se_mean / (truth * mean * mean) if positive else math.nan,
        "rel_bias_inv": truth * mean - 1,
        "rel_bias_inv_se": truth * se_mean,
        "rel_rmse_inv": rmse,
        "rel_rmse_inv_se": se_mse / (2 * rmse) if rmse > 0 else math.nan,
    }


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
    kinds = [*rp.BUILTIN_INTERVALS]
    if f"Ne_Fc_{rp.LINKED_INTERVAL}_lower" in header:
        kinds.append(rp.LINKED_INTERVAL)
    result = [(name, f"Ne_{name}", f"inv_Ne_{name}",
               [(kind, f"Ne_{name}_{kind}_lower", f"Ne_{name}_{kind}_upper") for kind in kinds])
              for name in rp.BUILTIN_ESTIMATORS]
    for column in header:
        name = column[len("inv_Ne_"):]
        if column.startswith("inv_Ne_") and name not in rp.BUILTIN_ESTIMATORS:
            result.append((name, f"Ne_{name}", column,
                           [(rp.PLUGIN_INTERVAL, f"Ne_{name}_lower", f"Ne_{name}_upper")]))
    return result


def summarize(rows, header, labels=None, runs_on=None):
    """One dict per scenario (in table order) and estimator, with the columns of columns().
    runs_on: {external estimator: its scenarios}, so that one that ran but gave no estimate
    still has its rows (estimates 0); without it, an external estimator's rows are those with
    a value."""
    labels = labels or {}
    runs_on = runs_on or {}
    found = estimators(header)
    kinds = [k for k in rp.INTERVAL_KINDS
             if any(k == kind for _, _, _, intervals in found for kind, _, _ in intervals)]
    out = []
    for scenario in dict.fromkeys(r["scenario"] for r in rows):
        reps = [r for r in rows if r["scenario"] == scenario]
        # The harmonic mean of the replicates' true Ne (the model fixes it per scenario).
        truth = 1 / statistics.fmean(1 / number(r["true_Ne"]) for r in reps)
        for name, ne_col, inv_col, intervals in found:
            if name in runs_on:
                ran = reps if scenario in runs_on[name] else []
            else:
                ran = [r for r in reps if r.get(inv_col, "NA") != "NA"
                       or r.get(ne_col, "NA") != "NA"]
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
                    **bias_and_error(inv, truth),
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
             "share_inf_or_negative", "median_Ne", "hmean_Ne", "hmean_bias_pct",
             "hmean_bias_pct_se", "rel_bias_inv", "rel_bias_inv_se", "rel_rmse_inv",
             "rel_rmse_inv_se"]
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


def write_summary(table_path, summary_path, labels=None, runs_on=None):
    with open(table_path, newline="") as handle:
        reader = csv.DictReader(handle, delimiter="\t", quoting=csv.QUOTE_NONE)
        rows, header = list(reader), reader.fieldnames or []
    if not rows:
        raise ValueError(f"{table_path}: no replicates")
    summary, kinds = summarize(rows, header, labels, runs_on)
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
