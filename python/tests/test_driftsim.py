"""The module against the command line: the same bytes, genotypes, statistics and messages.

The programs are looked for in DRIFTSIM_BIN (default: build/ of the repository).
"""

import json
import math
import os
import pickle
import signal
import subprocess
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import driftsim

ROOT = Path(__file__).resolve().parents[2]
GOLDEN = ROOT / "tests" / "golden" / "cases"
BIN = Path(os.environ.get("DRIFTSIM_BIN", ROOT / "build"))

# A small run with every model option: burn-in, mutation, a size schedule, Ne/N below 1.
MODEL_PARAMS = dict(Model=1, Ne=300, NumLoci=700, NumAllele=2, NumGen=6, IDUM=-5,
                    NumIndiv0=20, NumIndiv1=30, NumIndiv2=25)
MODEL_OPTIONS = dict(burn_in=30, mutation_rate=1e-3, sizes=[(10, 200), (33, 400)], ne_ratio=0.6)


def cli(*args, cwd):
    return subprocess.run([str(BIN / "driftsim"), *map(str, args)], cwd=cwd, capture_output=True,
                          text=True)


def cli_files(tmp, params, stem, *options):
    """The .dat and .par bytes of the command line's run of params."""
    params.replace(OutFile=stem).to_file(tmp / f"{stem}.txt")
    result = cli(f"{stem}.txt", "--quiet", *options, cwd=tmp)
    assert result.returncode == 0, result.stdout + result.stderr
    return (tmp / f"{stem}.dat").read_bytes(), (tmp / f"{stem}.par").read_bytes()


def module_files(folder, run, stem):
    """The .dat and .par bytes of run.write(stem) in folder."""
    folder.mkdir()
    cwd = os.getcwd()
    os.chdir(folder)
    try:
        run.write(stem)
    finally:
        os.chdir(cwd)
    return (folder / f"{stem}.dat").read_bytes(), (folder / f"{stem}.par").read_bytes()


def dat_genotypes(path):
    """Labels and loci x individuals x 2 allele indices of a data file, parsed independently."""
    labels, rows = [], []
    for line in Path(path).read_text().splitlines():
        fields = line.split()
        labels.append(fields[0])
        rows.append(np.array(fields[1:], dtype=np.int16).reshape(-1, 2))
    return labels, np.stack(rows, axis=1) - 1


def same_figures(a, b):
    """Equal dicts of numbers, NaN equal to NaN."""
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same_figures(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same_figures(x, y) for x, y in zip(a, b))
    if isinstance(a, float) and math.isnan(a):
        return isinstance(b, float) and math.isnan(b)
    return a == b


