#!/usr/bin/env python3
"""Stand-in for driftsim-stats, used only by this folder's tests while the real tool is not
built. It prints the same table layout (header, S1, S2, S0 under migration, S1-S2, S1-S0) with
rough values computed from the data file; it is not a reference for the real statistics."""

import sys
from collections import Counter

HEADER = ["row", "individuals", "loci", "missing", "alleles", "Ho", "He",
          "Fc", "Fk", "Fs", "Ne_Fc", "Ne_Fk", "Ne_Fs", "Fst"]


def g(x):
    return "%.6g" % x


def main(dat, par=None):
    samples = {}
    for line in open(dat):
        fields = line.split()
        if fields:
            samples.setdefault(fields[0].split("_")[0], []).append(fields[1:])
    t = 1
    if par:
        lines = open(par).read().splitlines()
        t = int(lines[9].split()[1]) - int(lines[9].split()[0])
    loci = len(next(iter(samples.values()))[0]) // 2
    freqs, out = {}, [HEADER]
    for name in ("S1", "S2", "S0"):
        if name not in samples:
            continue
        inds = samples[name]
        missing, ho, he, nal, per_locus = 0, 0.0, 0.0, 0, []
        for l in range(loci):
            counts, het, typed = Counter(), 0, 0
            for ind in inds:
                a, b = ind[2 * l], ind[2 * l + 1]
                if a == "0":
                    missing += 1
                    continue
                typed += 1
                het += a != b
                counts[a] += 1
                counts[b] += 1
            total = sum(counts.values()) or 1
            p = {k: v / total for k, v in counts.items()}
            per_locus.append(p)
            ho += het / max(typed, 1)
            he += 1 - sum(v * v for v in p.values())
            nal += len(counts)
        freqs[name] = per_locus
        out.append([name, str(len(inds)), str(loci), str(missing), g(nal / loci), g(ho / loci),
                    g(he / loci)] + ["NA"] * 7)
    fc = 0.0
    for p1, p2 in zip(freqs["S1"], freqs["S2"]):
        alleles = set(p1) | set(p2)
        k = max(len(alleles), 2)
        fc += sum((p1.get(a, 0) - p2.get(a, 0)) ** 2 / max((p1.get(a, 0) + p2.get(a, 0)) / 2
                  - p1.get(a, 0) * p2.get(a, 0), 1e-12) for a in alleles) / (k - 1)
    fc /= loci
    s1, s2 = len(samples["S1"]), len(samples["S2"])
    denom = 2 * (fc - 1 / (2 * s1) - 1 / (2 * s2))
    ne = t / denom if denom > 0 else float("inf")
    out.append(["S1-S2", "NA", "NA", "NA", "NA", "NA", "NA", g(fc), g(fc * 0.9), g(fc * 1.1),
                g(ne), g(ne * 1.1), g(ne * 0.9), "NA"])
    if "S0" in samples:
        out.append(["S1-S0"] + ["NA"] * 12 + [g(0.01)])
    for row in out:
        print("\t".join(row))


if __name__ == "__main__":
    main(*sys.argv[1:3])
