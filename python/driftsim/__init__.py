"""driftsim from Python: temporal genetic samples of a Wright-Fisher population.

The engine of the command line: the same parameters and seed give the same bytes. Errors
raise (ParameterError for a bad value, TypeError for a value of the wrong type, OSError for a
file that cannot be read or written, MemoryError for tables that do not fit) and nothing is
written unless asked::

    import driftsim
    params = driftsim.Parameters(ne=500, num_loci=1000)   # isolated, no genotyping errors
    run = driftsim.simulate(params)                        # a fresh seed, kept in run.seed
    run.genotypes.shape        # (loci, individuals, 2), scikit-allel's layout
    run.stats()["S1-S2"]["Fc"]["Ne"], run.true_values["drift_ne"]
"""

import errno
import hashlib
import html
import json
import math
import numbers
import os
import re
import sys
import time

import numpy as np

from . import _core
from .seeds import fresh_seed, replicate_seeds, seed_is_valid

__all__ = ["Parameters", "ParameterError", "Run", "simulate", "read", "fresh_seed",
           "replicate_seeds", "seed_is_valid", "__version__"]
__version__ = _core.version

ParameterError = _core.ParameterError
ParameterError.__module__ = __name__
ParameterError.__doc__ = """A value driftsim refuses (a ValueError), with the program's message."""

# Value kinds of the parameter table (params.hpp: ValueKind).
_INTEGER, _REAL, _TEXT = 0, 1, 2

# The nineteen values in file order: the file's name, the Python name, the kind.
_FIELDS = [
    ("Model", "model", _INTEGER), ("Ne", "ne", _INTEGER), ("MigRate", "mig_rate", _REAL),
    ("NumLoci", "num_loci", _INTEGER), ("NumAllele", "num_alleles", _INTEGER),
    ("NumGen", "num_gen", _INTEGER), ("NumIndiv0", "num_indiv0", _INTEGER),
    ("NumIndiv1", "num_indiv1", _INTEGER), ("NumIndiv2", "num_indiv2", _INTEGER),
    ("IDUM", "seed", _INTEGER), ("OutFile", "out_file", _TEXT),
    ("INIT_POINT", "init_point", _INTEGER), ("MaxNe", "max_ne", _INTEGER),
    ("Monitor", "monitor", _INTEGER), ("NumThread", "num_threads", _INTEGER),
    ("MisRate", "mis_rate", _REAL), ("DropRate", "drop_rate", _REAL),
    ("FalseRate", "false_rate", _REAL), ("FreqDist", "freq_dist", _INTEGER),
]
_KIND = {name: kind for name, _, kind in _FIELDS}
_PYTHON_NAME = {name: snake for name, snake, _ in _FIELDS}
# Names that set several values at once, in this order.
_GROUPS = {"sample_sizes": ("NumIndiv0", "NumIndiv1", "NumIndiv2"),
           "error_rates": ("MisRate", "DropRate", "FalseRate")}


def _key(name):
    return name.replace("_", "").lower()


# Every spelling taken: the file's name and the Python name in any case, with or without
# underscores.
_NAMES = {}
for _file, _snake, _ in _FIELDS:
    _NAMES[_key(_file)] = _NAMES[_key(_snake)] = _file
_NAMES[_key("num_allele")] = "NumAllele"
_GROUP_NAMES = {_key(g): g for g in _GROUPS}

# Parameters(): the example file's sizes and seed, as an isolated population without
# genotyping errors.
_PLAIN = {"Model": 0, "MigRate": 0.0, "MisRate": 0.0, "DropRate": 0.0, "FalseRate": 0.0}
# MaxNe, unless given, is the largest size of the run, and at least the example file's.
_MAX_NE_FLOOR = 2000
_MAX_NE_LIMIT = 1000000


def _canonical(name):
    try:
        return _NAMES[_key(name)]
    except KeyError:
        raise TypeError(f"driftsim has no parameter {name!r}") from None


def _is_integer(value):
    return isinstance(value, (numbers.Integral, np.integer)) and not isinstance(
        value, (bool, np.bool_))


def _integer(name, value):
    """value as an int, or TypeError in Python's words."""
    if not _is_integer(value):
        raise TypeError(f"{name} must be an integer and got {value!r}")
    return int(value)


def _real(name, value):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (numbers.Real, np.number)):
        raise TypeError(f"{name} must be a number and got {value!r}")
    value = float(value)
    if not math.isfinite(value):
        raise ParameterError(f"{name} must be a finite number and got {value!r}")
    return value


def _text(name, value):
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str or path and got {value!r}")
    if "\0" in value:
        raise ParameterError(f"{name} must not hold a NUL character: {value!r}")
    return value


