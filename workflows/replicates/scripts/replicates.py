#!/usr/bin/env python3
"""Replicate studies for driftsim: scenarios, seeds, the shared parameter file, the options of
each replicate and the aggregate table.

Used by the Snakefile next to this folder and, for runs without Snakemake, from the command line:

    replicates.py commands CONFIG OUTDIR          writes OUTDIR/SimPara.txt (and the sizes.txt
                                                  of each scenario with sizes) and prints one
                                                  shell command a line that runs a replicate
    replicates.py aggregate CONFIG OUTDIR TABLE   collects every replicate's stats.tsv and
                                                  summary.json into TABLE (without external
                                                  estimators, which need Snakemake)
    replicates.py check-estimate FILE             reads an external estimator's output as the
                                                  table will, or fails saying why
    replicates.py run-estimate SECONDS FILE CMD   runs an estimator's shell command CMD, stops
                                                  it after SECONDS, then checks its output FILE
"""

import hashlib
import itertools
import json
import math
import os
import re
import shlex
import shutil
import signal
import string
import subprocess
import sys
import unicodedata

# The nineteen values of a driftsim parameter file, in file order, with their type.
# NumIndiv0 is the source sample, NumIndiv1 and NumIndiv2 the two temporal samples.
PARAMS = [
    ("Model", int), ("Ne", int), ("MigRate", float), ("NumLoci", int), ("NumAllele", int),
    ("NumGen", int), ("NumIndiv0", int), ("NumIndiv1", int), ("NumIndiv2", int),
    ("IDUM", int), ("OutFile", str), ("INIT_POINT", int), ("MaxNe", int), ("Monitor", int),
    ("NumThread", int), ("MisRate", float), ("DropRate", float), ("FalseRate", float),
    ("FreqDist", int),
]
PARAM_NAMES = [name for name, _ in PARAMS]
PARAM_TYPES = dict(PARAMS)

# Values the workflow manages itself: a scenario may not override them.
MANAGED = ("IDUM", "OutFile")

# Seeds driftsim accepts: nonzero, magnitude at most 2147483646, not a multiple of 262144.
# A seed and its negative give the same run, so only positive seeds are handed out.
SEED_MAX = 2147483646
SEED_FORBIDDEN_MULTIPLE = 262144

SCENARIO_NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9_.+-]*$")
PARAM_FILE = "SimPara.txt"     # the template, shared by every replicate, in OUTDIR
SIZES_FILE = "sizes.txt"       # a scenario's sizes by generation, in OUTDIR/<scenario>
STATS_FILE = "stats.tsv"
SUMMARY_FILE = "summary.json"  # driftsim's record of the run (--summary)

# driftsim-convert's formats and the files each writes beside run.dat (with OutFile "run").
EXPORT_SUFFIXES = {"genepop": [".gen"], "vcf": [".vcf"], "vcf.gz": [".vcf.gz"],
                   "plink": [".ped", ".map"]}

STATS_HEADER = ["row", "individuals", "loci", "missing", "alleles", "Ho", "He",
                "Fc", "Fk", "Fs", "Ne_Fc", "Ne_Fk", "Ne_Fs", "Fst"]


# A scenario's `model` map: driftsim's model options, in the order they are given, with the
# ranges driftsim accepts. `sizes` is a list of [generation, size] pairs, written to SIZES_FILE.
MODEL_OPTIONS = {"burn_in": "--burn-in", "mutation_rate": "--mutation-rate",
                 "sizes": "--sizes", "ne_ratio": "--ne-ratio", "chromosomes": "--chromosomes"}
# --chromosomes N:M: N chromosomes of M Morgans. Quoted in YAML, which reads 20:1 as a number
# in base 60.
CHROMOSOMES = re.compile(r"^([1-9][0-9]*):([0-9]+(\.[0-9]*)?|\.[0-9]+)$")
MAX_MORGANS = 100
MAX_BURN_IN = 100000000
MAX_MUTATION_RATE = 0.1
SIZE_RANGE = (2, 1000000)


class ConfigError(ValueError):
    pass


# ---------------------------------------------------------------------------------------------
# Configuration and scenarios

def _check_value(name, value, where):
    kind = PARAM_TYPES[name]
    if kind is int:
        ok = isinstance(value, int) and not isinstance(value, bool)
    elif kind is float:
        ok = isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)
    else:
        ok = isinstance(value, str) and re.fullmatch(r"[A-Za-z0-9_.+-]+", value) is not None
    if not ok:
        what = {int: "an integer", float: "a number", str: "a plain file stem"}[kind]
        hint = _yaml_hint(value) if kind is float else ""
        raise ConfigError(f"{where}: {name} must be {what}, got {value!r}{hint}")


def _yaml_hint(value):
    """PyYAML reads 1e-3 (no dot) as text; say so where a real number was expected."""
    if isinstance(value, str):
        try:
            float(value)
            return " (YAML reads an exponent without a dot as text: write 1.0e-3)"
        except ValueError:
            pass
    return ""


def _is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


def _is_number(value):
    return (isinstance(value, (int, float)) and not isinstance(value, bool)
            and math.isfinite(value))


