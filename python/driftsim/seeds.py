"""driftsim's seeds: which values the program takes, a fresh one, and the seeds of replicates.

This file stands alone (the standard library only), so that every front end can take the
same rule: the replicate workflow draws its seeds by it, and another language needs only
SHA-256 to give the same seeds.
"""

import hashlib
import secrets

__all__ = ["SEED_MAX", "seed_is_valid", "fresh_seed", "replicate_seeds"]

#: Largest seed magnitude driftsim takes.
SEED_MAX = 2147483646
# Seeds whose magnitude is a multiple of this leave the random bit stream at 0: refused.
_FORBIDDEN_MULTIPLE = 262144


def seed_is_valid(seed):
    """Whether driftsim takes ``seed`` (its IDUM).

    Parameters
    ----------
    seed : int

    Returns
    -------
    bool
        True for a nonzero seed of magnitude at most 2147483646 that is not a multiple of
        262144.
    """
    return 0 < abs(seed) <= SEED_MAX and seed % _FORBIDDEN_MULTIPLE != 0


def fresh_seed():
    """A seed driftsim takes, drawn from the operating system's random source.

    Returns
    -------
    int
        Uniform over the valid seeds in 1..2147483646.
    """
    while True:
        seed = secrets.randbelow(SEED_MAX) + 1
        if seed_is_valid(seed):
            return seed


def _hashed_seed(base_seed, scenario, replicate, attempt):
    key = f"{base_seed}\0{scenario}\0{replicate}\0{attempt}".encode()
    return int.from_bytes(hashlib.sha256(key).digest()[:8], "big") % SEED_MAX + 1


def replicate_seeds(base_seed, replicates, scenario=""):
    """The seeds of replicates 1 to ``replicates``, all from one base seed.

    Replicate k takes the first valid seed of attempt 0, 1, 2, ... not given to a replicate
    before it, where attempt a gives::

        int.from_bytes(sha256(f"{base_seed}\\0{scenario}\\0{k}\\0{a}".encode())[:8], "big")
            % 2147483646 + 1

    So a replicate's seed depends on the base seed, the scenario name and its number only:
    adding replicates leaves the earlier ones' seeds as they were. The replicate workflow
    (workflows/replicates) gives each scenario's replicates these seeds.

    Parameters
    ----------
    base_seed : int
        Any integer.
    replicates : int
        How many seeds, 0 or more.
    scenario : str, optional
        A name that gives a study's scenarios seeds of their own (default: none).

    Returns
    -------
    list of int
        Distinct seeds driftsim takes, replicate 1 first.
    """
    seeds, used = [], set()
    for k in range(1, replicates + 1):
        for attempt in range(1001):
            seed = _hashed_seed(base_seed, scenario, k, attempt)
            if seed_is_valid(seed) and seed not in used:
                break
        else:
            raise RuntimeError("no valid seed found; the seed source is broken")
        seeds.append(seed)
        used.add(seed)
    return seeds