def _seed(value, name="seed"):
    """A seed given as an int (numpy's too), or a fresh one for None."""
    if value is None:
        return fresh_seed()
    return _integer(name, value)


def _overrides(values):
    """(name, text, option, literal) for each value, keyed by the file's names."""
    result = []
    for name, (given, value) in values.items():
        kind = _KIND[name]
        if kind == _INTEGER:
            text = str(int(value) if isinstance(value, (bool, np.bool_)) and name == "Model"
                       else _integer(given, value))
        elif kind == _REAL:
            text = repr(_real(given, value))
        else:
            text = _text(given, value)
        # OutFile is a path, taken as it is; the others are read by the rules of their line.
        result.append((name, text, f"{given}={value!r}", name == "OutFile"))
    return result


def _named(values):
    """{file name: (name as given, value)} of keyword values, the groups spread out."""
    named = {}
    for given, value in values.items():
        group = _GROUP_NAMES.get(_key(given))
        if group is not None:
            names = _GROUPS[group]
            if isinstance(value, (str, bytes)) or not hasattr(value, "__len__") or len(
                    value) != len(names):
                raise TypeError(f"{given} must be a sequence of {len(names)} values "
                                f"({', '.join(_PYTHON_NAME[n] for n in names)}) and got {value!r}")
            for i, name in enumerate(names):
                named[name] = (f"{given}[{i}]", value[i])
        else:
            named[_canonical(given)] = (given, value)
    return named


