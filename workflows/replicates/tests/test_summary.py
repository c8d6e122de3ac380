"""The summary's formulas against a small table computed by hand (scripts/summary.py)."""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts"))
sys.dont_write_bytecode = True
import summary  # noqa: E402

COLUMNS = ["scenario", "true_Ne", "Ne_Fc", "inv_Ne_Fc",
           "Ne_Fc_jackknife_lower", "Ne_Fc_jackknife_upper",
           "Ne_Fc_chisq_lower", "Ne_Fc_chisq_upper",
           "Ne_X", "Ne_X_lower", "Ne_X_upper", "inv_Ne_X"]
# Scenario A (true Ne 100): Fc of four replicates, one infinite (1/Ne -0.005 from its F), one
# without a chi-square interval. Scenario B (true Ne 50): an external estimator X, one estimate
# negative, one interval reaching beyond infinity (upper bound -200).
TABLE = [
    ("A", "100", "50", "0.02", "40", "80", "40", "inf", "NA", "NA", "NA", "NA"),
    ("A", "100", "100", "0.01", "60", "200", "70", "150", "NA", "NA", "NA", "NA"),
    ("A", "100", "inf", "-0.005", "150", "inf", "90", "inf", "NA", "NA", "NA", "NA"),
    ("A", "100", "200", "0.005", "100", "400", "NA", "NA", "NA", "NA", "NA", "NA"),
    ("B", "50", "NA", "NA", "NA", "NA", "NA", "NA", "-400", "30", "-200", "-0.0025"),
    ("B", "50", "NA", "NA", "NA", "NA", "NA", "NA", "40", "45", "60", "0.025"),
]

# By hand. A/Fc: 1/Ne values 0.02, 0.01, -0.005, 0.005 (mean 0.0075, median 0.0075); deviations
# from 1/100: 0.01, 0, -0.015, -0.005 (mean square 0.875e-4). Jackknife covers 1/100 in
# replicates 2 and 4 (1/400 <= 0.01 <= 1/100, the edge), not in 1 (1/80 > 0.01) nor 3 (1/150 <
# 0.01): 2 of 4, Wilson 0.5 -+ 1.959964 sqrt(1 + 0.960365) / 7.841459. Chi-square covers all
# three it has: Wilson [3 / 6.841459, 1]. Widths 40, 140, inf, 300 and inf, 80, inf.
# B/X: 1/Ne -0.0025 and 0.025 (mean 0.01125; deviations from 1/50 -0.0225 and 0.005); both
# intervals hold 1/50 on the 1/Ne scale ([-1/200, 1/30] and [1/60, 1/45]).
EXPECTED = {
    ("A", "Fc"): {"true_Ne": 100, "replicates": 4, "estimates": 4, "share_inf_or_negative": 0.25,
                  "median_Ne": 400 / 3, "hmean_Ne": 400 / 3, "rel_bias_inv": -0.25,
                  "rel_rmse_inv": 0.9354143, "jackknife_n": 4, "jackknife_coverage": 0.5,
                  "jackknife_coverage_low": 0.1500390, "jackknife_coverage_high": 0.8499610,
                  "jackknife_median_width": 220, "chisq_n": 3, "chisq_coverage": 1,
                  "chisq_coverage_low": 0.4385030, "chisq_coverage_high": 1,
                  "chisq_median_width": float("inf")},
    ("B", "X"): {"true_Ne": 50, "replicates": 2, "estimates": 2, "share_inf_or_negative": 0.5,
                 "median_Ne": 800 / 9, "hmean_Ne": 800 / 9, "rel_bias_inv": -0.4375,
                 "rel_rmse_inv": 0.8149003, "plugin_n": 2, "plugin_coverage": 1,
                 "plugin_median_width": float("inf")},
}


class Summary(unittest.TestCase):
    def test_hand_computed_table(self):
        rows = [dict(zip(COLUMNS, r)) for r in TABLE]
        result, kinds = summary.summarize(rows, COLUMNS, {"A": "Ne 100"})
        self.assertEqual(kinds, ["jackknife", "chisq", "plugin"])
        got = {(r["scenario"], r["estimator"]): r for r in result}
        self.assertEqual(list(got), list(EXPECTED))
        self.assertEqual(got[("A", "Fc")]["label"], "Ne 100")
        for key, expected in EXPECTED.items():
            for column, value in expected.items():
                self.assertAlmostEqual(got[key][column], value, delta=1e-6 * max(1, abs(value))
                                       if value != float("inf") else 0, msg=f"{key} {column}")
        # Intervals an estimator does not have stay empty (NA in the file).
        self.assertNotIn("plugin_n", got[("A", "Fc")])
        self.assertNotIn("jackknife_coverage", got[("B", "X")])
        self.assertEqual(summary.cell(got[("B", "X")].get("chisq_coverage", float("nan"))), "NA")


if __name__ == "__main__":
    unittest.main()