def _check_sizes(sizes, where):
    if not isinstance(sizes, list) or not sizes:
        raise ConfigError(f"{where}: sizes must be a non-empty list of [generation, size] pairs")
    last = 0
    for pair in sizes:
        if not (isinstance(pair, list) and len(pair) == 2 and all(_is_int(v) for v in pair)):
            raise ConfigError(f"{where}: sizes entry {pair!r} is not a [generation, size] pair "
                              "of whole numbers")
        generation, size = pair
        if generation < 1:
            raise ConfigError(f"{where}: sizes generation {generation}: generations count from 1")
        if generation <= last:
            raise ConfigError(f"{where}: sizes generation {generation} does not come after "
                              f"generation {last}")
        if not SIZE_RANGE[0] <= size <= SIZE_RANGE[1]:
            raise ConfigError(f"{where}: size {size} of generation {generation} is out of range "
                              f"{SIZE_RANGE[0]} to {SIZE_RANGE[1]}")
        last = generation


def check_model(model, where):
    """Checks a scenario's `model` map against the ranges driftsim accepts."""
    if not isinstance(model, dict) or not model:
        raise ConfigError(f"{where}: model must be a mapping of model options "
                          f"({', '.join(MODEL_OPTIONS)})")
    for key in model:
        if key not in MODEL_OPTIONS:
            raise ConfigError(f"{where}: unknown model option {key!r} "
                              f"(known: {', '.join(MODEL_OPTIONS)})")
    if "burn_in" in model:
        g = model["burn_in"]
        if not (_is_int(g) and 0 <= g <= MAX_BURN_IN):
            raise ConfigError(f"{where}: burn_in must be a whole number of generations, "
                              f"0 to {MAX_BURN_IN}, got {g!r}")
    if "mutation_rate" in model:
        u = model["mutation_rate"]
        if not (_is_number(u) and 0 <= u <= MAX_MUTATION_RATE):
            raise ConfigError(f"{where}: mutation_rate must be a number from 0 to "
                              f"{MAX_MUTATION_RATE}, got {u!r}{_yaml_hint(u)}")
    if "ne_ratio" in model:
        r = model["ne_ratio"]
        if not (_is_number(r) and 0 < r <= 1):
            raise ConfigError(f"{where}: ne_ratio must be a number above 0 and at most 1, "
                              f"got {r!r}{_yaml_hint(r)}")
    if "sizes" in model:
        _check_sizes(model["sizes"], where)
    if "chromosomes" in model:
        c = model["chromosomes"]
        form = CHROMOSOMES.match(c) if isinstance(c, str) else None
        if not form or not 0 < float(form.group(2)) <= MAX_MORGANS:
            hint = " (quote it: YAML reads 20:1 as a number)" if _is_int(c) else ""
            raise ConfigError(f"{where}: chromosomes must be \"N:M\", N chromosomes of M "
                              f"Morgans (above 0, at most {MAX_MORGANS}), got {c!r}{hint}")


def _check_label(label, where):
    """A label is a cell of summary.tsv and a title in the figure: one line of text, no tabs."""
    if not (isinstance(label, str) and label.strip()):
        raise ConfigError(f"{where}: label must be a non-empty text, got {label!r}")
    if any(unicodedata.category(c) in ("Cc", "Zl", "Zp") for c in label):
        raise ConfigError(f"{where}: label {label!r} must be one line without tabs or other "
                          "control characters")


def check_outdir(config):
    """The `outdir` key: a folder name Snakemake can use in its file patterns."""
    outdir = config.get("outdir", "results")
    if not (isinstance(outdir, str) and outdir.strip()):
        raise ConfigError(f"outdir: expected a folder name, got {outdir!r}")
    if "{" in outdir or "}" in outdir or any(unicodedata.category(c) == "Cc" for c in outdir):
        raise ConfigError(f"outdir {outdir!r}: braces and control characters cannot be part of "
                          "a folder name here")
    return outdir


def _check_overrides(overrides, where):
    if not isinstance(overrides, dict):
        raise ConfigError(f"{where}: expected a mapping of parameter names to values")
    for name, value in overrides.items():
        if name not in PARAM_TYPES:
            raise ConfigError(f"{where}: unknown parameter {name!r} (known: {', '.join(PARAM_NAMES)})")
        if name in MANAGED:
            raise ConfigError(f"{where}: {name} is set by the workflow and cannot be overridden")
        _check_value(name, value, where)


def _value_label(value):
    return format_value(value).replace("+", "")


