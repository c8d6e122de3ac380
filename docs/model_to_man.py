#!/usr/bin/env python3
"""model_to_man.py MODEL_MD MAN_PAGE [--check]: puts the text of docs/model.md into the MODEL
section of driftsim(1), so that the two never differ.

Converts the small Markdown subset model.md is written in (## and ### headings, paragraphs, "- " and
"1. " lists with indented continuation lines, indented formula blocks, `code`, **bold**, pipe
tables) to man(7) requests, and replaces the lines from ".SH MODEL" up to the next ".SH" of
the man page with the result (inserting the section before ".SH MODEL OPTIONS" when there is none).
With --check, changes nothing and exits 1 when the man page's section is not the conversion."""

import re
import sys


def inline(text):
    text = text.replace("\\", "\\e").replace("-", "\\-").replace("^", "\\(ha")
    text = text.replace("~", "\\(ti")
    text = re.sub(r"`([^`]*)`", r"\\fB\1\\fR", text)
    text = re.sub(r"\*\*([^*]*)\*\*", r"\\fB\1\\fR", text)
    return text


def line(text):
    text = inline(text)
    return "\\&" + text if text.startswith((".", "'")) else text


def table(rows):
    cells = [[c.strip() for c in r.strip().strip("|").split("|")] for r in rows]
    aligns = ["r" if c.strip().endswith(":") else "l" for c in cells[1]]
    out = [".TS", "tab(|);", " ".join(aligns) + "."]
    out.append("|".join(inline(c) for c in cells[0]))
    out.append("_")
    out += ["|".join(inline(c) for c in r) for r in cells[2:]]
    out.append(".TE")
    return out


def convert(markdown):
    out = []
    lines = markdown.splitlines()
    indent = 0  # content indent of the list item being written, 0 outside lists
    blank = True
    i = 0
    while i < len(lines):
        text = lines[i]
        stripped = text.strip()
        lead = len(text) - len(text.lstrip(" "))
        if not stripped:
            blank = True
            i += 1
            continue
        if text.startswith(("# ", "![")):  # the title is the .SH line; a man page has no figures
            i += 1
            continue
        if text.startswith(("## ", "### ")):  # man(7) has one level of subsections
            out.append('.SS "' + inline(text.split(" ", 1)[1]) + '"')
            indent, blank = 0, False
            i += 1
            continue
        if stripped.startswith("|"):
            rows = []
            while i < len(lines) and lines[i].strip().startswith("|"):
                rows.append(lines[i])
                i += 1
            out += [".PP"] + table(rows)
            indent, blank = 0, True
            continue
        if blank and lead >= indent + 4:
            out += [".RS", ".nf"]
            while i < len(lines) and (not lines[i].strip() or
                                      len(lines[i]) - len(lines[i].lstrip(" ")) >= indent + 4):
                if lines[i].strip():
                    out.append(line(lines[i][indent + 4:]))
                i += 1
            while out[-1] == "":
                out.pop()
            out += [".fi", ".RE"]
            blank = True
            continue
        item = re.match(r"(- |\d+\. )", text)
        if item:
            tag = "\\(bu" if item.group(1) == "- " else item.group(1).strip()
            indent = len(item.group(1))
            out.append(f".IP {tag} {indent + 2}")
            out.append(line(text[indent:]))
        elif blank and indent and lead >= indent:
            out.append(f'.IP "" {indent + 2}')
            out.append(line(text[indent:]))
        elif blank:
            indent = 0
            out.append(".PP")
            out.append(line(stripped))
        else:
            out.append(line(text[indent:] if indent and lead >= indent else stripped))
        blank = False
        i += 1
    # The first paragraph follows the .SH line directly.
    if out and out[0] == ".PP":
        out.pop(0)
    return [".SH MODEL"] + out


def main(argv):
    check = "--check" in argv
    paths = [a for a in argv if a != "--check"]
    if len(paths) != 2:
        sys.exit(__doc__.splitlines()[0])
    with open(paths[0]) as f:
        section = convert(f.read())
    with open(paths[1]) as f:
        page = f.read().splitlines()
    if ".SH MODEL" in page:
        start = page.index(".SH MODEL")
        end = next(k for k in range(start + 1, len(page) + 1)
                   if k == len(page) or page[k].startswith(".SH "))
    else:
        start = end = page.index(".SH MODEL OPTIONS")
    if check:
        if page[start:end] != section:
            print(f"{paths[1]}: the MODEL section is not the text of {paths[0]}; run "
                  f"docs/model_to_man.py {paths[0]} {paths[1]}", file=sys.stderr)
            return 1
        return 0
    page[start:end] = section
    with open(paths[1], "w") as f:
        f.write("\n".join(page) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
