#!/usr/bin/env python3
"""The study's report: one self-contained HTML file (report.html) with the summary tables, the
figure embedded as base64 PNG, the configuration and the versions of driftsim and of every
external estimator. It loads nothing from the network."""

import base64
import csv
import datetime
import math
import os
import subprocess

import jinja2
import yaml

HERE = os.path.dirname(os.path.abspath(__file__))


def program_version(command):
    """First line a version command prints, or why there is none."""
    try:
        done = subprocess.run(command, shell=True, capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.SubprocessError) as error:
        return f"(not known: {error})"
    text = (done.stdout.strip() or done.stderr.strip()).splitlines()
    if done.returncode != 0 or not text:
        return f"(not known: exit status {done.returncode})"
    return text[0]


def read_table(path):
    with open(path, newline="") as handle:
        return list(csv.DictReader(handle, delimiter="\t"))


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
    return f"{value:.{digits}g}"


def render(config, summary_path, figures, versions, title="Replicate study"):
    """The HTML text. figures: list of (caption, PNG path)."""
    summary = read_table(summary_path)
    kinds = [k for k in ("jackknife", "chisq", "plugin")
             if summary and f"{k}_coverage" in summary[0]]
    env = jinja2.Environment(loader=jinja2.FileSystemLoader(os.path.join(HERE, "templates")),
                             autoescape=True, undefined=jinja2.StrictUndefined)
    images = []
    for caption, path in figures:
        with open(path, "rb") as handle:
            images.append((caption, base64.b64encode(handle.read()).decode("ascii")))
    scenarios = list(dict.fromkeys((r["scenario"], r["label"], r["true_Ne"]) for r in summary))
    return env.get_template("report.html.j2").render(
        title=title, summary=summary, kinds=kinds, shown=shown, images=images,
        scenarios=scenarios, versions=versions,
        config=yaml.safe_dump(config, sort_keys=False, default_flow_style=None, width=96),
        generated=datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"))


def write_report(path, config, summary_path, figures, versions):
    text = render(config, summary_path, figures, versions)
    tmp = path + ".tmp"
    with open(tmp, "w") as handle:
        handle.write(text)
    os.replace(tmp, path)
