"""The module as a new user meets it: seeds, defaults, names, replicates, pickling, exports,
reading back, file errors and hostile values. One table per behaviour."""

import errno
import inspect
import json
import os
import pickle
import subprocess
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import driftsim
from test_driftsim import BIN, ROOT, cli, dat_genotypes

SMALL = dict(num_loci=40, ne=60, num_gen=3)


def example_values():
    """examples/SimPara.txt read independently: the first word of each line."""
    words = [line.split()[0] for line in (ROOT / "examples" / "SimPara.txt").read_text().splitlines()]
    return {name: type(value)(word) for (name, value), word in
            zip(driftsim.Parameters().as_dict().items(), words)}


def test_fresh_seeds_are_recorded_and_redo_their_run():
    params = driftsim.Parameters(**SMALL)
    first, second = driftsim.simulate(params), driftsim.simulate(params)
    assert first.seed != second.seed
    assert not np.array_equal(first.genotypes, second.genotypes)
    for run in (first, second):
        assert driftsim.seed_is_valid(run.seed) and f"seed {run.seed}" in repr(run)
        assert run.parameters.IDUM == run.seed and f"<td>{run.seed}</td>" in run._repr_html_()
        assert run.record["parameters"]["IDUM"] == run.seed
        np.testing.assert_array_equal(driftsim.simulate(params, seed=run.seed).genotypes,
                                      run.genotypes)


@pytest.mark.parametrize("seed", ["5", 5.0, True, [5], np.float64(5)])
def test_a_seed_must_be_an_int(seed):
    with pytest.raises(TypeError, match="seed must be an integer"):
        driftsim.simulate(driftsim.Parameters(**SMALL), seed=seed)
    with pytest.raises(TypeError, match="seed must be an integer"):
        driftsim.Parameters(seed=seed)


@pytest.mark.parametrize("make, expected", [
    (driftsim.Parameters, dict(Model=0, MigRate=0.0, MisRate=0.0, DropRate=0.0, FalseRate=0.0,
                               Ne=1000, NumLoci=100, MaxNe=2000)),
    (driftsim.Parameters.example, example_values()),
])
def test_defaults(make, expected):
    values = make().as_dict()
    assert {k: values[k] for k in expected} == expected
    assert f"<td>num_loci</td><td>NumLoci</td><td>{values['NumLoci']}</td>" in make()._repr_html_()
    if make is driftsim.Parameters:  # every default is in the docstring's table
        table = {line.split()[0]: line.split()[1:3] for line in
                 driftsim.Parameters.__doc__.splitlines() if line.startswith("        ")}
        for name, value in values.items():
            assert table[driftsim._PYTHON_NAME[name]] == [name, repr(value)]


@pytest.mark.parametrize("values, options, max_ne", [
    (dict(ne=5000), {}, 5000),
    (dict(ne=500), {}, 2000),
    (dict(ne=500), dict(sizes=[(252, 9000)]), 9000),
    (dict(ne=500, max_ne=700), dict(sizes=[(252, 700)]), 700),
    (dict(ne=500, max_ne=700), dict(sizes=[(252, 9000)]), None),
])
def test_max_ne_follows_the_sizes_unless_given(values, options, max_ne, tmp_path):
    params = driftsim.Parameters(num_loci=10, **values)
    if max_ne is None:
        with pytest.raises(driftsim.ParameterError, match=r"^sizes\[0\]: size 9000 is above MaxNe 700.*Give "
                           "max_ne at least the largest size"):
            driftsim.simulate(params, seed=3, **options)
        return
    run = driftsim.simulate(params, seed=3, **options)
    assert run.parameters.max_ne == max_ne
    _, par = run.write(tmp_path / "run")
    assert Path(par).read_text().splitlines()[2].split()[0] == str(max_ne)


