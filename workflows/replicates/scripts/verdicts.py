"""How the report reads the summary: the caveats of a scenario whose true Ne is not what the
estimators target, and one verdict per estimator in sentences generated from the numbers."""

import math

# Caveats. Each rule takes one scenario's run record (driftsim's --summary JSON: parameters,
# model, true_values) and returns a short clause saying why the scenario's true Ne is not what
# an estimator of a closed population's drift targets, or None. One rule per caveat, all here.


def _migration(record):
    values = record["parameters"]
    if values.get("Model") == 1 and values.get("MigRate", 0) > 0:
        return f"migrants (m {values['MigRate']:g}): F is not drift alone"
    return None


def _size_change_at_a_sample(record):
    truth = record["true_values"]
    drift, hmean = truth["drift_ne"], truth["harmonic_mean_ne"]
    if abs(drift - hmean) > 1e-6 * max(abs(drift), abs(hmean)):
        return f"size changes at a sample: harmonic mean Ne {hmean:.4g}"
    return None


CAVEATS = [_migration, _size_change_at_a_sample]


def caveats(record):
    """The clauses of every caveat rule that holds for a scenario's run record."""
    return [clause for clause in (rule(record) for rule in CAVEATS) if clause]


# Verdicts. A scenario's bias counts as shown when it lies more than two Monte Carlo standard
# errors from zero.


def percent(value):
    """A signed percentage for reading: one decimal below 10, whole numbers above; a true minus
    sign."""
    text = f"{abs(value):.1f}" if abs(value) < 10 else f"{abs(value):.0f}"
    if value < 0 and float(text) != 0:
        return "\u2212" + text
    return "+" + text


def _range(values):
    low, high = percent(min(values)), percent(max(values))
    return f"{low}%" if low == high else f"{low} to {high}%"


def _shares(values):
    """Coverages (0..1) as whole percentages: 70%, 70 to 85%."""
    low, high = f"{100 * min(values):.0f}", f"{100 * max(values):.0f}"
    return f"{low}%" if low == high else f"{low} to {high}%"


def _scenarios(rows, of):
    """The end of a sentence: how many scenarios, and their labels."""
    if of == 1:
        count = "the one scenario"
    elif len(rows) == of:
        count = f"all {of} scenarios"
    else:
        count = f"{len(rows)} of {of} scenarios"
    return _sentence(f"{count}: " + "; ".join(r["label"] for r in rows))


def _sentence(text):
    return text if text.endswith(".") else text + "."


def bias_status(row):
    """none (no estimate), infinite (harmonic mean beyond every Ne), shown (|bias| > 2 SE),
    within (|bias| <= 2 SE) or unknown (no SE: a single estimate)."""
    bias, se = row.get("hmean_bias_pct", math.nan), row.get("hmean_bias_pct_se", math.nan)
    if row["estimates"] == 0 or math.isnan(bias):
        return "none"
    if math.isinf(bias):
        return "infinite"
    if math.isnan(se):
        return "unknown"
    return "shown" if abs(bias) > 2 * se else "within"


BIAS_WORDS = {
    "none": "no estimate in any replicate",
    "infinite": "harmonic mean of the estimates infinite (no drift found on average)",
    "shown": "bias of the harmonic-mean estimate {range}, beyond 2 SE,",
    "within": "bias of the harmonic-mean estimate {range}, within 2 SE of zero,",
    "unknown": "bias of the harmonic-mean estimate {range}, no SE from one estimate,",
}


def _bias(status, rows):
    return BIAS_WORDS[status].format(range=_range([r["hmean_bias_pct"] for r in rows])
                                     if status in ("shown", "within", "unknown") else "")


def _coverage(rows, kinds):
    """Per interval kind with a coverage: (kind, coverages, rows below 0.95 throughout)."""
    result = []
    for kind in kinds:
        have = [r for r in rows if not math.isnan(r.get(f"{kind}_coverage", math.nan))]
        if have:
            below = sum(r[f"{kind}_coverage_high"] < 0.95 for r in have)
            result.append((kind, have, below))
    return result


def verdicts(summary, caveat_of,
             kinds=("jackknife", "chisq", "jackknife_by_chromosomes", "plugin")):
    """[(estimator, [sentence, ...])] in summary order. summary: rows with estimator, scenario,
    label, estimates, hmean_bias_pct, hmean_bias_pct_se and <kind>_coverage, _coverage_high
    as numbers (NaN where missing); caveat_of: {scenario: [clause, ...]}."""
    result = []
    for name in dict.fromkeys(r["estimator"] for r in summary):
        rows = [r for r in summary if r["estimator"] == name]
        clean = [r for r in rows if not caveat_of.get(r["scenario"])]
        sentences = []
        for status in BIAS_WORDS:
            group = [r for r in clean if bias_status(r) == status]
            if group:
                sentences.append(f"{name}: {_bias(status, group)} in "
                                 + _scenarios(group, len(clean)))
        for kind, have, below in _coverage(clean, kinds):
            shares = _shares([r[f"{kind}_coverage"] for r in have])
            where = f", the Wilson interval below 95% in {below}," if below else ""
            sentences.append(f"{name}: {kind} 95% intervals hold the true Ne in "
                             f"{shares} of replicates{where} in "
                             + _scenarios(have, len(clean)))
        for r in rows:
            if r in clean:
                continue
            parts = [_bias(bias_status(r), [r]).rstrip(",")]
            parts += [f"{kind} coverage {_shares([r[f'{kind}_coverage']])}"
                      for kind, _, _ in _coverage([r], kinds)]
            sentences.append(f"{name}, where the true Ne is not its target ("
                             + "; ".join(caveat_of[r["scenario"]]) + "): "
                             + ", ".join(parts) + _sentence(f": {r['label']}"))
        result.append((name, sentences))
    return result
