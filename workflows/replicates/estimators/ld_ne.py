#!/usr/bin/env python3
"""ld_ne.py VCF [--sample PREFIX] [--maf P] [--pairs unlinked|all] [--output TSV]: a
single-sample estimate of Ne from linkage disequilibrium between unlinked biallelic loci.

r^2 is Burrows' composite r^2 of two loci, which needs no phase: the squared correlation of
genotype dosages (0, 1, 2 copies of the ALT allele) times (n/(n - 1))^2, n the individuals typed
at both (Weir's composite disequilibrium carries n/(n - 1), the variances do not). Averaged over all pairs of loci
with minor allele frequency >= P, it is corrected for sampling with Waples' (2006) expectation
for S individuals (S the harmonic mean over pairs of the individuals typed at both loci):

    E(r^2_sample) = 1/S + 3.19/S^2                     S >= 30
                  = 0.0018 + 0.907/S + 4.44/S^2        S < 30
    r'^2 = mean r^2 - E(r^2_sample)

and turned into Ne with Waples' random-mating form of Hill's (1981) drift expectation for
unlinked loci (c = 0.5):

    Ne = (1/3 + sqrt(1/9 - 2.76 r'^2)) / (2 r'^2)          S >= 30
    Ne = (0.308 + sqrt(0.308^2 - 2.08 r'^2)) / (2 r'^2)    S < 30

computed as 1/Ne = 2 r'^2 / (a + sqrt(a^2 - b r'^2)), smooth through r'^2 = 0: a negative r'^2
(less LD than sampling alone gives) yields a negative Ne, read as infinite. The 95% interval
comes from a jackknife over loci of mean r^2 (pairs of loci are not independent), mapped through
the same function; a bound beyond infinity is inf or negative.

Only pairs of loci on different chromosomes (the VCF's CHROM) enter, the unlinked pairs the
method assumes: linked pairs carry LD of their own and pull the estimate down. driftsim-convert
writes an unlinked run's loci on a contig each, so there every pair enters; a linked run's
VCF has its chromosomes. --pairs all takes every pair, to show that bias.

Writes one tab-separated row: Ne, lower, upper, then S, loci, pairs, r2, r2_sample, r2_drift.
Reads .vcf and .vcf.gz; only biallelic records enter. PREFIX selects the individuals whose VCF
names start with PREFIX_ (driftsim names them S1_1, S2_1, ...); default all.
"""

import argparse
import gzip
import math
import sys

import numpy as np

VERSION = "1.1"
Z975 = 1.959963984540054


def read_vcf(path, prefix):
    """Dosage matrix (individuals x loci, NaN where missing) of the biallelic records, and the
    chromosome (CHROM) of each."""
    opener = gzip.open if path.endswith(".gz") else open
    names, keep, columns, chromosomes = None, None, [], []
    with opener(path, "rt") as handle:
        for line in handle:
            if line.startswith("##"):
                continue
            fields = line.rstrip("\n").split("\t")
            if line.startswith("#CHROM"):
                names = fields[9:]
                keep = [i for i, n in enumerate(names)
                        if prefix is None or n.startswith(prefix + "_")]
                continue
            if names is None:
                raise ValueError(f"{path}: a record before the #CHROM line")
            if "," in fields[4] or fields[4] in (".", ""):
                continue  # not biallelic
            gt = fields[8].split(":").index("GT")
            dosage = []
            for i in keep:
                call = fields[9 + i].split(":")[gt].replace("|", "/").split("/")
                if "." in call:
                    dosage.append(math.nan)
                elif all(a in ("0", "1") for a in call):
                    dosage.append(float(sum(a == "1" for a in call)))
                else:
                    raise ValueError(f"{path}: genotype {fields[9 + i]!r} of a biallelic record")
            columns.append(dosage)
            chromosomes.append(fields[0])
    if names is None:
        raise ValueError(f"{path}: no #CHROM line")
    if not keep:
        raise ValueError(f"{path}: no individual named {prefix}_*")
    return np.array(columns, dtype=float).T.reshape(len(keep), len(columns)), chromosomes


def expected_sample_r2(s):
    return 1 / s + 3.19 / s**2 if s >= 30 else 0.0018 + 0.907 / s + 4.44 / s**2


def inverse_ne(r2_drift, s):
    """1/Ne of Waples' quadratic, monotone in r2_drift and 0 at 0."""
    a, b = (1 / 3, 2.76) if s >= 30 else (0.308, 2.08)
    return 2 * r2_drift / (a + math.sqrt(max(a * a - b * r2_drift, 0.0)))


def reciprocal(x):
    return math.inf if x == 0 else 1 / x


# Loci per block of rows of the pair matrices: memory grows with the block times the loci.
BLOCK = 512


