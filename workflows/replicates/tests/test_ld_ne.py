"""Unit tests of estimators/ld_ne.py: which pairs of loci enter its mean r^2. Run: python3 -m
unittest discover -s tests (from this folder)."""

import math
import os
import sys
import unittest

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "estimators"))
sys.dont_write_bytecode = True
import ld_ne  # noqa: E402


def mean_r2_by_hand(dosage, pairs):
    """Mean over the pairs (i, j) of the squared correlation of the dosages of the individuals
    typed at both, times (n/(n - 1))^2."""
    values = []
    for i, j in pairs:
        both = ~np.isnan(dosage[:, i]) & ~np.isnan(dosage[:, j])
        n = both.sum()
        r = np.corrcoef(dosage[both, i], dosage[both, j])[0, 1]
        values.append((n / (n - 1)) ** 2 * r * r)
    return sum(values) / len(values)


class Pairs(unittest.TestCase):
    def test_pairs_on_different_chromosomes_unless_all_are_asked_for(self):
        rng = np.random.default_rng(5)
        dosage = rng.integers(0, 3, size=(40, 7)).astype(float)
        dosage[:, 1] = dosage[:, 0]  # a tight pair on chromosome 1: r^2 = 1
        dosage[3, 4] = dosage[9, 2] = math.nan
        cases = [  # (chromosomes, pairs that enter)
            (["1", "1", "2", "2", "3", "3", "3"],
             [(i, j) for i in range(7) for j in range(i + 1, 7)
              if (i // 2 if i < 4 else 2) != (j // 2 if j < 4 else 2)]),
            (None, [(i, j) for i in range(7) for j in range(i + 1, 7)]),
            # An unlinked run's VCF: a contig per locus, so every pair enters.
            ([f"L{i}" for i in range(7)], [(i, j) for i in range(7) for j in range(i + 1, 7)]),
        ]
        for chromosomes, pairs in cases:
            for block in (2, 512):  # rows of the pair matrix in several blocks or one
                ld_ne.BLOCK = block
                got = ld_ne.estimate(dosage, 0.0, chromosomes)
                self.assertEqual(got["pairs"], len(pairs), msg=repr(chromosomes))
                self.assertAlmostEqual(got["r2"], mean_r2_by_hand(dosage, pairs), places=12,
                                       msg=repr(chromosomes))
        ld_ne.BLOCK = 512
        linked = ld_ne.estimate(dosage, 0.0, cases[0][0])
        self.assertLess(linked["r2"], ld_ne.estimate(dosage, 0.0, None)["r2"])


if __name__ == "__main__":
    unittest.main()