def scenarios(config):
    """Returns the ordered list of (name, overrides, model) of the study.

    `grid` maps parameter names to lists of values; every combination is one scenario, named
    after its values (Ne100_NumGen5). `scenarios` maps further names to explicit overrides,
    for changes that go together (the migration model with its rate and source sample), and
    to a `model` map of driftsim's model options ({} where none is given)."""
    result = []
    grid = config.get("grid") or {}
    if not isinstance(grid, dict):
        raise ConfigError("grid: expected a mapping of parameter names to lists of values")
    for name, values in grid.items():
        if name == "model":
            raise ConfigError("grid: model options go in a named scenario's model map")
        if not isinstance(values, list) or not values:
            raise ConfigError(f"grid: {name} needs a non-empty list of values")
        for value in values:
            _check_overrides({name: value}, "grid")
    if grid:
        names = list(grid)
        for combo in itertools.product(*(grid[n] for n in names)):
            label = "_".join(f"{n}{_value_label(v)}" for n, v in zip(names, combo))
            result.append((label, dict(zip(names, combo)), {}))
    explicit = config.get("scenarios") or {}
    if not isinstance(explicit, dict):
        raise ConfigError("scenarios: expected a mapping of scenario names to overrides")
    for label, entry in explicit.items():
        where = f"scenario {label}"
        if not isinstance(entry, dict) or not entry:
            raise ConfigError(f"{where}: expected a mapping of parameter names to values "
                              "and/or a model map")
        overrides = {k: v for k, v in entry.items() if k not in ("model", "label")}
        model = entry.get("model", {})
        if "label" in entry:
            _check_label(entry["label"], where)
        if not overrides and "model" not in entry:
            raise ConfigError(f"{where}: expected a mapping of parameter names to values "
                              "and/or a model map")
        _check_overrides(overrides, where)
        if "model" in entry:
            check_model(model, where)
        result.append((str(label), overrides, dict(model)))
    if not result:
        raise ConfigError("no scenarios: give a grid, scenarios, or both")
    seen = set()
    for label, _, _ in result:
        if not SCENARIO_NAME.match(label):
            raise ConfigError(f"scenario name {label!r}: use letters, digits and _ . + - only")
        if label in seen:
            raise ConfigError(f"scenario name {label!r} appears twice")
        seen.add(label)
    return result


def check_config(config):
    """Validates the whole configuration; returns (template, scenarios, replicates, base_seed)."""
    template = config.get("template")
    if not isinstance(template, dict):
        raise ConfigError("template: expected a mapping holding the 19 parameter values")
    missing = [n for n in PARAM_NAMES if n not in template]
    extra = [n for n in template if n not in PARAM_TYPES]
    if missing or extra:
        raise ConfigError(f"template: missing {missing}, unknown {extra}")
    for name in PARAM_NAMES:
        _check_value(name, template[name], "template")
    replicates = config.get("replicates")
    if not isinstance(replicates, int) or isinstance(replicates, bool) or replicates < 1:
        raise ConfigError(f"replicates: expected a positive integer, got {replicates!r}")
    base_seed = config.get("base_seed")
    if not isinstance(base_seed, int) or isinstance(base_seed, bool):
        raise ConfigError(f"base_seed: expected an integer, got {base_seed!r}")
    study = scenarios(config)
    for label, overrides, _ in study:
        values = {**template, **overrides}
        # The one cross-value rule that a grid over Ne easily breaks; driftsim checks the rest.
        if values["MaxNe"] < values["Ne"]:
            raise ConfigError(f"scenario {label}: MaxNe {values['MaxNe']} is below Ne {values['Ne']}")
    return template, study, replicates, base_seed


def job_threads(config):
    """CPUs each driftsim job asks the scheduler for: `threads`, a positive integer, default 1."""
    threads = config.get("threads", 1)
    if not isinstance(threads, int) or isinstance(threads, bool) or threads < 1:
        raise ConfigError(f"threads: expected a positive integer, got {threads!r}")
    return threads


def check_exports(config):
    """The formats of the optional `exports` key, in order; refused before anything runs if
    unknown, repeated, or plink for a scenario that is not biallelic."""
    exports = config.get("exports") or []
    if not isinstance(exports, list) or not all(isinstance(f, str) for f in exports):
        raise ConfigError(f"exports: expected a list of formats, got {exports!r}")
    for f in exports:
        if f not in EXPORT_SUFFIXES:
            raise ConfigError(f"exports: unknown format {f!r} (known: {', '.join(EXPORT_SUFFIXES)})")
    if len(set(exports)) != len(exports):
        raise ConfigError(f"exports: a format is named twice in {exports}")
    if "plink" in exports:
        template, study, _, _ = check_config(config)
        for label, overrides, _ in study:
            alleles = {**template, **overrides}["NumAllele"]
            if alleles != 2:
                raise ConfigError(f"exports: plink takes biallelic data only; scenario {label} "
                                  f"has NumAllele {alleles}")
    return exports


def export_files(config, folder):
    """The export files of one replicate folder, for every format of `exports`."""
    stem = check_config(config)[0]["OutFile"]
    return [os.path.join(folder, stem + suffix)
            for f in check_exports(config) for suffix in EXPORT_SUFFIXES[f]]


# ---------------------------------------------------------------------------------------------
# Scenario labels and external estimators

# Words of a generated label, per parameter: "Ne 100, 2 gen.".
LABEL_WORDS = {"Ne": "Ne {}", "NumGen": "{} gen.", "NumLoci": "{} loci",
               "NumAllele": "{} alleles", "NumIndiv1": "S1 {}", "NumIndiv2": "S2 {}",
               "MigRate": "m {}", "Model": "model {}"}


def scenario_labels(config):
    """Readable name of each scenario: its `label`, else words for a grid scenario's values,
    else its name."""
    explicit = config.get("scenarios") or {}
    labels = {}
    for name, overrides, _ in scenarios(config):
        entry = explicit.get(name) if isinstance(explicit, dict) else None
        if isinstance(entry, dict) and "label" in entry:
            labels[name] = entry["label"].strip()
        elif entry is None:
            labels[name] = ", ".join(LABEL_WORDS.get(k, k + " {}").format(format_value(v))
                                     for k, v in overrides.items())
        else:
            labels[name] = name
    return labels