class Parameters:
    """The nineteen values of a parameter file, checked as the command line checks them.

    ``Parameters(**values)`` is the plain model: an isolated population of 1000 without
    genotyping errors, sampled twice 5 generations apart. The values named replace its own.
    ``Parameters.example()`` starts from examples/SimPara.txt instead (migration at 0.01 and
    1% of each genotyping error); ``Parameters.from_file(path)`` reads a parameter file.

    Parameters
    ----------
    **values
        Values by their Python name or by the file's name, in any case (``num_loci``,
        ``NumLoci``, ``numloci``); also ``sample_sizes=(source, sample 1, sample 2)`` and
        ``error_rates=(missing, dropout, false alleles)``. Integers must be ``int`` (numpy's
        too), rates numbers, ``out_file`` a ``str`` or path. The values, with their file
        names and the defaults of ``Parameters()``:

        ===========  ==========  ============  ===================================
        Python name  file name   Parameters()  meaning
        ===========  ==========  ============  ===================================
        model        Model       0             0 isolation, 1 migration
        ne           Ne          1000          population size, 2 to 100000
        mig_rate     MigRate     0.0           migrants per individual
        num_loci     NumLoci     100           loci
        num_alleles  NumAllele   10            alleles per locus, 2 to 127
        num_gen      NumGen      5             generations between samples
        num_indiv0   NumIndiv0   0             source sample (50 under Model 1)
        num_indiv1   NumIndiv1   50            sample 1
        num_indiv2   NumIndiv2   50            sample 2
        seed         IDUM        7             see simulate(seed=)
        out_file     OutFile     'run1'        stem of write()
        init_point   INIT_POINT  1             for the estimator (3 under Model 1)
        max_ne       MaxNe       2000          for the estimator: max(2000, Ne)
        monitor      Monitor     1             for the estimator
        num_threads  NumThread   0             for the estimator
        mis_rate     MisRate     0.0           missing genotypes
        drop_rate    DropRate    0.0           allelic dropout
        false_rate   FalseRate   0.0           false alleles
        freq_dist    FreqDist    0             initial frequencies
        ===========  ==========  ============  ===================================

    MaxNe, unless given, follows the run: the largest of 2000, Ne and the sizes given to
    simulate(). Every value can be read and set as an attribute by either name
    (``params.ne``, ``params.Ne = 500``) or by item (``params["num_loci"]``); setting one checks
    the whole set again.

    Raises
    ------
    TypeError
        A name driftsim does not have, or a value of the wrong type.
    ParameterError
        A value out of range, with the program's message.
    """

    __slots__ = ("_par", "_values", "_follow")

    def __init__(self, **values):
        plain = {name: (_PYTHON_NAME[name], value) for name, value in _PLAIN.items()}
        self._build(_core.example_params, "Parameters()", {**plain, **_named(values)}, True)

    @classmethod
    def example(cls, **values):
        """The values of examples/SimPara.txt, with the values named replaced.

        Parameters
        ----------
        **values
            As for ``Parameters``.

        Returns
        -------
        Parameters
        """
        self = cls.__new__(cls)
        self._build(_core.example_params, "SimPara.txt", _named(values), True)
        return self

    @classmethod
    def from_file(cls, path, **values):
        """Reads a parameter file, with the file's checks and messages.

        Parameters
        ----------
        path : str or os.PathLike
            A parameter file of nineteen lines, as the command line reads it.
        **values
            Values that replace the file's, as for ``Parameters``. The file's MaxNe stays.

        Returns
        -------
        Parameters

        Raises
        ------
        FileNotFoundError
            No file of that name.
        ParameterError
            A value the program refuses.
        """
        path = _text("path", path)
        if not os.path.exists(path):
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), path)
        self = cls.__new__(cls)
        self._build(None, path, _named(values), False)
        return self

    def _build(self, text, name, values, follow):
        """Reads text (None: the file name) with values; MaxNe follows Ne unless given."""
        follow = follow and "MaxNe" not in values

        def read(extra):
            overrides = _overrides({**values, **extra})
            if text is None:
                return _core.Params.from_file(name, overrides)
            return _core.Params.from_text(text, name, overrides)

        if follow:
            ne = self._read_values(read({"MaxNe": ("max_ne", _MAX_NE_LIMIT)}))["Ne"]
            par = read({"MaxNe": ("max_ne", max(_MAX_NE_FLOOR, ne))})
        else:
            try:
                par = read({})
            except ParameterError as e:
                if "MaxNe < Simulated Ne" not in str(e):
                    raise
                ne = self._read_values(read({"MaxNe": ("max_ne", _MAX_NE_LIMIT)}))["Ne"]
                max_ne = self._read_values(read({"Ne": ("ne", 2)}))["MaxNe"]
                fix = (" or leave max_ne out of Parameters() so that it follows ne"
                       if "MaxNe" in values else f" (the parameter file's MaxNe is {max_ne})")
                raise ParameterError(
                    f"max_ne ({max_ne}) is below ne ({ne}); the estimator's largest Ne must be "
                    f"at least Ne: give max_ne={ne} or more,{fix}") from None
        self._set(par, follow)

    @staticmethod
    def _read_values(par):
        return {name: int(text) if kind == _INTEGER else float(text) if kind == _REAL else text
                for name, kind, text in par.values()}

    def _set(self, par, follow):
        object.__setattr__(self, "_par", par)
        object.__setattr__(self, "_values", self._read_values(par))
        object.__setattr__(self, "_follow", follow)

    @classmethod
    def _wrap(cls, par, follow=False):
        self = cls.__new__(cls)
        self._set(par, follow)
        return self

    def replace(self, **values):
        """A copy with the values named replaced, checked again as a whole file is.

        Parameters
        ----------
        **values
            As for ``Parameters``.

        Returns
        -------
        Parameters
        """
        new = Parameters.__new__(Parameters)
        new._build(self._par.file_text(), "parameters", _named(values), self._follow)
        return new

    def to_file(self, path):
        """Writes a parameter file that reads back as these values, whole or not at all.

        Parameters
        ----------
        path : str or os.PathLike

        Raises
        ------
        OSError
            The file cannot be written; errno, strerror and filename say why.
        """
        path = _text("path", path)
        with _file_errors([path]):
            self._par.to_file(path)

    def as_dict(self, names="file"):
        """The nineteen values in file order.

        Parameters
        ----------
        names : {"file", "python"}
            Keys by the file's names (``NumLoci``) or the Python names (``num_loci``).

        Returns
        -------
        dict
        """
        if names == "python":
            return {_PYTHON_NAME[k]: v for k, v in self._values.items()}
        if names != "file":
            raise ValueError(f"names must be 'file' or 'python', not {names!r}")
        return dict(self._values)

    def __getitem__(self, name):
        try:
            return self.__getattr__(name)
        except AttributeError:
            raise KeyError(name) from None

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        key = _key(name)
        if key in _GROUP_NAMES:
            return tuple(self._values[n] for n in _GROUPS[_GROUP_NAMES[key]])
        if key in _NAMES:
            return self._values[_NAMES[key]]
        raise AttributeError(f"'Parameters' object has no attribute {name!r}")

    def __setattr__(self, name, value):
        if name.startswith("_") or (_key(name) not in _NAMES and _key(name) not in _GROUP_NAMES):
            raise AttributeError(f"'Parameters' object has no parameter {name!r}")
        new = self.replace(**{name: value})
        self._set(new._par, new._follow)

    def __setitem__(self, name, value):
        self.__setattr__(name, value)

    def __dir__(self):
        return sorted(set(super().__dir__()) | set(_PYTHON_NAME.values()) | set(_GROUPS))

    def __eq__(self, other):
        return isinstance(other, Parameters) and self._values == other._values

    __hash__ = None  # values can be set

    def __reduce__(self):
        return (_parameters_from_text, (self._par.file_text(), self._follow))

    def __repr__(self):
        return "Parameters(" + ", ".join(f"{_PYTHON_NAME[k]}={v!r}"
                                         for k, v in self._values.items()) + ")"

    def _repr_html_(self):
        rows = "".join(f"<tr><td>{_PYTHON_NAME[k]}</td><td>{k}</td><td>{html.escape(repr(v))}"
                       f"</td></tr>" for k, v in self._values.items())
        return ("<table><thead><tr><th>name</th><th>file</th><th>value</th></tr></thead>"
                f"<tbody>{rows}</tbody></table>")