def pair_rows(x, typed, rows):
    """r^2 of the loci `rows` with every locus (a block of rows of the pair matrix) and the
    individuals typed at both of each pair. Without missing genotypes the pairwise-complete
    moments are the plain ones, and one product gives them."""
    if typed.all():
        n = np.full((len(rows), x.shape[1]), float(x.shape[0]))
        centred = x - x.mean(axis=0)
        cov = centred[:, rows].T @ centred / x.shape[0]
        var = (centred * centred).mean(axis=0)
        var_i, var_j = var[rows][:, None], var[None, :]
    else:
        m = typed.astype(float)
        # Pairwise-complete moments: sums over the individuals typed at both loci.
        n = m[:, rows].T @ m
        sx = x[:, rows].T @ m            # sum of locus i's dosage where j is typed
        sx_t = (x.T @ m[:, rows]).T      # sum of locus j's dosage where i is typed
        sxx = (x * x)[:, rows].T @ m
        sxx_t = ((x * x).T @ m[:, rows]).T
        with np.errstate(invalid="ignore", divide="ignore"):
            cov = x[:, rows].T @ x / n - (sx / n) * (sx_t / n)
            var_i = sxx / n - (sx / n) ** 2
            var_j = sxx_t / n - (sx_t / n) ** 2
    with np.errstate(invalid="ignore", divide="ignore"):
        # Weir's composite disequilibrium carries n/(n - 1), the variances do not: this r^2 is
        # the squared Pearson correlation times (n/(n - 1))^2, the r^2 whose sampling
        # expectation Waples' 1/S + 3.19/S^2 describes (without it, about 1/(S - 1)).
        r2 = (n / (n - 1)) ** 2 * cov * cov / (var_i * var_j)
    return r2, n


def estimate(dosage, maf, chromosomes=None):
    """Ne, its jackknife interval and the quantities behind them. With chromosomes (one name
    per locus), only pairs of loci on different chromosomes enter; without, every pair."""
    typed = ~np.isnan(dosage)
    x = np.where(typed, dosage, 0.0)
    counts = typed.sum(axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        p = x.sum(axis=0) / (2 * counts)
    loci = np.flatnonzero((counts >= 2) & (np.minimum(p, 1 - p) >= maf))
    if len(loci) < 3:
        raise ValueError(f"{len(loci)} biallelic loci with minor allele frequency >= {maf}; "
                         "need at least 3")
    x, typed = x[:, loci], typed[:, loci]
    chromosome = None
    if chromosomes is not None:
        chromosome = np.unique(np.asarray(chromosomes)[loci], return_inverse=True)[1]
    # Each pair is met twice, once from each of its loci: sums over pairs are halved.
    each = np.zeros(len(loci))       # sum of r^2 over the pairs of each locus
    per_locus = np.zeros(len(loci))  # pairs of each locus
    inverse_n = 0.0
    for start in range(0, len(loci), BLOCK):
        rows = np.arange(start, min(start + BLOCK, len(loci)))
        r2, n = pair_rows(x, typed, rows)
        pair = np.isfinite(r2) & (n >= 2)
        pair[np.arange(len(rows)), rows] = False
        if chromosome is not None:
            pair &= chromosome[rows][:, None] != chromosome[None, :]
        each[rows] = np.where(pair, r2, 0.0).sum(axis=1)
        per_locus[rows] = pair.sum(axis=1)
        inverse_n += float((1.0 / n[pair]).sum())
    pairs = int(per_locus.sum()) // 2
    if pairs < 2:
        raise ValueError("fewer than 2 pairs of loci with an r^2")
    s = pairs / (inverse_n / 2)
    total = each.sum() / 2
    mean_r2 = total / pairs
    expected = expected_sample_r2(s)
    drift = mean_r2 - expected
    # Jackknife over loci: mean r^2 without the pairs of each locus in turn.
    use = per_locus < pairs
    left_out = (total - each[use]) / (pairs - per_locus[use])
    k = len(left_out)
    se = math.sqrt((k - 1) / k * float(((left_out - left_out.mean()) ** 2).sum()))
    low, high = inverse_ne(drift - Z975 * se, s), inverse_ne(drift + Z975 * se, s)
    return {"Ne": reciprocal(inverse_ne(drift, s)), "lower": reciprocal(high),
            "upper": reciprocal(low), "S": s, "loci": len(loci), "pairs": pairs,
            "r2": mean_r2, "r2_sample": expected, "r2_drift": drift}


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("vcf")
    parser.add_argument("--sample", help="use the individuals named PREFIX_*")
    parser.add_argument("--maf", type=float, default=0.05,
                        help="least minor allele frequency of a locus (default 0.05)")
    parser.add_argument("--pairs", choices=("unlinked", "all"), default="unlinked",
                        help="pairs of loci on different chromosomes (CHROM), the unlinked ones "
                        "the method assumes (default), or all pairs")
    parser.add_argument("--output", help="the result table (default standard output)")
    parser.add_argument("--version", action="version",
                        version=f"ld_ne.py {VERSION} (numpy {np.__version__})")
    args = parser.parse_args(argv)
    dosage, chromosomes = read_vcf(args.vcf, args.sample)
    result = estimate(dosage, args.maf, None if args.pairs == "all" else chromosomes)
    columns = ["Ne", "lower", "upper", "S", "loci", "pairs", "r2", "r2_sample", "r2_drift"]
    text = "\t".join(columns) + "\n" + "\t".join("%.6g" % result[c] for c in columns) + "\n"
    if args.output:
        with open(args.output, "w") as handle:
            handle.write(text)
    else:
        sys.stdout.write(text)
    print(f"ld_ne.py: S {result['S']:.4g}, {result['loci']} loci, {result['pairs']} pairs, "
          f"mean r2 {result['r2']:.6g}, E(r2 sample) {result['r2_sample']:.6g}, "
          f"Ne {result['Ne']:.6g} [{result['lower']:.6g}, {result['upper']:.6g}]",
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except (OSError, ValueError) as error:
        sys.exit(f"ld_ne.py: {error}")
