"""driftsim from Python: temporal genetic samples of a Wright-Fisher population.

The engine of the command line: the same parameters give the same bytes. Errors raise
(ParameterError for a bad value, OSError for a file that cannot be written) and nothing is
written unless asked::

    import driftsim
    params = driftsim.Parameters(Ne=500, NumLoci=1000)
    run = driftsim.simulate(params, seed=42)
    run.genotypes.shape        # (loci, individuals, 2), scikit-allel's layout
    run.stats()["S1-S2"]["Fc"]["Ne"], run.true_values["drift_ne"]
"""

import json
import math
import os
import sys
import time

import numpy as np

from . import _core

__all__ = ["Parameters", "ParameterError", "Run", "simulate", "read", "__version__"]
__version__ = _core.version

ParameterError = _core.ParameterError
ParameterError.__module__ = __name__
ParameterError.__doc__ = "A value driftsim refuses, with the command line's message."

# Value kinds of the parameter table (params.hpp: ValueKind).
_INTEGER, _REAL, _TEXT = 0, 1, 2


def _overrides(values, how):
    """(name, text, option, literal) for each keyword value, as --set and --out give them."""
    result = []
    for name, value in values.items():
        if isinstance(value, os.PathLike):
            value = os.fspath(value)
        if isinstance(value, str):
            # A text is read by the rules of its line, except the output stem: a path as it is.
            literal = name.lower() == "outfile"
            text = value
        elif isinstance(value, (bool, np.bool_)):
            literal, text = False, str(int(value))
        elif isinstance(value, (float, np.floating)):
            literal, text = False, repr(float(value))
        else:
            literal, text = False, str(value)
        result.append((name, text, f"{how}{name}={value!r}", literal))
    return result


class Parameters:
    """The nineteen values of a parameter file, checked as the command line checks them.

    ``Parameters(**values)`` starts from examples/SimPara.txt and replaces the values named
    (as ``--set`` names them, any case: ``Ne``, ``numloci``, ``NumIndiv1``, ``IDUM``,
    ``OutFile``...). Values read as they would on their line of the file; OutFile is taken
    as it is. Read a value as an attribute (``params.Ne``) or by name (``params["ne"]``).
    """

    __slots__ = ("_par", "_values")

    def __init__(self, **values):
        self._set(_core.Params.from_text(_core.example_params, "SimPara.txt",
                                         _overrides(values, "")))

    @classmethod
    def from_file(cls, path, **values):
        """Reads a parameter file, with the file's checks and messages; values replace its own."""
        path = os.fspath(path)
        if not os.path.exists(path):
            raise FileNotFoundError(2, f"Parameter file, {path}, does not exist!", path)
        self = cls.__new__(cls)
        self._set(_core.Params.from_file(path, _overrides(values, "")))
        return self

    def _set(self, par):
        self._par = par
        self._values = {}
        for name, kind, text in par.values():
            self._values[name] = int(text) if kind == _INTEGER else float(text) if kind == _REAL else text

    def replace(self, **values):
        """A copy with the values named replaced, checked again as a whole file is."""
        return self._replaced(values, "")

    def _replaced(self, values, how):
        new = Parameters.__new__(Parameters)
        new._set(_core.Params.from_text(self._par.file_text(), "parameters",
                                        _overrides(values, how)))
        return new

    def to_file(self, path):
        """Writes a parameter file that reads back as these values (whole or not at all)."""
        self._par.to_file(os.fspath(path))

    def as_dict(self):
        return dict(self._values)

    def _name(self, name):
        for key in self._values:
            if key.lower() == name.lower():
                return key
        raise KeyError(name)

    def __getitem__(self, name):
        return self._values[self._name(name)]

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __eq__(self, other):
        return isinstance(other, Parameters) and self._values == other._values

    def __hash__(self):
        return hash(tuple(self._values.items()))

    def __repr__(self):
        return "Parameters(" + ", ".join(f"{k}={v!r}" for k, v in self._values.items()) + ")"