def _parameters_from_text(text, follow):
    return Parameters._wrap(_core.Params.from_text(text, "parameters", []), follow)


# ---------------------------------------------------------------------------------------------
# Errors of files

_ERRNO_OF = {os.strerror(n): n for n in range(1, 134)}


class _file_errors:
    """Turns an engine error about a file that carries no errno (the readers' "cannot open
    <name>: <reason>", a failure no system call reported) into an OSError with errno, strerror
    and the file name, as Python's own file functions raise it."""

    def __init__(self, names):
        self.names = names

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        if error is None or not isinstance(error, (OSError, ParameterError)):
            return False
        if isinstance(error, OSError) and error.errno is not None:
            return False  # the engine's error kind already gave errno and file
        message = str(error.args[0]) if error.args else ""
        if message.startswith("Cannot ") and " file " in message:
            where, _, reason = message.rstrip("!").rpartition(": ")  # a name may hold ": "
            named = where.split(" file ", 1)[1]
        elif message.startswith("cannot open "):  # driftsim-stats' reader
            where, _, reason = message.rpartition(": ")
            named = where[len("cannot open "):]
        else:
            return False
        filename = next((n for n in self.names if n == named),
                        getattr(error, "filename", None) or named)
        code = _ERRNO_OF.get(reason)
        if code is None:
            raised = OSError(errno.EINVAL, reason, filename)
        else:
            raised = OSError(code, reason, filename)  # the subclass of the code, e.g. ENOENT
        raise raised from None


def _check_stem(stem):
    if os.path.isdir(stem) or stem.endswith(os.sep):
        raise IsADirectoryError(errno.EISDIR, "a stem must not name a folder: give a stem in it, "
                                f"e.g. {os.path.join(stem, 'run1')!r}", stem)


# ---------------------------------------------------------------------------------------------
# Progress


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


# ---------------------------------------------------------------------------------------------
# Runs

_SAMPLES = ("S0", "S1", "S2")


