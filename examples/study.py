"""A small replicate study with the Python module: does the moment estimate of Ne find the true
harmonic-mean Ne, for an ideal population and through a crash between the samples?

20 replicates of each scenario, their seeds from one; the temporal Fc and its moment
estimate from driftsim-stats' figures (Run.stats()); one figure of the estimates against the
true Ne. Usage: python3 examples/study.py [OUTDIR]  (writes OUTDIR/study.png and study.tsv)
"""

import statistics
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import driftsim  # noqa: E402

REPLICATES = 20
# The plain model (isolation, no genotyping errors): 200 loci of 10 alleles, samples of 60
# taken 8 generations apart.
BASE = driftsim.Parameters(ne=400, num_loci=200, num_alleles=10, num_gen=8, num_indiv1=60,
                           num_indiv2=60)
# The replicates' seeds follow from this one (driftsim.replicate_seeds).
SEED = 2024
SCENARIOS = {
    "ideal, N = 400": dict(),
    "crash to 40 for 4 generations": dict(sizes=[(252, 40), (256, 400)]),
}


def main(outdir):
    outdir.mkdir(parents=True, exist_ok=True)
    rows = []
    for name, options in SCENARIOS.items():
        for run in driftsim.simulate(BASE, seed=SEED, num_replicates=REPLICATES, **options):
            fc = run.stats()["S1-S2"]["Fc"]
            rows.append((name, run.seed, run.true_values["drift_ne"], fc["F"], fc["Ne"]))
    with open(outdir / "study.tsv", "w") as out:
        out.write("scenario\tseed\ttrue_Ne\tFc\tNe_estimate\n")
        for row in rows:
            out.write("\t".join(map(str, row)) + "\n")

    fig, ax = plt.subplots(figsize=(6, 4.5))
    for i, name in enumerate(SCENARIOS):
        true_ne = next(r[2] for r in rows if r[0] == name)
        estimates = [r[4] for r in rows if r[0] == name]
        finite = [e for e in estimates if e != float("inf")]
        median = statistics.median(estimates)
        print(f"{name}: true Ne {true_ne:.1f}, median estimate {median:.1f}, "
              f"{len(estimates) - len(finite)} infinite of {len(estimates)}")
        ax.scatter([true_ne] * len(finite), finite, alpha=0.5, label=name, color=f"C{i}")
        ax.scatter([true_ne], [median], marker="_", s=400, color=f"C{i}")
    top = max(r[2] for r in rows) * 1.6
    ax.plot([10, top], [10, top], color="grey", linestyle="--", label="estimate = true Ne")
    ax.set(xscale="log", yscale="log", xlabel="true harmonic-mean Ne",
           ylabel="moment estimate of Ne (Fc)",
           title=f"{REPLICATES} replicates per scenario (bar: median)")
    ax.legend(fontsize="small")
    fig.tight_layout()
    fig.savefig(outdir / "study.png", dpi=100)
    print(f"wrote {outdir / 'study.png'} and {outdir / 'study.tsv'}")


if __name__ == "__main__":
    main(Path(sys.argv[1] if len(sys.argv) > 1 else "."))
