#!/usr/bin/env python3
"""The study's report: one self-contained HTML file (report.html) with a verdict per estimator,
the design, the summary tables, the figure embedded as base64 PNG, what it takes to reproduce
the study, the versions and the configuration. It loads nothing from the network."""

import base64
import csv
import datetime
import hashlib
import math
import os
import shlex
import subprocess

import jinja2
import yaml

import replicates as rp
import verdicts

HERE = os.path.dirname(os.path.abspath(__file__))

# Model options of the design table, from the run records, with their names there.
MODEL_COLUMNS = [("burn_in", "burn-in"), ("mutation_rate", "mutation rate"),
                 ("ne_ratio", "Ne/N"), ("sizes", "size changes")]
# Parameters the workflow sets per replicate; the reproduction block gives their rule.
PER_REPLICATE = ("IDUM", "OutFile")


def program_version(command):
    """First line a version command prints, or why there is none."""
    lines = program_output(command)
    shown_command = command if isinstance(command, str) else shlex.join(command)
    return lines[0] if lines else f"(not known: {shown_command} printed nothing or failed)"


def program_output(command):
    """The lines a command prints (argument list or shell text), [] when it fails."""
    try:
        done = subprocess.run(command, shell=isinstance(command, str), capture_output=True,
                              text=True, timeout=60)
    except (OSError, subprocess.SubprocessError):
        return []
    text = (done.stdout.strip() or done.stderr.strip()).splitlines()
    return text if done.returncode == 0 else []


def git_commit(path):
    """The commit of the git tree holding path, marked when the tree has uncommitted changes;
    None outside a git tree."""
    folder = os.path.dirname(os.path.realpath(path))
    head = program_output(["git", "-C", folder, "rev-parse", "HEAD"])
    if not head:
        return None
    changes = program_output(["git", "-C", folder, "status", "--porcelain",
                              "--untracked-files=no"])
    return head[0] + (" (with uncommitted changes)" if changes else "")


def sha256(path):
    with open(path, "rb") as handle:
        return hashlib.sha256(handle.read()).hexdigest()


def reproduction(driftsim, snakemake_version, command, workdir, configfiles, plan, base_seed,
                 files, report_path):
    """The rows of the reproduction block: (name, text, [(link text, relative href)])."""
    lines = program_output([driftsim, "--version"])
    commit = git_commit(driftsim)
    seeds = [item["seed"] for item in plan]
    rows = [
        ("driftsim", (lines[0] if lines else "(version not known)")
         + (f", commit {commit}" if commit else ", not built in a git tree"), []),
        ("CPU", next((line for line in lines if line.startswith("CPU routines")),
                     "(not known)"), []),
        ("Snakemake", snakemake_version, []),
        ("command", f"{command}   (in {workdir})", []),
    ]
    for path in configfiles:
        rows.append(("configuration", f"{path}, SHA-256 {sha256(path)}", []))
    rows.append(("seeds", f"{rp.SEED_RULE} Base seed {base_seed}; {len(seeds)} seeds from "
                 f"{min(seeds)} to {max(seeds)}.", []))
    folder = os.path.dirname(os.path.abspath(report_path))
    rows.append(("files", "", [(os.path.basename(f), os.path.relpath(os.path.abspath(f), folder))
                               for f in files]))
    return rows


def read_table(path):
    with open(path, newline="") as handle:
        return list(csv.DictReader(handle, delimiter="\t", quoting=csv.QUOTE_NONE))


def shown(text, digits=3):
    """A summary cell for reading: numbers to `digits` significant digits."""
    try:
        value = float(text)
    except (TypeError, ValueError):
        return text
    if math.isinf(value):
        return "\u221e" if value > 0 else "\u2212\u221e"
    if math.isnan(value):
        return "NA"
    return f"{value:.{digits}g}".replace("-", "\u2212")


def number(text):
    return rp.number(text)


def value_text(value):
    return rp.format_value(value) if not isinstance(value, float) else f"{value:g}"


def design(scenarios, records, config):
    """(shared [(name, text)], columns [name], rows [(scenario, label, [text])]) of the study's
    design: every parameter and model option as driftsim read it (the run record of the
    scenario's first replicate), shared ones apart."""
    sizes = {name: model.get("sizes") for name, _, model in rp.scenarios(config)}
    values = {}
    for name, _ in scenarios:
        record = records[name]
        entry = {k: value_text(v) for k, v in record["parameters"].items()
                 if k not in PER_REPLICATE}
        for key, column in MODEL_COLUMNS:
            if key == "sizes":
                pairs = sizes.get(name)
                entry[column] = ", ".join(f"{g}: {n}" for g, n in pairs) if pairs else "none"
            else:
                entry[column] = value_text(record["model"][key])
        values[name] = entry
    keys = list(values[scenarios[0][0]])
    varied = [k for k in keys if len({values[s][k] for s, _ in scenarios}) > 1]
    shared = [(k, values[scenarios[0][0]][k]) for k in keys if k not in varied]
    rows = [(s, label, [values[s][k] for k in varied]) for s, label in scenarios]
    return shared, varied, rows


def render(config, summary_path, figures, versions, records, reproduction_rows=(),
           title="Replicate study"):
    """The HTML text. figures: list of (caption, PNG path); records: {scenario: run record of
    a replicate}."""
    summary = read_table(summary_path)
    kinds = [k for k in rp.INTERVAL_KINDS
             if summary and f"{k}_coverage" in summary[0]]
    env = jinja2.Environment(loader=jinja2.FileSystemLoader(os.path.join(HERE, "templates")),
                             autoescape=True, undefined=jinja2.StrictUndefined)
    images = []
    for caption, path in figures:
        with open(path, "rb") as handle:
            images.append((caption, base64.b64encode(handle.read()).decode("ascii")))
    scenarios = list(dict.fromkeys((r["scenario"], r["label"]) for r in summary))
    truth = {r["scenario"]: r["true_Ne"] for r in summary}
    caveat_of = {s: verdicts.caveats(records[s]) for s, _ in scenarios}
    numeric = [{k: v if k in ("scenario", "label", "estimator") else number(v)
                for k, v in r.items()} for r in summary]
    # Coverage tables: one per set of intervals, so that an interval only some estimators give
    # has columns only beside their rows.
    groups = {}
    for r in summary:
        have = tuple(k for k in kinds if r.get(f"{k}_n", "NA") not in ("NA", "0"))
        if have:
            groups.setdefault(have, []).append(r)
    shared, varied, design_rows = design(scenarios, records, config)
    return env.get_template("report.html.j2").render(
        title=title, summary=summary, coverage=list(groups.items()), shown=shown,
        number=number, percent=verdicts.percent, inf=math.inf, images=images,
        verdicts=verdicts.verdicts(numeric, caveat_of),
        caveat_of=caveat_of, any_caveat=any(caveat_of.values()), shared=shared, varied=varied,
        design_rows=design_rows,
        truth=truth, replicates=config.get("replicates"), versions=versions,
        reproduction=reproduction_rows,
        config=yaml.safe_dump(config, sort_keys=False, default_flow_style=None, width=96),
        generated=datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"))


def read_records(paths):
    """{scenario: run record} from {scenario: path of a replicate's summary.json}."""
    return {name: rp.read_summary(path) for name, path in paths.items()}


def write_report(path, config, summary_path, figures, versions, records, reproduction_rows=()):
    text = render(config, summary_path, figures, versions, records, reproduction_rows)
    rp.write_text_atomic(path, text)