class Run:
    """The samples of a run: genotypes, labels, statistics, exports and the files.

    Made by ``simulate`` or ``read``. Holds the sampled records only (the population is gone
    once the run ends); ``genotypes`` is made on first use and kept. A Run pickles, so a
    ``ProcessPoolExecutor`` can return one.

    Attributes
    ----------
    parameters : Parameters or None
        The run's values, the seed as IDUM; None for files read without their parameters.
    model : dict
        The model options of the run: burn_in, mutation_rate, sizes, ne_ratio, chromosomes,
        map.
    replicate : int or None
        The replicate number (from 1) of ``simulate(..., num_replicates=R)``.
    """

    def __init__(self, samples, parameters=None, model=None, true_values=None, replicate=None,
                 data=None, record=None, linkage=None):
        self._samples = samples
        self._data = data
        self._record = record
        self._genotypes = None
        self.parameters = parameters
        self.model = model or {}
        self._true_values = true_values
        self.replicate = replicate
        # (bp positions, chromosome names, Morgans) per locus of a linked run, else None.
        self._linkage = linkage

    def __reduce__(self):
        return (_run_from_state, (self._samples, self.parameters, self.model, self._true_values,
                                  self.replicate, self._data, self._record, self._linkage))

    @property
    def seed(self):
        """int or None: the seed of the run (its IDUM), which redoes it as ``simulate(p, seed=)``."""
        return None if self.parameters is None else self.parameters.IDUM

    @property
    def genotypes(self):
        """numpy.ndarray: int8, loci x individuals x 2: allele index (allele - 1), -1 missing.

        Individuals in the order of the data file: sample 1, sample 2, then the source sample.
        The last axis holds the individual's two gene copies in order, the one from its first
        parent first: in a linked run (``chromosomes=`` or ``map=``) ``g[:, i, 0]`` is a
        haplotype, in phase along each chromosome. A heterozygote that a genotyping error made,
        and every one of the source sample (drawn without linkage), has allele index 0 first;
        so has every heterozygote of an unlinked run, whose phase means nothing.
        Read-only: write() writes the run's own records.
        """
        if self._genotypes is None:
            g = self._samples.genotypes()
            g.flags.writeable = False
            self._genotypes = g
        return self._genotypes

    @property
    def positions(self):
        """numpy.ndarray or None: int64, per locus, its base-pair position as the map gives it
        (for ``chromosomes="N:M"``: 1 + 10^8 bp per Morgan from the chromosome's start). None
        for an unlinked run and a run read from files."""
        return None if self._linkage is None else self._linkage[0]

    @property
    def chromosomes(self):
        """numpy.ndarray of str or None: per locus, the name of its chromosome ("1", "2", ...,
        or as the map file names it). None for an unlinked run and a run read from files."""
        return None if self._linkage is None else self._linkage[1]

    @property
    def map_positions(self):
        """numpy.ndarray or None: float64, per locus, its position in Morgans from the start of
        its chromosome (the map's cM / 100), which crossovers follow. None for an unlinked run
        and a run read from files."""
        return None if self._linkage is None else self._linkage[2]

    @property
    def labels(self):
        """numpy.ndarray of str: each individual's label in the data file (S1_1, ...)."""
        return np.array(self._samples.labels)

    @property
    def sample(self):
        """numpy.ndarray of str: each individual's sample, "S1", "S2" or "S0" (the source)."""
        return np.array(_SAMPLES)[np.array(self._samples.sample, dtype=np.intp)]

    @property
    def true_values(self):
        """dict or None: the run record's true values (harmonic-mean Ne, drift_ne, expected F,
        sizes); None for files read without their record or parameters."""
        return self._true_values

    @property
    def record(self):
        """dict or None: the run record, as ``--summary`` writes it: program, version, cpu path,
        parameters (the seed as IDUM), effective model options and true values; ``files``
        once written with ``write(record=)``. None for files read without their record."""
        return None if self._record is None else json.loads(json.dumps(self._record))

    @property
    def cpu_path(self):
        """str: the row of CPU routines the run took ("" for files read)."""
        return self._samples.kernel

    def _data_name(self):
        """The data file the run's exports and statistics name: the one read, else OutFile's."""
        if self._data is not None:
            return self._data
        return self.parameters.OutFile + ".dat" if self.parameters is not None else "samples.dat"

    def stats(self):
        """driftsim-stats' figures of these samples (its --format json object) as numbers.

        Returns
        -------
        dict
            Per sample diversity and the temporal and source F statistics; NA is NaN.
        """
        data = self._data_name()
        figures = json.loads(self._samples.stats_json(data, data[:-4] + ".par"))
        del figures["data"], figures["parameters"]
        return _stats_numbers(figures)

    def allele_counts(self, sample=None):
        """Allele counts per locus.

        Parameters
        ----------
        sample : {"S1", "S2", "S0"} or None
            The sample counted; None for every individual.

        Returns
        -------
        numpy.ndarray
            int64, loci x alleles: column a counts allele index a (driftsim allele a + 1) over
            the gene copies that are not missing. Alleles run to NumAllele, or for files read
            without parameters to the largest seen.
        """
        g = self.genotypes
        if sample is not None:
            if sample not in _SAMPLES:
                raise ValueError(f"sample must be one of {_SAMPLES} or None, not {sample!r}")
            g = g[:, self.sample == sample, :]
        alleles = (self.parameters.NumAllele if self.parameters is not None
                   else int(self.genotypes.max(initial=0)) + 1)
        loci = g.shape[0]
        index = g.reshape(loci, -1).astype(np.int64) + 1  # 0: missing
        index += (alleles + 1) * np.arange(loci, dtype=np.int64)[:, None]
        counts = np.bincount(index.ravel(), minlength=loci * (alleles + 1))
        return counts.reshape(loci, alleles + 1)[:, 1:]

    def allele_frequencies(self, sample=None):
        """Allele frequencies per locus: allele_counts divided by the copies counted.

        Parameters
        ----------
        sample : {"S1", "S2", "S0"} or None

        Returns
        -------
        numpy.ndarray
            float64, loci x alleles; NaN at a locus without data.
        """
        counts = self.allele_counts(sample)
        with np.errstate(invalid="ignore", divide="ignore"):
            return counts / counts.sum(axis=1, keepdims=True)

    def write(self, stem=None, progress=None, record=None):
        """Writes <stem>.dat and <stem>.par, the command line's bytes, both or neither.

        Parameters
        ----------
        stem : str or os.PathLike, optional
            The files' name without extension, as ``--out`` takes it; default the parameters'
            OutFile. A stem that names an existing folder is refused: name a stem inside it.
        progress : bool or callable, optional
            As for ``simulate``.
        record : str or os.PathLike, optional
            Also writes the run record there (``--summary``'s JSON, with the two files' sizes
            and SHA-256 digests), after the pair.

        Returns
        -------
        tuple of str
            The data file and the parameter file.

        Raises
        ------
        ValueError
            The run was read without its parameters.
        IsADirectoryError
            stem names a folder.
        OSError
            A file cannot be written; errno, strerror and filename say why.
        """
        if self.parameters is None:
            raise ValueError("a run read without its parameters cannot be written: give read() "
                             "its record or parameters")
        stem = self.parameters.OutFile if stem is None else _text("stem", stem)
        _check_stem(stem)
        names = [stem + ".dat", stem + ".par"]
        if record is not None:
            record = _text("record", record)
            if self._record is None:
                raise ValueError("this run has no record to write: it was read without one")
        with _file_errors(names):
            self._samples.write(stem, _progress(progress))
        if record is not None:
            text = dict(self._record)
            text["files"] = [_describe(name) for name in names]
            with _file_errors([record]):
                _core.write_whole_file(record, json.dumps(text, indent=2) + "\n")
        return tuple(names)

    def _export(self, format, names, data):
        data = self._data_name() if data is None else _text("data", data)
        with _file_errors(names):
            self._samples.export(format, names, data)

    def write_vcf(self, path, data=None):
        """Writes the samples as VCF 4.2, the bytes of ``driftsim-convert DATA --to vcf``.

        Parameters
        ----------
        path : str or os.PathLike
            The file; a name ending in .gz is BGZF-compressed (``--to vcf.gz``).
        data : str, optional
            The data file the header names (default: OutFile + ".dat").

        Returns
        -------
        str
            path.
        """
        path = _text("path", path)
        self._export("vcf.gz" if path.endswith(".gz") else "vcf", [path], data)
        return path

    def write_genepop(self, path, data=None):
        """Writes the samples as GENEPOP, the bytes of ``driftsim-convert DATA --to genepop``.

        Parameters
        ----------
        path : str or os.PathLike
        data : str, optional
            As for ``write_vcf``.

        Returns
        -------
        str
            path.
        """
        path = _text("path", path)
        self._export("genepop", [path], data)
        return path

    def write_plink(self, stem, data=None):
        """Writes <stem>.ped and <stem>.map, the bytes of ``driftsim-convert DATA --to plink``.

        Biallelic samples only (NumAllele 2).

        Parameters
        ----------
        stem : str or os.PathLike
        data : str, optional
            As for ``write_vcf``.

        Returns
        -------
        tuple of str
            The .ped and .map files.
        """
        stem = _text("stem", stem)
        _check_stem(stem)
        names = [stem + ".ped", stem + ".map"]
        self._export("plink", names, data)
        return tuple(names)

    def _summary(self):
        s = self._samples
        sizes = [s.sample.count(k) for k in (1, 2, 0)]
        rows = [("loci", s.loci), ("individuals (S1, S2, S0)", f"{s.individuals} "
                                                                f"({sizes[0]}, {sizes[1]}, {sizes[2]})"),
                ("generations between samples", s.generations), ("seed", self.seed)]
        if self.replicate is not None:
            rows.append(("replicate", self.replicate))
        if self._true_values is not None:
            rows.append(("drift_ne", round(self._true_values["drift_ne"], 2)))
        if s.kernel:
            rows.append(("cpu path", s.kernel))
        return rows

    def __repr__(self):
        return ("<driftsim.Run: " + ", ".join(f"{k} {v}" for k, v in self._summary()
                                               if v is not None) + ">")

    def _repr_html_(self):
        rows = "".join(f"<tr><td>{html.escape(str(k))}</td><td>{html.escape(str(v))}</td></tr>"
                       for k, v in self._summary())
        return f"<table><caption>driftsim.Run</caption><tbody>{rows}</tbody></table>"