# Built-in estimators of driftsim-stats and their intervals; an external estimator's own
# interval, if it gives one, is called "plugin".
BUILTIN_ESTIMATORS = ("Fc", "Fk", "Fs")
BUILTIN_INTERVALS = ("jackknife", "chisq")
# driftsim-stats' jackknife over chromosomes, given for linked runs only: its columns join the
# table when some replicate has them.
LINKED_INTERVAL = "jackknife_by_chromosomes"
PLUGIN_INTERVAL = "plugin"
INTERVAL_KINDS = (*BUILTIN_INTERVALS, LINKED_INTERVAL, PLUGIN_INTERVAL)
# Input formats of an external estimator: an export of driftsim-convert, or the data file
# itself ({input} the .dat; {par} is always the .par).
ESTIMATOR_INPUTS = [*EXPORT_SUFFIXES, "dat"]
ESTIMATOR_KEYS = {"name", "input", "command", "version", "scenarios", "time_limit"}
# Seconds an external estimator may run on one replicate before it is stopped.
DEFAULT_TIME_LIMIT = 3600
ESTIMATOR_NAME = re.compile(r"^[A-Za-z][A-Za-z0-9_]*$")
PLACEHOLDERS = ("input", "par", "output", "python", "workflow")


def _placeholders(command, where):
    try:
        fields = [f for _, f, _, _ in string.Formatter().parse(command) if f is not None]
    except ValueError as error:
        raise ConfigError(f"{where}: command {command!r}: {error} (write {{{{ and }}}} for "
                          "literal braces)") from None
    for field in fields:
        if field not in PLACEHOLDERS:
            raise ConfigError(f"{where}: unknown placeholder {{{field}}} in the command "
                              f"(known: {', '.join('{' + p + '}' for p in PLACEHOLDERS)})")
    return fields


def check_estimators(config):
    """The external estimators of the `estimators` key, checked before anything runs: a list of
    dicts with name, input, command, version (a command, or None) and scenarios (the names
    it runs on)."""
    entries = config.get("estimators") or []
    if not isinstance(entries, list):
        raise ConfigError(f"estimators: expected a list, got {entries!r}")
    template, study, _, _ = check_config(config)
    names = [label for label, _, _ in study]
    result = []
    for i, entry in enumerate(entries):
        where = f"estimators[{i}]"
        if not isinstance(entry, dict):
            raise ConfigError(f"{where}: expected a mapping with name, input and command")
        unknown = set(entry) - ESTIMATOR_KEYS
        if unknown:
            raise ConfigError(f"{where}: unknown key {sorted(unknown)[0]!r} "
                              f"(known: {', '.join(sorted(ESTIMATOR_KEYS))})")
        name = entry.get("name")
        if not (isinstance(name, str) and ESTIMATOR_NAME.match(name)):
            raise ConfigError(f"{where}: name must be a letter then letters, digits or _, "
                              f"got {name!r}")
        where = f"estimator {name}"
        if name in BUILTIN_ESTIMATORS or name in [e["name"] for e in result]:
            raise ConfigError(f"{where}: the name is taken")
        fmt = entry.get("input")
        if fmt not in ESTIMATOR_INPUTS:
            raise ConfigError(f"{where}: input must be one of {', '.join(ESTIMATOR_INPUTS)}, "
                              f"got {fmt!r}")
        command = entry.get("command")
        if not (isinstance(command, str) and command.strip()):
            raise ConfigError(f"{where}: command must be a non-empty text")
        if "output" not in _placeholders(command, where):
            raise ConfigError(f"{where}: the command must write {{output}}")
        version = entry.get("version")
        if version is not None:
            if not (isinstance(version, str) and version.strip()):
                raise ConfigError(f"{where}: version must be a command, got {version!r}")
            _placeholders(version, where)
        limit = entry.get("time_limit", DEFAULT_TIME_LIMIT)
        if not (_is_number(limit) and limit > 0):
            raise ConfigError(f"{where}: time_limit must be a number of seconds above 0, "
                              f"got {limit!r}")
        runs_on = entry.get("scenarios", names)
        if not (isinstance(runs_on, list) and runs_on):
            raise ConfigError(f"{where}: scenarios must be a non-empty list of scenario names")
        for label in runs_on:
            if label not in names:
                raise ConfigError(f"{where}: unknown scenario {label!r}")
            if fmt == "plink" and {**template, **dict(study[names.index(label)][1])}["NumAllele"] != 2:
                raise ConfigError(f"{where}: plink takes biallelic data only; scenario {label} "
                                  "is not biallelic")
        result.append({"name": name, "input": fmt, "command": command, "version": version,
                       "scenarios": [n for n in names if n in runs_on], "time_limit": limit})
    return result


def estimator_files(estimator, folder, stem):
    """The files an external estimator reads in a replicate folder: its input (for plink the
    .ped and .map) and the .par file."""
    if estimator["input"] == "dat":
        files = [os.path.join(folder, stem + ".dat")]
    else:
        files = [os.path.join(folder, stem + s) for s in EXPORT_SUFFIXES[estimator["input"]]]
    return files + [os.path.join(folder, stem + ".par")]