@pytest.mark.parametrize("case", sorted(p.stem for p in GOLDEN.glob("g*.txt")))
def test_write_gives_the_golden_bytes(case, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # the .par names the data file as the command line's does
    params = driftsim.Parameters.from_file(GOLDEN / f"{case}.txt")
    run = driftsim.simulate(params, seed=params.seed)
    assert run.write(case) == (f"{case}.dat", f"{case}.par")
    assert (tmp_path / f"{case}.dat").read_bytes() == (GOLDEN / f"{case}.dat").read_bytes()
    assert (tmp_path / f"{case}.par").read_bytes() == (GOLDEN / f"{case}.par").read_bytes()
    assert sorted(os.listdir(tmp_path)) == [f"{case}.dat", f"{case}.par"]


def test_runs_in_one_process_equal_separate_runs(tmp_path, monkeypatch):
    """Interleaved runs with other thread counts and options give the command line's bytes."""
    monkeypatch.chdir(tmp_path)
    plain = driftsim.Parameters(NumLoci=300, IDUM=11)
    model = driftsim.Parameters(**MODEL_PARAMS)
    sizes = tmp_path / "sizes.txt"
    sizes.write_text("".join(f"{g} {n}\n" for g, n in MODEL_OPTIONS["sizes"]))
    model_flags = ["--burn-in", 30, "--mutation-rate", "1e-3", "--sizes", sizes,
                   "--ne-ratio", 0.6, "--threads", 2]
    expected_plain = cli_files(tmp_path, plain, "plain")
    expected_model = cli_files(tmp_path, model, "model", *model_flags)
    summary = json.loads(cli("model.txt", "--quiet", *model_flags, "--summary", "-",
                             cwd=tmp_path).stdout)

    # Each run on another CPU row of this processor's, its row fixed for the run.
    version = cli("--version", cwd=tmp_path).stdout
    rows = version.split("rows run:")[1].split(";")[0].split()
    calls = [lambda: driftsim.simulate(plain, seed=11, threads=1),
             lambda: driftsim.simulate(model, seed=-5, threads=3,
                                       progress=lambda *e: events.append(e), **MODEL_OPTIONS),
             lambda: driftsim.simulate(plain, seed=11, threads=2),
             lambda: driftsim.simulate(model.replace(IDUM=99), seed=-5, threads=1,
                                       **MODEL_OPTIONS)]
    events, runs = [], []
    for i, call in enumerate(calls):
        monkeypatch.setenv("DRIFTSIM_KERNEL", rows[-1 - i % len(rows)])
        runs.append(call())
        assert runs[-1].cpu_path == rows[-1 - i % len(rows)]
    stems = ["plain", "model"] * 2
    got = [module_files(tmp_path / f"py{i}", run, stems[i]) for i, run in enumerate(runs)]
    assert got == [expected_plain, expected_model] * 2
    assert runs[1].true_values == summary["true_values"]
    generations = [e for e in events if e[0] == "generations"]
    assert generations[-1] == ("generations", 36, 36)
    assert [e[1] for e in generations] == sorted(e[1] for e in generations)


@pytest.mark.parametrize("params", [dict(NumIndiv0=7), dict(Model=0, NumAllele=2, NumLoci=37)])
def test_genotypes_and_stats_agree_with_the_files(params, tmp_path):
    """genotypes with the .dat, stats() with driftsim-stats, read() with both."""
    run = driftsim.simulate(driftsim.Parameters.example(MisRate=0.05, DropRate=0.05, **params),
                            seed=3)
    dat, par = run.write(tmp_path / "run")
    labels, genotypes = dat_genotypes(dat)
    assert run.genotypes.dtype == np.int8
    assert (run.genotypes == -1).any() and not run.genotypes.flags.writeable
    np.testing.assert_array_equal(run.genotypes, genotypes)
    assert list(run.labels) == labels
    assert list(run.sample) == [label.split("_")[0] for label in labels]

    result = subprocess.run([str(BIN / "driftsim-stats"), "--format", "json", dat],
                            capture_output=True, text=True, check=True)
    expected = driftsim._stats_numbers(json.loads(result.stdout))
    del expected["data"], expected["parameters"]
    assert same_figures(run.stats(), expected)

    back = driftsim.read(dat)
    np.testing.assert_array_equal(back.genotypes, genotypes)
    assert list(back.labels) == labels
    assert same_figures(back.stats(), expected)


def bad_file(tmp, name, value):
    """The example parameter file with the value of line name replaced."""
    lines = driftsim._core.example_params.splitlines()
    index = [n.lower() for n in driftsim.Parameters().as_dict()].index(name.lower())
    lines[index] = f"{value}  {name}"
    path = tmp / f"bad-{name}.txt"
    path.write_text("\n".join(lines) + "\n")
    return path


def test_bad_values_raise_the_programs_messages(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    cases = [("Ne", 1), ("MigRate", 1.5), ("NumAllele", 128), ("IDUM", 262144)]
    files = [bad_file(tmp_path, name, value) for name, value in cases]
    # The command line's report, all at once: each waits 2 s after its message.
    reports = [subprocess.Popen([str(BIN / "driftsim"), f], cwd=tmp_path, text=True,
                                stdout=subprocess.PIPE) for f in files]
    for (name, value), path, report in zip(cases, files, reports):
        message = report.communicate()[0].split("\n")[-4]
        with pytest.raises(driftsim.ParameterError) as from_file:
            driftsim.Parameters.from_file(path)
        with pytest.raises(driftsim.ParameterError) as from_keyword:
            driftsim.Parameters(**{name.lower(): value})
        assert str(from_file.value) == str(from_keyword.value) == message
        assert isinstance(from_file.value, ValueError)

    refused = [dict(burn_in=-1), dict(mutation_rate=0.5), dict(ne_ratio=0),
               dict(sizes=[(5, 100), (5, 200)]), dict(sizes=[(5, 1)]), dict(threads=0),
               dict(seed=0), dict(ne_ratio=0.001)]
    small = driftsim.Parameters(NumLoci=10)
    for options in refused:
        with pytest.raises(driftsim.ParameterError, match=r"\S"):
            driftsim.simulate(small, **options)
    with pytest.raises(TypeError, match="NumLoci must be an integer and got 'ten'"):
        small.replace(NumLoci="ten")

    run = driftsim.simulate(small)
    with pytest.raises(OSError) as failed:
        run.write(tmp_path / "missing" / "run")
    assert failed.value.filename == f"{tmp_path}/missing/run.dat"
    assert "missing/run.dat" in str(failed.value)
    assert sorted(os.listdir(tmp_path)) == sorted(f.name for f in files)


# When to press Ctrl-C: half a second in, in the generations; at the last generation, in the
# false-allele pass of unpacked samples, which runs on one thread for seconds.
LONG_RUNS = [
    (dict(NumLoci=100000, NumAllele=2), {}, lambda phase, done, total, started: (
        time.monotonic() - started > 0.5)),
    (dict(ne=100, num_loci=50000, num_gen=1, sample_sizes=(50, 1500, 1500), false_rate=0.01),
     dict(burn_in=1), lambda phase, done, total, started: phase == "generations" and done == total),
]


@pytest.mark.parametrize("values, options, when", LONG_RUNS)
def test_interrupt_stops_the_run_and_leaves_nothing(values, options, when, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    sent, started = [], time.monotonic()

    def progress(*event):
        if not sent and when(*event, started):
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)

    with pytest.raises(KeyboardInterrupt):
        driftsim.simulate(driftsim.Parameters(**values), threads=2, progress=progress, **options)
    assert sent and time.monotonic() - sent[0] < 1.0
    assert os.listdir(tmp_path) == []


def test_linked_run_gives_its_map_and_haplotypes(tmp_path, monkeypatch):
    """A linked run: the command line's bytes, its map per locus, genotypes in phase."""
    monkeypatch.chdir(tmp_path)
    params = driftsim.Parameters(NumLoci=60, NumAllele=2, Ne=100, NumGen=3, NumIndiv1=20,
                                 NumIndiv2=20, IDUM=5)
    # Three chromosomes of uneven lengths and loci, "chr" names as PLINK writes them too.
    rows = [(f"chr{c}", f"snp{c}_{i}", 0.5 * i, 1000 * i + 7)
            for c, loci in ((1, 25), (2, 20), (3, 15)) for i in range(loci)]
    Path("linked.map").write_text("".join(" ".join(map(str, r)) + "\n" for r in rows))
    cases = [("--map", "linked.map", dict(map=Path("linked.map")), True),
             ("--chromosomes", "3:0.5", dict(chromosomes=(3, 0.5)), False)]
    for flag, value, option, from_file in cases:
        run = driftsim.simulate(params, seed=5, **option)
        assert module_files(tmp_path / flag[2:], run, "linked") == cli_files(
            tmp_path, params, "linked", flag, value), flag
        assert run.positions.dtype == np.int64 and run.map_positions.dtype == np.float64
        assert run.positions.shape == run.chromosomes.shape == run.map_positions.shape == (60,)
        if from_file:
            assert list(run.chromosomes) == [r[0] for r in rows]
            assert list(run.positions) == [r[3] for r in rows]
            np.testing.assert_allclose(run.map_positions, [r[2] / 100 for r in rows])
        else:
            assert list(run.chromosomes) == ["1"] * 20 + ["2"] * 20 + ["3"] * 20
            np.testing.assert_allclose(run.map_positions[:20], 0.5 * (np.arange(20) + 0.5) / 20)
        # The VCF export places the loci where the run says they are.
        vcf = [line.split("\t") for line in Path(run.write_vcf("linked.vcf")).read_text()
               .splitlines() if not line.startswith("#")]
        assert [(v[0], int(v[1])) for v in vcf] == list(zip(run.chromosomes, run.positions))
        back = pickle.loads(pickle.dumps(run))
        np.testing.assert_array_equal(back.positions, run.positions)
        np.testing.assert_array_equal(back.genotypes, run.genotypes)

    # Without recombination and mutation a sample holds a few haplotypes, which genotypes show
    # only when the copies of a heterozygote keep their order; unphased, they would be many.
    run = driftsim.simulate(params, seed=5, chromosomes="1:1e-6", mutation_rate=0, burn_in=100)
    g = run.genotypes
    haplotypes = {tuple(h) for h in np.concatenate([g[:, :, 0].T, g[:, :, 1].T])}
    assert len(haplotypes) <= 10 and (g[:, :, 0] > g[:, :, 1]).any()
    _, in_file = dat_genotypes(run.write("phased")[0])
    np.testing.assert_array_equal(np.sort(g, axis=2), in_file)


def test_unlinked_run_has_no_map():
    run = driftsim.simulate(driftsim.Parameters(NumLoci=20, NumAllele=2), seed=3)
    assert run.positions is None and run.chromosomes is None and run.map_positions is None
    assert not (run.genotypes[:, :, 0] > run.genotypes[:, :, 1]).any()
