from os import PathLike
from typing import Any, Callable, Iterator, Literal, Optional, Sequence, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

from .seeds import fresh_seed as fresh_seed
from .seeds import replicate_seeds as replicate_seeds
from .seeds import seed_is_valid as seed_is_valid

__version__: str

_Path = Union[str, PathLike[str]]
_Int = Union[int, np.integer[Any]]
_Real = Union[float, int, np.number[Any]]
_Progress = Union[bool, None, Callable[[str, int, int], Any]]
_Sizes = Union[_Path, Sequence[Tuple[_Int, _Int]], None]
_Sample = Optional[Literal["S1", "S2", "S0"]]
_Chromosomes = Union[str, Tuple[_Int, _Real], None]

class ParameterError(ValueError): ...

class Parameters:
    model: int
    ne: int
    mig_rate: float
    num_loci: int
    num_alleles: int
    num_gen: int
    num_indiv0: int
    num_indiv1: int
    num_indiv2: int
    sample_sizes: Tuple[int, int, int]
    seed: int
    out_file: str
    init_point: int
    max_ne: int
    monitor: int
    num_threads: int
    mis_rate: float
    drop_rate: float
    false_rate: float
    error_rates: Tuple[float, float, float]
    freq_dist: int
    def __init__(self, **values: Any) -> None: ...
    @classmethod
    def example(cls, **values: Any) -> "Parameters": ...
    @classmethod
    def from_file(cls, path: _Path, **values: Any) -> "Parameters": ...
    def replace(self, **values: Any) -> "Parameters": ...
    def to_file(self, path: _Path) -> None: ...
    def as_dict(self, names: Literal["file", "python"] = ...) -> dict[str, Union[int, float, str]]: ...
    def __getitem__(self, name: str) -> Union[int, float, str]: ...
    def __setitem__(self, name: str, value: Any) -> None: ...
    def __getattr__(self, name: str) -> Any: ...
    def __setattr__(self, name: str, value: Any) -> None: ...
    def _repr_html_(self) -> str: ...

class Run:
    parameters: Optional[Parameters]
    model: dict[str, Any]
    replicate: Optional[int]
    # Made by simulate() and read(), not by hand.
    def __init__(self, samples: Any, parameters: Optional[Parameters] = ...,
                 model: Optional[dict[str, Any]] = ..., true_values: Optional[dict[str, Any]] = ...,
                 replicate: Optional[int] = ..., data: Optional[str] = ...,
                 record: Optional[dict[str, Any]] = ...,
                 linkage: Optional[Tuple[Any, Any, Any]] = ...) -> None: ...
    @property
    def seed(self) -> Optional[int]: ...
    @property
    def genotypes(self) -> npt.NDArray[np.int8]: ...
    # A linked run's map, per locus; None for an unlinked run and one read from files.
    @property
    def positions(self) -> Optional[npt.NDArray[np.int64]]: ...
    @property
    def chromosomes(self) -> Optional[npt.NDArray[np.str_]]: ...
    @property
    def map_positions(self) -> Optional[npt.NDArray[np.float64]]: ...
    @property
    def labels(self) -> npt.NDArray[np.str_]: ...
    @property
    def sample(self) -> npt.NDArray[np.str_]: ...
    @property
    def true_values(self) -> Optional[dict[str, Any]]: ...
    @property
    def record(self) -> Optional[dict[str, Any]]: ...
    @property
    def cpu_path(self) -> str: ...
    def stats(self) -> dict[str, Any]: ...
    def allele_counts(self, sample: _Sample = ...) -> npt.NDArray[np.int64]: ...
    def allele_frequencies(self, sample: _Sample = ...) -> npt.NDArray[np.float64]: ...
    def write(self, stem: Optional[_Path] = ..., progress: _Progress = ...,
              record: Optional[_Path] = ...) -> Tuple[str, str]: ...
    def write_vcf(self, path: _Path, data: Optional[str] = ...) -> str: ...
    def write_genepop(self, path: _Path, data: Optional[str] = ...) -> str: ...
    def write_plink(self, stem: _Path, data: Optional[str] = ...) -> Tuple[str, str]: ...
    def _repr_html_(self) -> str: ...

@overload
def simulate(params: Parameters, seed: Optional[_Int] = ..., burn_in: Optional[_Int] = ...,
             mutation_rate: Optional[_Real] = ..., sizes: _Sizes = ...,
             ne_ratio: Optional[_Real] = ..., threads: Optional[_Int] = ...,
             progress: _Progress = ..., num_replicates: None = ...,
             chromosomes: _Chromosomes = ..., map: Optional[_Path] = ...) -> Run: ...
@overload
def simulate(params: Parameters, seed: Optional[_Int] = ..., burn_in: Optional[_Int] = ...,
             mutation_rate: Optional[_Real] = ..., sizes: _Sizes = ...,
             ne_ratio: Optional[_Real] = ..., threads: Optional[_Int] = ...,
             progress: _Progress = ..., *, num_replicates: _Int,
             chromosomes: _Chromosomes = ..., map: Optional[_Path] = ...) -> Iterator[Run]: ...
def read(dat: _Path, par: Optional[_Path] = ..., record: Optional[_Path] = ...,
         parameters: Union[Parameters, _Path, None] = ..., burn_in: Optional[_Int] = ...,
         mutation_rate: Optional[_Real] = ..., sizes: _Sizes = ...,
         ne_ratio: Optional[_Real] = ...) -> Run: ...