def estimate_file(folder, name):
    return os.path.join(folder, f"estimate_{name}.tsv")


def estimator_command(template, values):
    """A command template with its placeholders replaced by shell-quoted values."""
    return template.format(**{k: shlex.quote(str(v)) for k, v in values.items()})


# The numbers driftsim reads: a sign, digits with at most one point, an exponent; no blanks,
# no digit separators (float() would take "1_000" and " 1e3 "), no hexadecimal.
NUMBER = re.compile(r"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
# Besides numbers, an estimate may be infinite or missing.
ESTIMATE_WORDS = {"inf": math.inf, "+inf": math.inf, "-inf": -math.inf, "NA": math.nan,
                  "nan": math.nan, "NaN": math.nan}


def estimate_number(text):
    """A cell of an estimator's output as a number (inf, -inf; NaN for NA), or None when it is
    not one."""
    if text in ESTIMATE_WORDS:
        return ESTIMATE_WORDS[text]
    return float(text) if NUMBER.fullmatch(text) else None


def _inverse_bound(value):
    """A bound in Ne on the 1/Ne scale: 1/inf = 0, and a lower bound 0 leaves no lower limit."""
    if math.isinf(value):
        return 0.0
    if value == 0:
        return math.inf
    return 1 / value


def read_estimate(path):
    """An external estimator's output: a header with Ne (and optionally lower and upper, both
    or neither; other columns are ignored) and one row of numbers (inf, -inf and NA allowed).
    Returns {"Ne": text, "lower": text, "upper": text} with NA where not given.

    Refused: a column named twice, a cell that is not a number by driftsim's rule, an estimate
    or upper bound of 0 (no Ne), and an interval whose lower bound lies above its upper one on
    the 1/Ne scale (a negative bound lies beyond infinity, so lower 30 with upper -200 holds)."""
    with open(path) as handle:
        lines = [line.rstrip("\r\n") for line in handle if line.strip()]
    if len(lines) != 2:
        raise ValueError(f"{path}: expected a header and one row, got {len(lines)} lines")
    header, cells = lines[0].split("\t"), lines[1].split("\t")
    if len(header) != len(cells):
        raise ValueError(f"{path}: {len(header)} columns in the header, {len(cells)} in the row")
    for key in ("Ne", "lower", "upper"):
        if header.count(key) > 1:
            raise ValueError(f"{path}: the column {key} appears {header.count(key)} times")
    row = dict(zip(header, cells))
    if "Ne" not in row:
        raise ValueError(f"{path}: no Ne column (header {lines[0]!r})")
    if ("lower" in row) != ("upper" in row):
        raise ValueError(f"{path}: give both lower and upper, or neither")
    result, values = {}, {}
    for key in ("Ne", "lower", "upper"):
        text = row.get(key, "NA").strip()
        value = estimate_number(text)
        if value is None:
            raise ValueError(f"{path}: {key} {text!r} is not a number")
        if value == 0 and key != "lower":
            raise ValueError(f"{path}: {key} 0 is no effective size (write NA where there is "
                             "none, inf where it is infinite)")
        values[key] = value
        result[key] = "NA" if math.isnan(value) else "%.6g" % value
    lower, upper = values["lower"], values["upper"]
    if not (math.isnan(lower) or math.isnan(upper)):
        if _inverse_bound(upper) > _inverse_bound(lower):
            raise ValueError(f"{path}: lower bound {row['lower'].strip()} lies above upper bound "
                             f"{row['upper'].strip()} (on the 1/Ne scale, where a negative "
                             "bound lies beyond infinity)")
    return result


def run_estimate(command, output, time_limit):
    """Runs an external estimator's shell command, stopping it (and every process it started)
    after time_limit seconds, then reads its output as the table will. Raises ValueError with
    one line saying what went wrong."""
    # bash, as Snakemake's own shell commands use, so that a command runs as it did in a rule.
    shell = shutil.which("bash") or "/bin/sh"
    process = subprocess.Popen([shell, "-c", command], start_new_session=True)

    def stop(*_):
        # The command runs in a session of its own, so an interrupt of the job must reach it.
        _kill_group(process)
        sys.exit(f"replicates.py: estimator stopped by a signal: {command}")

    old = {sig: signal.signal(sig, stop) for sig in (signal.SIGINT, signal.SIGTERM)}
    try:
        status = process.wait(timeout=time_limit)
    except subprocess.TimeoutExpired:
        _kill_group(process)
        raise ValueError(f"the estimator ran longer than its time limit of {time_limit:g} s "
                         "(time_limit in the configuration) and was stopped") from None
    finally:
        for sig, handler in old.items():
            signal.signal(sig, handler)
    if status != 0:
        raise ValueError(f"the estimator failed with exit status {status}")
    if not os.path.exists(output):
        raise ValueError(f"the estimator exited with status 0 but wrote no output {output}")
    return read_estimate(output)


def _kill_group(process):
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    if process.returncode is None:
        process.wait()


# ---------------------------------------------------------------------------------------------
# Seeds

# The seed rule in words, for the report; hashed_seed and assign_seeds are its code.
SEED_RULE = ("A replicate's seed is 1 plus the first 8 bytes of SHA-256 of (base seed, scenario "
             "name, replicate number, attempt) modulo 2147483646; the attempt counts up from 0 "
             "past multiples of 262144, which driftsim refuses, and past seeds already given "
             "(replicates in sorted order).")


def seed_is_valid(seed):
    return 0 < abs(seed) <= SEED_MAX and seed % SEED_FORBIDDEN_MULTIPLE != 0


def hashed_seed(base_seed, scenario, replicate, attempt):
    """A seed in 1..SEED_MAX from a hash of the base seed, the scenario name, the replicate
    number and an attempt counter (raised only to step past a refused or repeated value)."""
    key = f"{base_seed}\0{scenario}\0{replicate}\0{attempt}".encode()
    digest = hashlib.sha256(key).digest()
    return int.from_bytes(digest[:8], "big") % SEED_MAX + 1


def assign_seeds(base_seed, keys, draw=hashed_seed):
    """Maps each (scenario, replicate) of `keys` to a distinct valid seed.

    A replicate's seed depends on the base seed, its scenario name and its number, not on the
    rest of the study, so adding replicates or scenarios leaves existing seeds (and finished
    runs) alone. Keys are taken in sorted order, so the rare step past a repeated value is
    reproducible too."""
    seeds, used = {}, set()
    for scenario, replicate in sorted(keys):
        attempt = 0
        while True:
            seed = draw(base_seed, scenario, replicate, attempt)
            if seed_is_valid(seed) and seed not in used:
                break
            attempt += 1
            if attempt > 1000:
                raise RuntimeError("no valid seed found; the seed source is broken")
        seeds[(scenario, replicate)] = seed
        used.add(seed)
    return seeds


# ---------------------------------------------------------------------------------------------
# Parameter files

def format_value(value):
    if isinstance(value, float):
        # Shortest text that reads back as the same number; driftsim wants an upper-case E.
        return repr(value).upper()
    return str(value)


def study_plan(config):
    """Every replicate of the study: list of dicts with scenario, replicate, seed and values."""
    template, study, replicates, base_seed = check_config(config)
    keys = [(label, k) for label, _, _ in study for k in range(1, replicates + 1)]
    seeds = assign_seeds(base_seed, keys)
    plan = []
    for label, overrides, model in study:
        for k in range(1, replicates + 1):
            values = {**template, **overrides, "IDUM": seeds[(label, k)]}
            plan.append({"scenario": label, "replicate": k, "seed": seeds[(label, k)],
                         "values": values, "overrides": dict(overrides), "model": dict(model),
                         "dir": replicate_dir(label, k)})
    return plan


def replicate_dir(scenario, replicate):
    return os.path.join(scenario, f"rep{replicate}")


def sizes_file(scenario):
    """A scenario's sizes file, relative to OUTDIR; its replicates read it as ../sizes.txt."""
    return os.path.join(scenario, SIZES_FILE)


def sizes_text(sizes):
    """The lines 'GENERATION SIZE' of driftsim's --sizes file."""
    return "".join(f"{generation} {size}\n" for generation, size in sizes)


def param_text(values):
    """The parameter file: the 19 values in file order, each followed by its name."""
    lines = []
    for name in PARAM_NAMES:
        lines.append(f"{format_value(values[name]):<12} {name}")
    return "\n".join(lines) + "\n"


def driftsim_args(item, stem):
    """The options that make the shared parameter file one replicate: its seed, the output stem
    (the replicate's folder is the working directory), its scenario's values and the model
    options the scenario gives (none given: driftsim's defaults)."""
    args = ["--seed", str(item["seed"]), "--out", stem]
    for name, value in item["overrides"].items():
        args += ["--set", f"{name}={format_value(value)}"]
    for key, option in MODEL_OPTIONS.items():
        if key == "sizes" and "sizes" in item["model"]:
            args += [option, os.path.join("..", SIZES_FILE)]
        elif key in item["model"]:
            args += [option, format_value(item["model"][key])]
    return args


def shell_words(args):
    return " ".join(shlex.quote(a) for a in args)


def replicate_command(driftsim, param_file, item, stem):
    """The shell command that runs one replicate in its folder, with its record in summary.json
    and its console in driftsim.log."""
    args = [driftsim, param_file, *driftsim_args(item, stem), "--summary", SUMMARY_FILE]
    return shell_words(args) + " > driftsim.log 2>&1"


def read_summary(path):
    """driftsim's record of a replicate, checked for the fields the table takes."""
    with open(path) as handle:
        record = json.load(handle)
    if record.get("exit_status") != 0 or "parameters" not in record or "seconds" not in record:
        raise ValueError(f"{path}: not the record of a completed driftsim run")
    if "true_values" not in record:
        raise ValueError(f"{path}: no true_values; the driftsim that wrote it is too old")
    return record


def write_if_changed(path, text):
    """Writes path unless it holds text already, so that its time stamp stays."""
    if os.path.exists(path):
        with open(path) as handle:
            if handle.read() == text:
                return
    write_text_atomic(path, text)


def write_text_atomic(path, text):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    tmp = path + ".tmp"
    with open(tmp, "w") as handle:
        handle.write(text)
    os.replace(tmp, path)


# ---------------------------------------------------------------------------------------------
# Stats tables and the aggregate table

def read_stats(path):
    """Parses a driftsim-stats table into {row name: {column: text}}.

    The table starts with the columns of STATS_HEADER; later releases add columns after them
    (and rows after the S1-S2 and S1-S0 rows), which are read too."""
    with open(path) as handle:
        lines = [line.rstrip("\r\n") for line in handle if line.strip()]
    header = lines[0].split("\t") if lines else []
    if header[:len(STATS_HEADER)] != STATS_HEADER:
        raise ValueError(f"{path}: unexpected header {lines[0] if lines else '(empty file)'!r}")
    rows = {}
    for line in lines[1:]:
        cells = line.split("\t")
        if len(cells) != len(header):
            raise ValueError(f"{path}: row with {len(cells)} cells, expected {len(header)}: {line!r}")
        rows[cells[0]] = dict(zip(header, cells))
    for needed in ("S1", "S2", "S1-S2"):
        if needed not in rows:
            raise ValueError(f"{path}: no {needed} row")
    return rows


SAMPLE_STATS = ("individuals", "alleles", "Ho", "He")
TEMPORAL_STATS = ("Fc", "Fk", "Fs", "Ne_Fc", "Ne_Fk", "Ne_Fs")


def varied_params(config):
    """Parameters that some scenario sets, in file order; Ne always (the true value)."""
    _, study, _, _ = check_config(config)
    keys = {"Ne"}
    for _, overrides, _ in study:
        keys.update(overrides)
    return [n for n in PARAM_NAMES if n in keys]


# Columns taken from each replicate's run record: the true values the estimates are compared
# with (the effective size whose drift is the expected F between the samples, and that F), then
# phase times in seconds and peak memory.
TRUE_COLUMNS = {"true_Ne": "drift_ne", "true_F": "temporal_f"}
RUN_PHASES = ("initialize", "generations", "samples", "write", "total")
RUN_COLUMNS = [f"seconds_{phase}" for phase in RUN_PHASES] + ["peak_memory_bytes"]


# Interval columns of the table: for each F and moment Ne of driftsim-stats and each of its 95%
# intervals, the lower and upper bound, from the rows S1-S2_<interval>_low and _high.
def interval_columns(kinds):
    return [f"{stat}_{kind}_{side}" for stat in TEMPORAL_STATS for kind in kinds
            for side in ("lower", "upper")]


INTERVAL_COLUMNS = interval_columns(BUILTIN_INTERVALS)


def number(text):
    try:
        return float(text)
    except (TypeError, ValueError):
        return math.nan


def inverse_moment_ne(row):
    """The moment estimate on the 1/Ne scale: 1/Ne where Ne is finite; where driftsim-stats
    gives inf (the drift part of F is not above zero), 2 (F - 1/(2 S1) - 1/(2 S2)) / t from the
    S1-S2 row (harmonic-mean sample sizes S1_hmean, S2_hmean and generations t), which is zero
    or negative. Returns {estimator: text}."""
    result = {}
    for name in BUILTIN_ESTIMATORS:
        ne = number(row.get(f"Ne_{name}"))
        if math.isfinite(ne) and ne != 0:
            value = 1 / ne
        elif math.isinf(ne):
            f, s1, s2, t = (number(row.get(k)) for k in (name, "S1_hmean", "S2_hmean", "t"))
            value = 2 * (f - 1 / (2 * s1) - 1 / (2 * s2)) / t if t > 0 else math.nan
            value = min(value, 0.0)  # inf was given: nothing above the tolerance
        else:
            value = math.nan
        result[name] = "NA" if math.isnan(value) else "%.6g" % value
    return result


def inverse_text(ne_text):
    """1/Ne of an estimate given as text (inf gives 0, a negative Ne a negative value)."""
    ne = number(ne_text)
    if math.isnan(ne) or ne == 0:
        return "NA"
    return "%.6g" % (0.0 if math.isinf(ne) else 1 / ne)


def estimator_columns(estimators):
    """Table columns of the external estimators: Ne_<name>, its bounds and 1/Ne."""
    return [c for e in estimators for c in (f"Ne_{e['name']}", f"Ne_{e['name']}_lower",
                                            f"Ne_{e['name']}_upper", f"inv_Ne_{e['name']}")]


def aggregate(config, outdir, table_path):
    plan = study_plan(config)
    columns = varied_params(config)
    estimators = check_estimators(config)
    records = []
    with_source = with_linkage = False
    for item in plan:
        folder = os.path.join(outdir, item["dir"])
        run = read_summary(os.path.join(folder, SUMMARY_FILE))
        stats = read_stats(os.path.join(folder, STATS_FILE))
        values = run["parameters"]
        if values["IDUM"] != item["seed"]:
            raise ValueError(f"{folder}: the run's seed {values['IDUM']} differs from the "
                             f"planned seed {item['seed']}; run the replicate again")
        record = {"scenario": item["scenario"], "replicate": str(item["replicate"]),
                  "seed": str(values["IDUM"])}
        for name in columns:
            record[name] = format_value(values[name])  # as driftsim read it
        for column, key in TRUE_COLUMNS.items():
            record[column] = "%.6g" % run["true_values"][key]
        for sample in ("S1", "S2"):
            for stat in SAMPLE_STATS:
                record[f"{sample}_{stat}"] = stats[sample][stat]
        for stat in TEMPORAL_STATS:
            record[stat] = stats["S1-S2"][stat]
        # Older driftsim-stats tables have no interval rows: their bounds are NA.
        with_linkage |= f"S1-S2_{LINKED_INTERVAL}_low" in stats
        for kind in (*BUILTIN_INTERVALS, LINKED_INTERVAL):
            for side, suffix in (("lower", "low"), ("upper", "high")):
                bounds = stats.get(f"S1-S2_{kind}_{suffix}", {})
                for stat in TEMPORAL_STATS:
                    record[f"{stat}_{kind}_{side}"] = bounds.get(stat, "NA")
        for name, value in inverse_moment_ne(stats["S1-S2"]).items():
            record[f"inv_Ne_{name}"] = value
        for estimator in estimators:
            if item["scenario"] not in estimator["scenarios"]:
                continue
            name = estimator["name"]
            estimate = read_estimate(estimate_file(folder, name))
            record[f"Ne_{name}"] = estimate["Ne"]
            record[f"Ne_{name}_lower"] = estimate["lower"]
            record[f"Ne_{name}_upper"] = estimate["upper"]
            record[f"inv_Ne_{name}"] = inverse_text(estimate["Ne"])
        if "S0" in stats:
            with_source = True
            for stat in SAMPLE_STATS:
                record[f"S0_{stat}"] = stats["S0"][stat]
            record["Fst"] = stats["S1-S0"]["Fst"] if "S1-S0" in stats else "NA"
        for phase in RUN_PHASES:
            record[f"seconds_{phase}"] = "%.6g" % run["seconds"][phase]
        record["peak_memory_bytes"] = str(run["peak_memory_bytes"])
        records.append(record)
    header = ["scenario", "replicate", "seed", *columns, *TRUE_COLUMNS,
              *(f"{s}_{stat}" for s in ("S1", "S2") for stat in SAMPLE_STATS), *TEMPORAL_STATS,
              *INTERVAL_COLUMNS,
              *(interval_columns([LINKED_INTERVAL]) if with_linkage else []),
              *(f"inv_Ne_{name}" for name in BUILTIN_ESTIMATORS),
              *estimator_columns(estimators)]
    if with_source:
        header += [f"S0_{stat}" for stat in SAMPLE_STATS] + ["Fst"]
    header += RUN_COLUMNS
    text = "\t".join(header) + "\n"
    for record in records:
        text += "\t".join(record.get(col, "NA") for col in header) + "\n"
    write_text_atomic(table_path, text)
    return len(records)


# ---------------------------------------------------------------------------------------------
# Command line, for runs without Snakemake

def _load_yaml(path):
    import yaml
    with open(path) as handle:
        return yaml.safe_load(handle)


def commands(config, outdir):
    """Writes OUTDIR/SimPara.txt and the sizes file of every scenario with sizes (each left
    alone when unchanged), makes the replicate folders and returns, one a replicate, the shell
    command that runs it in its folder with driftsim from the PATH."""
    template, study, _, _ = check_config(config)
    path = os.path.abspath(os.path.join(outdir, PARAM_FILE))
    write_if_changed(path, param_text(template))
    for label, _, model in study:
        if "sizes" in model:
            write_if_changed(os.path.join(outdir, sizes_file(label)), sizes_text(model["sizes"]))
    lines = []
    for item in study_plan(config):
        folder = os.path.join(outdir, item["dir"])
        os.makedirs(folder, exist_ok=True)
        lines.append(f"cd {shlex.quote(folder)} && "
                     + replicate_command("driftsim", path, item, template["OutFile"]))
    return lines


def main(argv):
    usage = __doc__.split("\n\n", 1)[1]
    if len(argv) >= 2 and argv[1] == "commands" and len(argv) == 4:
        for line in commands(_load_yaml(argv[2]), argv[3]):
            print(line)
        return 0
    if len(argv) == 5 and argv[1] == "run-estimate":
        limit = estimate_number(argv[2])
        if limit is None or not 0 < limit < math.inf:
            raise ValueError(f"time limit {argv[2]!r} is not a number of seconds above 0")
        estimate = run_estimate(argv[4], argv[3], limit)
        print(f"{argv[3]}: Ne {estimate['Ne']} [{estimate['lower']}, {estimate['upper']}]")
        return 0
    if len(argv) == 3 and argv[1] == "check-estimate":
        estimate = read_estimate(argv[2])
        print(f"{argv[2]}: Ne {estimate['Ne']} [{estimate['lower']}, {estimate['upper']}]")
        return 0
    if len(argv) >= 2 and argv[1] == "aggregate" and len(argv) == 5:
        config = _load_yaml(argv[2])
        if config.get("estimators"):
            # Runs without Snakemake run driftsim-stats only.
            print("replicates.py: external estimators are left out of the table",
                  file=sys.stderr)
            config["estimators"] = []
        count = aggregate(config, argv[3], argv[4])
        print(f"{argv[4]}: {count} replicates", file=sys.stderr)
        return 0
    sys.stderr.write(usage)
    return 2


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except (ConfigError, ValueError) as error:
        sys.exit(f"replicates.py: {error}")
    except OSError as error:  # a missing or unreadable file, in one line
        sys.exit(f"replicates.py: {error.filename}: {error.strerror}")