def _describe(name):
    with open(name, "rb") as f:
        data = f.read()
    return {"name": name, "bytes": len(data), "sha256": hashlib.sha256(data).hexdigest()}


def _run_from_state(samples, parameters, model, true_values, replicate, data, record,
                    linkage=None):
    return Run(samples, parameters, model, true_values, replicate, data, record, linkage)


def _linkage_arrays(samples):
    """The per-locus map of a linked run's samples as read-only arrays, else None."""
    linkage = samples.linkage()
    if linkage is None:
        return None
    bp, names, morgans = linkage
    arrays = (np.asarray(bp, dtype=np.int64), np.array(names, dtype=str),
              np.asarray(morgans, dtype=np.float64))
    for a in arrays:
        a.flags.writeable = False
    return arrays


def _chromosomes_text(chromosomes):
    """--chromosomes' N:M from "N:M" or a pair (N, M)."""
    if isinstance(chromosomes, str):
        return chromosomes
    if isinstance(chromosomes, (bytes, bytearray)) or not hasattr(chromosomes, "__len__") or \
            len(chromosomes) != 2:
        raise TypeError(f"chromosomes must be 'N:M' or a pair (N, M) and got {chromosomes!r}")
    count, morgans = chromosomes
    return f"{_integer('chromosomes', count)}:{_real('chromosomes', morgans)!r}"