@pytest.mark.parametrize("given, name, value", [
    (dict(num_loci=7), "NumLoci", 7),
    (dict(NumLoci=7), "num_loci", 7),
    (dict(numloci=np.int64(7)), "NUMLOCI", 7),
    (dict(num_alleles=3), "NumAllele", 3),
    (dict(seed=9), "IDUM", 9),
    (dict(model=1, sample_sizes=(3, 4, 5)), "NumIndiv0", 3),
    (dict(model=1, sample_sizes=(3, 4, 5)), "sample_sizes", (3, 4, 5)),
    (dict(error_rates=(0.1, 0.2, 0.25)), "DropRate", 0.2),
    (dict(error_rates=(0.1, 0.2, 0.25)), "error_rates", (0.1, 0.2, 0.25)),
])
def test_both_names_read_and_set(given, name, value):
    params = driftsim.Parameters(**given)
    assert getattr(params, name) == value
    setattr(params, name, value)  # checked again, the same values
    assert params == driftsim.Parameters(**given)
    other = driftsim.Parameters(model=1)
    setattr(other, name, value)
    assert getattr(other, name) == value and getattr(other, name.swapcase()) == value


@pytest.mark.parametrize("given, error, message", [
    (dict(ne=200.7), TypeError, "ne must be an integer and got 200.7"),
    (dict(Ne="200"), TypeError, "Ne must be an integer and got '200'"),
    (dict(mig_rate="0.1"), TypeError, "mig_rate must be a number and got '0.1'"),
    (dict(mis_rate=float("nan")), driftsim.ParameterError, "mis_rate must be a finite number"),
    (dict(sample_sizes=(1, 2)), TypeError, "sample_sizes must be a sequence of 3 values"),
    (dict(num_locus=5), TypeError, "driftsim has no parameter 'num_locus'"),
    (dict(out_file="a\0b"), driftsim.ParameterError, "out_file must not hold a NUL"),
    (dict(ne=5000, max_ne=3000), driftsim.ParameterError,
     r"max_ne \(3000\) is below ne \(5000\).*give max_ne=5000 or more"),
])
def test_messages_speak_python(given, error, message):
    with pytest.raises(error, match=message):
        driftsim.Parameters(**given)


@pytest.mark.parametrize("options, error, message", [
    (dict(sizes="sizes_a\0junk"), driftsim.ParameterError, "sizes must not hold a NUL"),
    (dict(sizes=[(1.9, 60)]), TypeError, "a generation of sizes must be an integer and got 1.9"),
    (dict(sizes=[(5, 60.0)]), TypeError, "a size of sizes must be an integer"),
    (dict(burn_in=2.5), TypeError, "burn_in must be an integer"),
    (dict(threads=True), driftsim.ParameterError, "not a thread count"),
    (dict(threads=np.int64(2), burn_in=np.int32(5), seed=np.int64(4),
          sizes=[(np.int64(2), np.int16(30))], mutation_rate=np.float32(0.001)), None, None),
])
def test_values_are_taken_or_refused_clearly(options, error, message):
    params = driftsim.Parameters(**SMALL)
    if error is None:
        run = driftsim.simulate(params, **options)
        assert run.seed == 4 and run.model["burn_in"] == 5
        return
    with pytest.raises(error, match=message):
        driftsim.simulate(params, **options)


def workflow_seeds(base, replicates):
    """The replicate workflow's seeds of one scenario, from its own code."""
    sys.path.insert(0, str(ROOT / "workflows" / "replicates" / "scripts"))
    try:
        import replicates as workflow
    except ImportError as e:
        pytest.skip(f"the workflow's script does not import here: {e}")
    finally:
        sys.path.pop(0)
    seeds = workflow.assign_seeds(base, [("", k) for k in range(1, replicates + 1)])
    return [seeds[("", k)] for k in range(1, replicates + 1)]


@pytest.mark.parametrize("base", [1, 2147483646, -77])
def test_replicates_take_the_workflows_seeds(base):
    params = driftsim.Parameters(**SMALL)
    runs = list(driftsim.simulate(params, seed=base, num_replicates=3))
    seeds = driftsim.replicate_seeds(base, 3)
    assert seeds == workflow_seeds(base, 3) and len(set(seeds)) == 3
    assert [r.seed for r in runs] == seeds and [r.replicate for r in runs] == [1, 2, 3]
    np.testing.assert_array_equal(runs[2].genotypes,
                                  driftsim.simulate(params, seed=seeds[2]).genotypes)


def rebuilt(run):
    """The run's arrays and metadata, after a trip through another process."""
    return (run.genotypes, list(run.labels), run.seed, run.parameters, run.true_values,
            run.model, run.stats()["S1-S2"]["Fc"]["F"])