def _stats_numbers(value):
    """driftsim-stats' JSON as Python numbers: NA (null) is NaN, an infinite Ne is inf."""
    if isinstance(value, dict):
        return {k: _stats_numbers(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_stats_numbers(v) for v in value]
    if value is None:
        return math.nan
    if value in ("inf", "-inf"):
        return float(value)
    return value


class _ProgressLine:
    """A tqdm-like line per phase on standard error: redrawn on a terminal, else every tenth."""

    def __init__(self, stream=None):
        self.stream = stream or sys.stderr
        self.terminal = hasattr(self.stream, "isatty") and self.stream.isatty()
        self.phase = None

    def __call__(self, phase, done, total):
        now = time.monotonic()
        if phase != self.phase:
            if self.phase is not None and self.terminal:
                self.stream.write("\n")
            self.phase, self.start, self.tenths = phase, now, -1
        f = min(done / total, 1.0) if total > 0 else 1.0
        tenths = int(f * 10)
        if not self.terminal and tenths <= self.tenths:
            return
        self.tenths = tenths
        elapsed = now - self.start
        left = f"{elapsed * (1 - f) / f:.0f}s" if f > 0 else "?"
        bar = "#" * int(f * 30) + "." * (30 - int(f * 30))
        line = f"{phase}: {done}/{total} [{bar}] {f * 100:3.0f}%  elapsed {elapsed:.0f}s  left {left}"
        self.stream.write(("\r" + line + "\x1b[K") if self.terminal else line + "\n")
        if self.terminal and f >= 1:
            self.stream.write("\n")
            self.phase = None
        self.stream.flush()


def _progress(progress):
    if progress is None or progress is False:
        return None
    if progress is True:
        return _ProgressLine()
    if callable(progress):
        return progress
    raise TypeError("progress must be True, False, None or a callable (phase, done, total)")


class Run:
    """The samples of a run: genotypes, labels, the statistics of driftsim-stats, the files.

    Holds the sampled records only (the population is gone once the run ends); ``genotypes``
    is made on first use and kept.
    """

    def __init__(self, samples, parameters=None, model=None):
        self._samples = samples
        self._genotypes = None
        self.parameters = parameters
        self.model = model or {}

    @property
    def genotypes(self):
        """int8 array, loci x individuals x 2: allele index (driftsim allele - 1), -1 missing.

        Individuals in the order of the data file: sample 1, sample 2, then the source sample.
        Read-only: write() writes the run's own records.
        """
        if self._genotypes is None:
            g = self._samples.genotypes()
            g.flags.writeable = False
            self._genotypes = g
        return self._genotypes

    @property
    def labels(self):
        """Each individual's label in the data file (S1_1, ..., S2_1, ..., S0_1, ...)."""
        return np.array(self._samples.labels)

    @property
    def sample(self):
        """Each individual's sample: "S1", "S2" or "S0" (the source sample)."""
        return np.array(["S0", "S1", "S2"])[np.array(self._samples.sample, dtype=np.intp)]

    @property
    def true_values(self):
        """The --summary record's true values: harmonic-mean Ne, expected F, sizes; None if read."""
        return self._samples.true_values

    @property
    def cpu_path(self):
        return self._samples.kernel

    def stats(self):
        """driftsim-stats' figures (its --format json object) of these samples, as numbers."""
        stem = self.parameters.OutFile if self.parameters is not None else "samples"
        figures = json.loads(self._samples.stats_json(stem + ".dat", stem + ".par"))
        del figures["data"], figures["parameters"]
        return _stats_numbers(figures)

    def write(self, stem=None, progress=None):
        """Writes <stem>.dat and <stem>.par, the command line's bytes, both or neither.

        stem defaults to the parameters' OutFile. Returns the two file names.
        """
        if stem is None:
            if self.parameters is None:
                raise ValueError("a run read from files has no parameters to write")
            stem = self.parameters.OutFile
        stem = os.fspath(stem)
        self._samples.write(stem, _progress(progress))
        return stem + ".dat", stem + ".par"

    def __repr__(self):
        return (f"<driftsim.Run: {self._samples.loci} loci, {self._samples.individuals} "
                f"individuals>")


def simulate(params, seed=None, burn_in=None, mutation_rate=None, sizes=None, ne_ratio=None,
             threads=None, progress=None):
    """Runs the simulation of params in memory and returns its samples as a Run.

    seed replaces IDUM (as --seed). burn_in, mutation_rate, ne_ratio are the command line's
    model options; sizes is a list of (generation, size) pairs, or the name of a sizes file.
    threads: as --threads, for this run alone (default: DRIFTSIM_THREADS, else the CPUs).
    progress: True for a progress line on standard error, or a callable (phase, done, total)
    called on this thread. The GIL is released while the engine runs; Ctrl-C stops the run and
    raises KeyboardInterrupt.
    """
    if not isinstance(params, Parameters):
        raise TypeError("params must be driftsim.Parameters")
    if seed is not None:
        params = params._replaced({"IDUM": seed}, "seed: ")
    options = []
    for name, value in (("burn-in", burn_in), ("mutation-rate", mutation_rate),
                        ("ne-ratio", ne_ratio)):
        if value is not None:
            if isinstance(value, (float, np.floating)):
                value = repr(float(value))
            options.append((name, str(value)))
    pairs, sizes_file = None, ""
    if isinstance(sizes, (str, os.PathLike)):
        sizes_file = os.fspath(sizes)
    elif sizes is not None:
        pairs = [(int(g), int(n)) for g, n in sizes]
    if threads is None:
        threads = 0
    elif isinstance(threads, bool) or not isinstance(threads, int) or not 1 <= threads <= 1024:
        raise ParameterError(f"threads: {threads!r} is not a thread count (1 to 1024)")
    samples = _core.simulate(params._par, options, pairs, sizes_file, threads, _progress(progress))
    model = {"burn_in": burn_in, "mutation_rate": mutation_rate, "sizes": sizes,
             "ne_ratio": ne_ratio}
    return Run(samples, params, model)


def read(dat, par=None):
    """A Run of a data file and its estimator parameter file (default: the .par beside it).

    Read and checked as driftsim-stats reads them. Such a Run has no parameters nor true
    values, and cannot be written.
    """
    dat = os.fspath(dat)
    par = os.fspath(par) if par is not None else (dat[:-4] if dat.endswith(".dat") else dat) + ".par"
    for name in (dat, par):
        if not os.path.exists(name):
            raise FileNotFoundError(2, f"cannot open {name}", name)
    return Run(_core.read(dat, par))
