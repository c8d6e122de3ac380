"""The report's caveats, verdict sentences and HTML (scripts/verdicts.py, scripts/report.py)."""

import math
import os
import re
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts"))
sys.dont_write_bytecode = True
import verdicts  # noqa: E402

NAN = math.nan
MIGRATION = "migrants (m 0.02): F is not drift alone"


def row(estimator, scenario, label, estimates, bias, se, coverage=NAN, high=NAN):
    return {"estimator": estimator, "scenario": scenario, "label": label, "estimates": estimates,
            "hmean_bias_pct": bias, "hmean_bias_pct_se": se, "jackknife_coverage": coverage,
            "jackknife_coverage_high": high}


def record(model=0, rate=0.0, drift=100.0, hmean=100.0):
    return {"parameters": {"Model": model, "MigRate": rate},
            "true_values": {"drift_ne": drift, "harmonic_mean_ne": hmean}}


class Verdicts(unittest.TestCase):
    def test_caveat_rules(self):
        cases = [
            (record(model=1, rate=0.02), [MIGRATION]),
            (record(model=1, rate=0.0), []),
            (record(drift=100, hmean=109.9), ["size changes at a sample: harmonic mean Ne 109.9"]),
            (record(model=1, rate=0.1, drift=50, hmean=40),
             ["migrants (m 0.1): F is not drift alone",
              "size changes at a sample: harmonic mean Ne 40"]),
        ]
        for rec, clauses in cases:
            self.assertEqual(verdicts.caveats(rec), clauses, msg=rec)

    def test_sentences_from_the_numbers(self):
        cases = [  # (summary rows, caveats by scenario, sentences)
            ([row("Fc", "A", "Ne 100", 20, 17, 3.3, 0.75, 0.888),
              row("Fc", "M", "migration", 20, 39, 3.1, 0.0, 0.161)], {"M": [MIGRATION]},
             ["Fc: bias of the harmonic-mean estimate +17%, beyond 2 SE, in the one scenario: "
              "Ne 100.",
              "Fc: jackknife 95% intervals hold the true Ne in 75% of replicates, the Wilson "
              "interval below 95% in 1, in the one scenario: Ne 100.",
              f"Fc, where the true Ne is not its target ({MIGRATION}): bias of the harmonic-mean "
              "estimate +39%, beyond 2 SE, jackknife coverage 0%: migration."]),
            ([row("Fs", "A", "a", 20, -1.44, 3.9, 0.8, 0.92),
              row("Fs", "B", "b", 20, 9.7, 5.1, 1.0, 1.0),
              row("Fs", "C", "c", 20, 0.1, 11, 0.95, 0.99),
              row("Fs", "D", "d", 20, 28, 4.5, 0.7, 0.85)], {},
             ["Fs: bias of the harmonic-mean estimate +28%, beyond 2 SE, in 1 of 4 scenarios: d.",
              "Fs: bias of the harmonic-mean estimate \u22121.4 to +9.7%, within 2 SE of zero, "
              "in 3 of 4 scenarios: a; b; c.",
              "Fs: jackknife 95% intervals hold the true Ne in 70 to 100% of replicates, the "
              "Wilson interval below 95% in 2, in all 4 scenarios: a; b; c; d."]),
            ([row("X", "A", "a", 0, NAN, NAN), row("X", "B", "b, 2 gen.", 20, math.inf, NAN),
              row("X", "C", "c", 1, 5, NAN)], {},
             ["X: no estimate in any replicate in 1 of 3 scenarios: a.",
              "X: harmonic mean of the estimates infinite (no drift found on average) in 1 of "
              "3 scenarios: b, 2 gen.",
              "X: bias of the harmonic-mean estimate +5.0%, no SE from one estimate, in 1 of 3 "
              "scenarios: c."]),
        ]
        for rows, caveat_of, sentences in cases:
            got = verdicts.verdicts(rows, caveat_of, kinds=("jackknife",))
            self.assertEqual(got, [(rows[0]["estimator"], sentences)])


def summary_text():
    """Two rows of summary.tsv; the first label is hostile."""
    import summary
    names = summary.columns(["jackknife"])
    rows = [{"scenario": "A", "label": '"q" & <script>x</script>', "true_Ne": "100"},
            {"scenario": "B", "label": "B", "true_Ne": "50"}]
    return "".join("\t".join(r.get(c, "Fc" if c == "estimator" else "2") for c in names) + "\n"
                   for r in [dict(zip(names, names)), *rows])


class Html(unittest.TestCase):
    def test_labels_are_text_and_the_design_shows_what_differs(self):
        import report
        config = {"template": {}, "scenarios": {"A": {"Ne": 100}, "B": {"Ne": 50, "model": {
            "sizes": [[3, 20]]}}}, "replicates": 2}
        records = {s: {"parameters": {"Model": 0, "Ne": ne, "IDUM": seed, "NumLoci": 20},
                       "model": {"burn_in": 250, "mutation_rate": 1e-4, "ne_ratio": 1.0},
                       "true_values": {"drift_ne": ne, "harmonic_mean_ne": ne}}
                   for s, ne, seed in (("A", 100, 5), ("B", 50, 6))}
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "summary.tsv")
            with open(path, "w") as handle:
                handle.write(summary_text())
            html = report.render(config, path, [], [], records)
        self.assertNotIn("<script>", html)
        self.assertIn("&#34;q&#34; &amp; &lt;script&gt;x&lt;/script&gt;", html)
        header = re.search(r'<table class="design">\s*<tr>(.*?)</tr>', html, re.S).group(1)
        self.assertEqual(re.findall(r"<th>(.*?)</th>", header),
                         ["scenario", "label", "Ne", "size changes", "true Ne",
                          "replicates"])
        self.assertIn("All scenarios: Model 0, NumLoci 20, burn-in 250, mutation rate 0.0001, "
                      "Ne/N 1; 2 replicates each.", html)


if __name__ == "__main__":
    unittest.main()
