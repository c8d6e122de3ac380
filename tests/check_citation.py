#!/usr/bin/env python3
"""check_citation.py CITATION.cff DRIFTSIM: the citation file parses as YAML, has the keys a
citation needs, and names the version that `DRIFTSIM --version` prints on its first line; the
lines after it say how to cite."""

import subprocess
import sys

import yaml


def main(cff_path, driftsim):
    with open(cff_path) as f:
        cff = yaml.safe_load(f)
    problems = []
    if cff.get("cff-version") != "1.2.0":
        problems.append(f"cff-version is {cff.get('cff-version')!r}, not '1.2.0'")
    for key in ("message", "title", "version"):
        if not isinstance(cff.get(key), str) or not cff[key].strip():
            problems.append(f"no text for {key}")
    authors = cff.get("authors")
    if not isinstance(authors, list) or not authors or not all(
            isinstance(a, dict) and (a.get("name") or a.get("family-names")) for a in authors):
        problems.append("authors is not a list of named authors")
    lines = subprocess.run([driftsim, "--version"], check=True, capture_output=True,
                           text=True).stdout.splitlines()
    if not lines or lines[0] != f"driftsim {cff.get('version')}":
        problems.append(f"--version prints {lines[:1]}, CITATION.cff has {cff.get('version')!r}")
    rest = "\n".join(lines[1:])
    for needed in ("CITATION.cff", "driftsim(1), MODEL", "CHANGELOG.md"):
        if needed not in rest:
            problems.append(f"--version does not mention {needed}")
    for p in problems:
        print(f"{cff_path}: {p}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