def _model_options(burn_in, mutation_rate, sizes, ne_ratio, chromosomes=None, map=None):
    """The model options as the engine takes them: texts, and sizes as pairs or a file."""
    options = []
    if burn_in is not None:
        options.append(("burn-in", str(_integer("burn_in", burn_in))))
    for name, value in (("mutation-rate", mutation_rate), ("ne-ratio", ne_ratio)):
        if value is not None:
            options.append((name, repr(_real(name.replace("-", "_"), value))))
    if chromosomes is not None:
        options.append(("chromosomes", _chromosomes_text(chromosomes)))
    if map is not None:
        options.append(("map", _text("map", map)))
    pairs, sizes_file = None, ""
    if isinstance(sizes, (str, os.PathLike)):
        sizes_file = _text("sizes", sizes)
        if not sizes_file:
            raise ParameterError("sizes must name a sizes file, not ''")
    elif sizes is not None:
        if isinstance(sizes, bytes) or not hasattr(sizes, "__iter__"):
            raise TypeError(f"sizes must be (generation, size) pairs or a file name and got "
                            f"{sizes!r}")
        pairs = []
        for pair in sizes:
            if isinstance(pair, (str, bytes)) or not hasattr(pair, "__len__") or len(pair) != 2:
                raise TypeError(f"sizes must hold (generation, size) pairs and holds {pair!r}")
            pairs.append((_integer("a generation of sizes", pair[0]),
                          _integer("a size of sizes", pair[1])))
    return options, pairs, sizes_file


def simulate(params, seed=None, burn_in=None, mutation_rate=None, sizes=None, ne_ratio=None,
             threads=None, progress=None, num_replicates=None, chromosomes=None, map=None):
    """Runs the simulation of params in memory and returns its samples as a Run.

    Parameters
    ----------
    params : Parameters
    seed : int, optional
        The run's seed (IDUM; as ``--seed``). None draws a fresh one from the operating system;
        either way it is in ``run.seed``, ``run.parameters`` and the written files, and
        ``simulate(params, seed=run.seed)`` redoes the run byte for byte. The parameters' own
        IDUM is used only when given as ``seed=params.seed``.
    burn_in : int, optional
        Generations before sample 1 (``--burn-in``; default 250).
    mutation_rate : float, optional
        K-allele mutations per gene copy and generation (``--mutation-rate``; default 1e-4).
    sizes : list of (int, int), or str or os.PathLike, optional
        (generation, size) pairs, that size from that generation on, or a sizes file
        (``--sizes``).
    ne_ratio : float, optional
        Ne / N through varying family sizes (``--ne-ratio``; default 1).
    chromosomes : str or (int, float), optional
        Linked loci: N chromosomes of M Morgans, as "N:M" or (N, M), the loci spread in order
        and evenly over them (``--chromosomes``). Default: every locus unlinked.
    map : str or os.PathLike, optional
        Linked loci: a PLINK .map file, one line per locus (``--map``). Not with chromosomes.
        A linked run's ``positions``, ``chromosomes`` and ``map_positions`` give its map.
    threads : int, optional
        Threads of this run alone, 1 to 1024 (default: DRIFTSIM_THREADS, else the CPUs).
    progress : bool or callable, optional
        True for a progress line on standard error, or a callable (phase, done, total)
        called on this thread.
    num_replicates : int, optional
        Returns an iterator of that many runs instead of one Run. Their seeds are
        ``replicate_seeds(seed, num_replicates)`` (seed drawn fresh when None); each run has
        its ``replicate`` number from 1.

    Returns
    -------
    Run, or iterator of Run
        The samples; with num_replicates, the runs one at a time as they finish.

    Raises
    ------
    TypeError
        A value of the wrong type (a seed that is not an int, sizes of floats).
    ParameterError
        A value the program refuses.
    MemoryError
        The tables do not fit beside what the interpreter already holds (measured as the
        command line measures it, from the cgroup and the process's limits).
    KeyboardInterrupt
        Ctrl-C: the run stops within a second. The GIL is released while the engine runs.
    """
    if not isinstance(params, Parameters):
        raise TypeError(f"params must be driftsim.Parameters and got {type(params).__name__}")
    options, pairs, sizes_file = _model_options(burn_in, mutation_rate, sizes, ne_ratio,
                                                chromosomes, map)
    if threads is None:
        threads = 0
    elif not _is_integer(threads) or not 1 <= threads <= 1024:
        raise ParameterError(f"threads: {threads!r} is not a thread count (1 to 1024)")
    model = {"burn_in": burn_in, "mutation_rate": mutation_rate, "sizes": sizes,
             "ne_ratio": ne_ratio, "chromosomes": chromosomes, "map": map}
    follow = params._follow

    def one(seed, replicate=None):
        par = params.replace(IDUM=seed)._par
        try:
            samples = _core.simulate(par, options, pairs, sizes_file, int(threads),
                                     _progress(progress), follow)
        except ParameterError as e:
            # The engine reads pairs as the lines of an unnamed sizes file: ":3: ..." is pair 2.
            message = re.sub(r"^:(\d+):", lambda m: f"sizes[{int(m.group(1)) - 1}]:", str(e))
            if "is above MaxNe" in message:
                message += (" Give max_ne at least the largest size, or leave max_ne out of "
                            "Parameters() so that it follows the sizes.")
            raise ParameterError(message) from None
        record = json.loads(samples.record_json())
        for key in ("files", "seconds", "peak_memory_bytes", "exit_status"):
            record.pop(key, None)
        return Run(samples, Parameters._wrap(samples.params, follow), model, samples.true_values,
                   replicate, record=record, linkage=_linkage_arrays(samples))

    seed = _seed(seed)
    if num_replicates is None:
        return one(seed)
    count = _integer("num_replicates", num_replicates)
    if count < 0:
        raise ParameterError(f"num_replicates must be 0 or more and got {count}")
    seeds = replicate_seeds(seed, count)
    return (one(s, k) for k, s in enumerate(seeds, start=1))