@pytest.mark.parametrize("params", [dict(num_alleles=2, num_loci=33), dict(model=1, **SMALL)])
def test_a_pickled_run_gives_the_same_arrays(params):
    run = driftsim.simulate(driftsim.Parameters(**params), seed=5, sizes=[(251, 30)])
    with ProcessPoolExecutor(max_workers=1) as pool:
        back = pool.submit(pickle.loads, pickle.dumps(run)).result()
    for got, expected in zip(rebuilt(back), rebuilt(run)):
        if isinstance(expected, np.ndarray):
            np.testing.assert_array_equal(got, expected)
        else:
            assert got == expected


def converter(tmp, stem, format, output):
    result = subprocess.run([str(BIN / "driftsim-convert"), f"{stem}.dat", "--to", format, "-o",
                             output], cwd=tmp, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("format, method, names", [
    ("vcf", "write_vcf", ["x.vcf"]),
    ("vcf.gz", "write_vcf", ["x.vcf.gz"]),
    ("genepop", "write_genepop", ["x.gen"]),
    ("plink", "write_plink", ["x.ped", "x.map"]),
])
def test_exports_give_the_converters_bytes(format, method, names, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    params = driftsim.Parameters.example(num_alleles=2, num_loci=50, out_file="run")
    run = driftsim.simulate(params, seed=8)
    run.write()
    (tmp_path / "cli").mkdir()
    converter(tmp_path, "run", format, "cli/" + ("x" if format == "plink" else names[0]))
    written = getattr(run, method)("x" if format == "plink" else names[0])
    assert written == (tuple(names) if format == "plink" else names[0])
    for name in names:
        assert (tmp_path / name).read_bytes() == (tmp_path / "cli" / name).read_bytes()


@pytest.mark.parametrize("sample", [None, "S1", "S2", "S0"])
def test_allele_counts_agree_with_the_data_file(sample, tmp_path):
    run = driftsim.simulate(driftsim.Parameters.example(num_alleles=4, num_loci=30), seed=2)
    labels, genotypes = dat_genotypes(run.write(tmp_path / "run")[0])
    chosen = [i for i, label in enumerate(labels) if sample is None or label.startswith(sample)]
    counts = run.allele_counts(sample)
    assert counts.shape == (30, 4)
    for a in range(4):
        np.testing.assert_array_equal(counts[:, a], (genotypes[:, chosen] == a).sum(axis=(1, 2)))
    np.testing.assert_allclose(run.allele_frequencies(sample).sum(axis=1), 1.0)


@pytest.mark.parametrize("how", ["record", "parameters", "parameter file"])
def test_a_run_read_back_has_its_parameters_and_writes_the_same_bytes(how, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    params = driftsim.Parameters.example(num_alleles=2, num_loci=30, out_file="run", seed=12)
    params.to_file(tmp_path / "p.txt")
    assert cli("p.txt", "--quiet", "--burn-in", 40, "--summary", "run.json",
               cwd=tmp_path).returncode == 0
    given = {"record": dict(record=tmp_path / "run.json"),
             "parameters": dict(parameters=params, burn_in=40),
             "parameter file": dict(parameters=tmp_path / "p.txt", burn_in=40)}[how]
    run = driftsim.read(tmp_path / "run.dat", **given)
    assert run.parameters == params and run.seed == 12
    expected = json.loads((tmp_path / "run.json").read_text())["true_values"]
    assert run.true_values == expected
    dat, par = run.write("again")
    assert Path(dat).read_bytes() == (tmp_path / "run.dat").read_bytes()
    lines = Path(par).read_text().splitlines()
    assert lines[6].startswith('"again.dat"')  # the data file it names
    assert lines[:6] + lines[7:] == [line for i, line in enumerate(
        (tmp_path / "run.par").read_text().splitlines()) if i != 6]


def killed_between_renames(tmp):
    """A run of NumGen 50 killed between its two renames over a run of NumGen 5: its new .dat
    beside the old .par, and its commit record. Needs the commit hook of a test build."""
    for gen, stop in ((5, None), (50, "rename:1")):
        driftsim.Parameters(num_loci=20, num_gen=gen, out_file="run").to_file(tmp / f"p{gen}.txt")
        env = dict(os.environ, DRIFTSIM_TEST_STOP=stop) if stop else None
        run = subprocess.Popen([str(BIN / "driftsim"), f"p{gen}.txt", "--quiet"], cwd=tmp, env=env,
                               stdout=subprocess.DEVNULL)
        for _ in range(600):
            if run.poll() is not None:
                break
            if Path(f"/proc/{run.pid}/stat").read_text().split(")")[1].split()[0] == "T":
                run.kill()  # stopped before the .par's rename
                run.wait()
                return
            time.sleep(0.05)
    pytest.skip("this driftsim has no commit hook (a build without DRIFTSIM_TESTS)")


@pytest.mark.parametrize("case", ["interrupted commit", "other parameters"])
def test_read_refuses_what_the_tools_refuse(case, tmp_path):
    dat = tmp_path / "run.dat"
    if case == "other parameters":
        driftsim.simulate(driftsim.Parameters(**SMALL), seed=1).write(tmp_path / "run")
        with pytest.raises(driftsim.ParameterError, match="not those of the files"):
            driftsim.read(dat, parameters=driftsim.Parameters(**{**SMALL, "num_loci": 41}))
        return
    killed_between_renames(tmp_path)
    result = subprocess.run([str(BIN / "driftsim-stats"), dat], capture_output=True, text=True)
    assert result.returncode == 1 and "interrupted" in result.stderr
    with pytest.raises(driftsim.ParameterError) as refused:
        driftsim.read(dat)
    assert str(refused.value) in result.stderr


@pytest.mark.parametrize("action, error, code, name", [
    (lambda run, tmp: run.write("/nope/dir/x"), FileNotFoundError, errno.ENOENT,
     "/nope/dir/x.dat"),
    (lambda run, tmp: run.parameters.to_file("/nope/p.txt"), FileNotFoundError, errno.ENOENT,
     "/nope/p.txt"),
    (lambda run, tmp: run.write_vcf("/nope/x.vcf"), FileNotFoundError, errno.ENOENT,
     "/nope/x.vcf"),
    (lambda run, tmp: run.write(tmp), IsADirectoryError, errno.EISDIR, "{tmp}"),
    (lambda run, tmp: run.write_genepop(tmp / "sub"), IsADirectoryError, errno.EISDIR,
     "{tmp}/sub"),
    (lambda run, tmp: driftsim.read(tmp / "none.dat"), FileNotFoundError, errno.ENOENT,
     "{tmp}/none.dat"),
    (lambda run, tmp: driftsim.read(tmp / "sub", tmp / "sub"), IsADirectoryError, errno.EISDIR,
     "{tmp}/sub"),
])
def test_file_errors_say_what_failed(action, error, code, name, tmp_path):
    (tmp_path / "sub").mkdir()
    run = driftsim.simulate(driftsim.Parameters(**SMALL), seed=1)
    with pytest.raises(error) as failed:
        action(run, tmp_path)
    assert failed.value.errno == code and failed.value.strerror
    assert failed.value.filename == name.format(tmp=tmp_path)
    assert sorted(os.listdir(tmp_path)) == ["sub"] and os.listdir(tmp_path / "sub") == []


V1 = "4:memory:/job\n"
V2 = "0::/job\n"


@pytest.mark.parametrize("cgroup, files, resident, usable", [
    # v1: 300 MB limit, 250 MB used of which 100 MB page cache: 150 MB are held.
    (V1, {"memory/job/memory.limit_in_bytes": "300000000",
          "memory/job/memory.usage_in_bytes": "250000000",
          "memory/job/memory.stat": "cache 1\ntotal_cache 100000000\n"}, 40000000, 150000000),
    # v2: the same in memory.current and the stat's file pages.
    (V2, {"job/memory.max": "300000000", "job/memory.current": "250000000",
          "job/memory.stat": "anon 150000000\nfile 100000000\n"}, 40000000, 150000000),
    # The process holds more than the cgroup reports (other memory counted elsewhere).
    (V2, {"job/memory.max": "300000000", "job/memory.current": "20000000"}, 90000000,
     210000000),
    # No cgroup limit: the process's own memory only.
    (V2, {"job/memory.max": "max", "job/memory.current": "250000000"}, 40000000, 260000000),
])
def test_memory_counts_what_the_interpreter_holds(cgroup, files, resident, usable, tmp_path):
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    limit = 300000000
    assert driftsim._core.usable_memory(cgroup, str(tmp_path), limit, resident) == usable



def readme_block(after):
    """The indented command lines of the README that follow the line holding `after`."""
    lines = (ROOT / "README.md").read_text().splitlines()
    start = next(i for i, line in enumerate(lines) if after in line) + 1
    while not lines[start].startswith("    "):
        start += 1
    block = []
    for line in lines[start:]:
        if not line.startswith("    "):
            break
        block.append(line.strip())
    return block


def backend_without_numpy(tmp):
    """The build's first step in a Python that has no numpy: what it prints and returns."""
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(tmp / "bare")], check=True)
    code = ("import sys; sys.path.insert(0, sys.argv[1]); import build_backend; "
            "build_backend.build_wheel(sys.argv[2])")
    result = subprocess.run([str(tmp / "bare" / "bin" / "python"), "-c", code,
                             str(ROOT / "python"), str(tmp)], capture_output=True, text=True)
    return result.returncode, [line for line in result.stderr.splitlines() if line]


def python_packages():
    return [line.split()[1] for line in (ROOT / "packages.txt").read_text().splitlines()
            if line.startswith("python ")]


@pytest.mark.parametrize("check", ["python without numpy", "apt line", "kernel lines"])
def test_installation_says_what_to_run(check, tmp_path):
    if check == "python without numpy":
        code, lines = backend_without_numpy(tmp_path)
        assert code == 1 and len(lines) == 1, lines
        assert lines[0].startswith("driftsim: ") and "has no numpy" in lines[0]
        assert lines[0].endswith(": /usr/bin/python3 -m venv --system-site-packages ~/venv && "
                                 "~/venv/bin/pip install ./python")
        assert not list(tmp_path.glob("*.whl"))
    elif check == "apt line":
        apt = readme_block("Install it from the repository")[0].split()
        needed = set(python_packages()) - {"python3-pytest", "python3-mypy", "jupyter-nbconvert"}
        assert apt[:3] == ["sudo", "apt-get", "install"] and needed <= set(apt), needed - set(apt)
        assert "python3-matplotlib" in apt  # examples/study.py
    else:
        lines = readme_block("notebook kernel see the module")
        assert lines == [". ~/venv/bin/activate", "python -m ipykernel install --user --name "
                         "driftsim --display-name \"Python (driftsim)\""]
        kernel = json.loads((ROOT / "examples" / "notebook.ipynb").read_text())["metadata"]
        assert kernel["kernelspec"]["name"] == "driftsim"


def public_names():
    """Every public function, class, method and property of the package."""
    for name in driftsim.__all__:
        value = getattr(driftsim, name)
        if callable(value):
            yield name, value
        if isinstance(value, type) and name != "ParameterError":
            for attr, member in vars(value).items():
                if not attr.startswith("_") and (callable(member) or isinstance(
                        member, (property, classmethod, staticmethod))):
                    yield f"{name}.{attr}", getattr(value, attr) if not isinstance(
                        member, property) else member


STUB = (ROOT / "python" / "driftsim" / "__init__.pyi").read_text()


@pytest.mark.parametrize("name, value", list(public_names()), ids=lambda v: v if isinstance(
    v, str) else "")
def test_every_public_name_is_documented_and_typed(name, value):
    doc = value.__doc__ or ""
    assert doc.strip(), f"{name} has no docstring"
    leaf = name.split(".")[-1]
    assert f"def {leaf}(" in STUB or f"class {leaf}" in STUB or f"{leaf}:" in STUB or (
        f"import {leaf} as {leaf}" in STUB), f"{name} is not in the stub"
    if callable(value) and not isinstance(value, type):
        arguments = [p for p in inspect.signature(value).parameters if p not in ("self", "cls")]
        if arguments:
            assert "Parameters\n    ----------" in doc or "Parameters\n        ----------" in doc, \
                f"{name}: no Parameters section"
        if leaf != "to_file":  # which returns nothing
            assert "Returns\n" in doc, f"{name}: no Returns section"
