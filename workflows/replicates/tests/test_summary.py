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


# Bias in percent of the true Ne and the Monte Carlo standard errors, by hand. P (N 100): 1/Ne
# 0.008, 0.012: mean 0.01, s 0.0028284, SE(mean) 0.002: bias 0% +- 100 * 0.002 / (100 * 1e-4)
# = 20%; d = -0.2, 0.2, d^2 equal: RMSE 0.2, SE 0. Q (N 100): 1/Ne 0.005, 0.005, 0.008: mean
# 0.006, s 0.0017321, SE(mean) 0.001: bias 100 (1/0.6 - 1) = 66.667% +- 100 * 0.001 / (100 *
# 3.6e-5) = 27.778%, beyond 2 SE; d = -0.5, -0.5, -0.2, d^2 0.25, 0.25, 0.04: MSE 0.18, RMSE
# 0.424264, SE(MSE) sd(d^2)/sqrt(3) = 0.121244/1.732051 = 0.07, SE(RMSE) 0.07 / (2 * 0.424264).
# One estimate (R): no SE. Z (N 50): bounds of 0 (a lower bound 0 has no lower limit; an upper
# bound 0 holds nothing) and one estimator Y that ran but gave no estimate.
BIAS_COLUMNS = ["scenario", "true_Ne", "Ne_X", "Ne_X_lower", "Ne_X_upper", "inv_Ne_X",
                "Ne_Y", "Ne_Y_lower", "Ne_Y_upper", "inv_Ne_Y"]
BIAS_TABLE = [
    ("P", "100", "125", "NA", "NA", "0.008", "NA", "NA", "NA", "NA"),
    ("P", "100", "83.3333", "NA", "NA", "0.012", "NA", "NA", "NA", "NA"),
    ("Q", "100", "200", "NA", "NA", "0.005", "NA", "NA", "NA", "NA"),
    ("Q", "100", "200", "NA", "NA", "0.005", "NA", "NA", "NA", "NA"),
    ("Q", "100", "125", "NA", "NA", "0.008", "NA", "NA", "NA", "NA"),
    ("R", "100", "50", "NA", "NA", "0.02", "NA", "NA", "NA", "NA"),
    ("Z", "50", "40", "0", "60", "0.025", "NA", "NA", "NA", "NA"),
    ("Z", "50", "40", "30", "0", "0.025", "NA", "NA", "NA", "NA"),
]
BIAS_EXPECTED = {  # (scenario, estimator): (bias %, SE, rel. bias 1/Ne, SE, RMSE, SE)
    ("P", "X"): (0, 20, 0, 0.2, 0.2, 0),
    ("Q", "X"): (200 / 3, 250 / 9, -0.4, 0.1, 0.4242641, 0.0824958),
    ("R", "X"): (-50, float("nan"), 1, float("nan"), 1, float("nan")),
    ("Z", "X"): (-20, 0, 0.25, 0, 0.25, 0),
}


class BiasInPercent(unittest.TestCase):
    def test_hand_computed_bias_and_standard_errors(self):
        rows = [dict(zip(BIAS_COLUMNS, r)) for r in BIAS_TABLE]
        result, _ = summary.summarize(rows, BIAS_COLUMNS, runs_on={"X": ["P", "Q", "R", "Z"],
                                                                   "Y": ["Z"]})
        got = {(r["scenario"], r["estimator"]): r for r in result}
        self.assertEqual(list(got), [*BIAS_EXPECTED, ("Z", "Y")])
        names = ("hmean_bias_pct", "hmean_bias_pct_se", "rel_bias_inv", "rel_bias_inv_se",
                 "rel_rmse_inv", "rel_rmse_inv_se")
        for key, expected in BIAS_EXPECTED.items():
            for name, value in zip(names, expected):
                if value != value:
                    self.assertNotEqual(got[key][name], got[key][name], msg=f"{key} {name}")
                else:
                    self.assertAlmostEqual(got[key][name], value, delta=1e-6 * max(1, abs(value)),
                                           msg=f"{key} {name}")
        # The lower bound 0 holds every small Ne, the upper bound 0 none.
        z = got[("Z", "X")]
        self.assertEqual((z["plugin_n"], z["plugin_coverage"]), (2, 0.5))
        # An estimator that ran and gave nothing has its row, saying so.
        self.assertEqual((got[("Z", "Y")]["replicates"], got[("Z", "Y")]["estimates"]), (2, 0))
        self.assertNotIn("hmean_Ne", got[("Z", "Y")])


if __name__ == "__main__":
    unittest.main()