def read(dat, par=None, record=None, parameters=None, burn_in=None, mutation_rate=None,
         sizes=None, ne_ratio=None):
    """A Run of a data file and its estimator parameter file, checked as driftsim-stats reads them.

    Without record or parameters the Run has genotypes and statistics only; with either it
    also has its parameters and true values, and can ``write()``.

    Parameters
    ----------
    dat : str or os.PathLike
        The data file.
    par : str or os.PathLike, optional
        The estimator parameter file (default: the .par beside dat).
    record : str or os.PathLike, optional
        The run record (``--summary``): the parameters, model and true values.
    parameters : Parameters, or str or os.PathLike, optional
        The run's parameters, or its parameter file; the true values then follow from them
        and the model options given here (burn_in, mutation_rate, sizes, ne_ratio, as for
        ``simulate``).

    Returns
    -------
    Run

    Raises
    ------
    FileNotFoundError
        A file named does not exist.
    ParameterError
        A file driftsim-stats refuses, also a pair whose commit was cut short (its commit
        record is beside it), or parameters that are not those of the files.
    """
    dat = _text("dat", dat)
    par = _text("par", par) if par is not None else (
        dat[:-4] if dat.endswith(".dat") else dat) + ".par"
    for name in (dat, par) + ((_text("record", record),) if record is not None else ()):
        if not os.path.exists(name):
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), name)
    with _file_errors([dat, par]):
        samples = _core.read(dat, par)
    model, truth, params, summary = {}, None, None, None
    if record is not None:
        with open(record) as f:
            try:
                summary = json.load(f)
                params = Parameters.example(**summary["parameters"])
                model = dict(summary["model"])
                truth = summary["true_values"]
            except (ValueError, KeyError, TypeError) as e:
                raise ParameterError(f"{record} is not a driftsim run record: {e}") from None
    elif parameters is not None:
        if not isinstance(parameters, Parameters):
            parameters = Parameters.from_file(parameters)
        params = parameters
        options, pairs, sizes_file = _model_options(burn_in, mutation_rate, sizes, ne_ratio)
        truth = _core.true_values(params._par, options, pairs, sizes_file)
        model = {"burn_in": burn_in, "mutation_rate": mutation_rate, "sizes": sizes,
                 "ne_ratio": ne_ratio}
    if params is not None:
        try:
            samples.attach_params(params._par)
        except ValueError as e:
            raise ParameterError(f"{dat}: {e}") from None
    return Run(samples, params, model, truth, data=dat, record=summary)
