#!/usr/bin/env bash
# CI check of the replicate workflow: unit tests of its helper modules, then the whole workflow
# on a tiny study (4 scenarios x 3 replicates, one shared parameter file and options per
# replicate, one scenario with a crash and every model option, one biallelic scenario with the
# example LD estimator as an external estimator) in a temporary directory: table, summary, figure
# and report; a resume after a lost replicate; a failing external estimator that fails only its
# own jobs; and a failing driftsim run.
#
# Usage: ci_check.sh [DRIFTSIM [DRIFTSIM_STATS [DRIFTSIM_CONVERT]]]
# The binaries come from the arguments, else from $DRIFTSIM, $DRIFTSIM_STATS and
# $DRIFTSIM_CONVERT, else from build/ of this repository.
# Needs Debian's snakemake (7.x), python3-matplotlib, python3-numpy and python3-jinja2.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
DRIFTSIM="$(realpath -m "${1:-${DRIFTSIM:-$ROOT/build/driftsim}}")"
STATS="$(realpath -m "${2:-${DRIFTSIM_STATS:-$ROOT/build/driftsim-stats}}")"
CONVERT="$(realpath -m "${3:-${DRIFTSIM_CONVERT:-$ROOT/build/driftsim-convert}}")"
CORES="${CORES:-2}"
export PYTHONDONTWRITEBYTECODE=1

fail() { echo "ci_check: FAIL: $*" >&2; exit 1; }

for exe in "$DRIFTSIM" "$STATS" "$CONVERT"; do
  [ -x "$exe" ] || fail "$exe is not an executable"
done
command -v snakemake >/dev/null || fail "snakemake not found (apt-get install snakemake)"
# The interpreter snakemake runs on, which also draws the figure.
PY="$(sed -n '1s/^#! *//p' "$(command -v snakemake)")"
[ -n "$PY" ] || PY=python3
$PY -c 'import matplotlib, yaml, numpy, jinja2' ||
  fail "$PY lacks matplotlib, yaml, numpy or jinja2 (apt-get install python3-matplotlib python3-numpy python3-jinja2)"

echo "== unit tests"
(cd "$HERE" && $PY -W error::ResourceWarning -m unittest discover -s tests)

TMP="$(mktemp -d)"
[ -n "${KEEP_TMP:-}" ] || trap 'rm -rf "$TMP"' EXIT  # KEEP_TMP=1 keeps it for a look

# The tiny study: isolation with Ne 50, migration with Ne 100, a crash from Ne 50, a biallelic
# Ne 50 with the LD estimator; three replicates each.
cp "$HERE/tests/tiny_study.yaml" "$TMP/config.yaml"
# ...and two exports of each replicate.
echo "exports: [genepop, vcf]" >> "$TMP/config.yaml"

run_workflow() {  # run_workflow DIR LOG [SNAKEMAKE-ARGS...]
  local dir=$1 log=$2
  shift 2
  snakemake -s "$HERE/Snakefile" --directory "$dir" --configfile "$dir/config.yaml" \
    --config driftsim="$DRIFTSIM" driftsim_stats="$STATS" driftsim_convert="$CONVERT" \
    --cores "$CORES" "$@" > "$log" 2>&1
}

echo "== workflow: 4 scenarios x 3 replicates in $TMP"
run_workflow "$TMP" "$TMP/first.log" || { tail -40 "$TMP/first.log"; fail "workflow failed"; }

check_results() {
  $PY - "$TMP/out" <<'PY'
import csv, hashlib, json, math, os, re, struct, sys
out = sys.argv[1]
def fail(msg):
    sys.exit(f"ci_check: FAIL: {msg}")

with open(os.path.join(out, "replicates.tsv"), newline="") as handle:
    lines = handle.read().splitlines()
header = lines[0].split("\t")
stats = ["Fc", "Fk", "Fs", "Ne_Fc", "Ne_Fk", "Ne_Fs"]
expected = (["scenario", "replicate", "seed", "Model", "Ne", "MigRate", "NumLoci", "NumAllele",
             "NumIndiv0", "true_Ne", "true_F"]
            + [f"{s}_{x}" for s in ("S1", "S2") for x in ("individuals", "alleles", "Ho", "He")]
            + stats
            + [f"{s}_{k}_{b}" for s in stats for k in ("jackknife", "chisq")
               for b in ("lower", "upper")]
            + ["inv_Ne_Fc", "inv_Ne_Fk", "inv_Ne_Fs", "Ne_LD", "Ne_LD_lower", "Ne_LD_upper",
               "inv_Ne_LD"]
            + [f"S0_{x}" for x in ("individuals", "alleles", "Ho", "He")] + ["Fst"]
            + [f"seconds_{x}" for x in ("initialize", "generations", "samples", "write", "total")]
            + ["peak_memory_bytes"])
if header != expected:
    fail(f"table columns {header}, expected {expected}")
rows = [line.split("\t") for line in lines[1:]]
if len(rows) != 12:
    fail(f"{len(rows)} table rows, expected 12")
if any(len(r) != len(header) for r in rows):
    fail("a table row has the wrong number of cells")
rows = [dict(zip(header, r)) for r in rows]
if sorted((r["scenario"], r["replicate"]) for r in rows) != [
        (s, str(k)) for s in ("bi50", "crash50", "iso50", "mig100") for k in (1, 2, 3)]:
    fail("scenario/replicate pairs are not bi50, crash50, iso50, mig100 x 1..3")

def num(text):
    return float(text)  # accepts inf; NA raises

def num_or_nan(text):
    return math.nan if text == "NA" else float(text)

seeds = set()
for r in rows:
    seed = int(r["seed"])
    if not (0 < abs(seed) <= 2147483646 and seed % 262144):
        fail(f"seed {seed} is one driftsim refuses")
    seeds.add(abs(seed))
    folder = os.path.join(out, r["scenario"], "rep" + r["replicate"])
    # One shared parameter file; each replicate's own values came as options, and its record
    # says what ran and what it wrote.
    if os.path.exists(os.path.join(folder, "SimPara.txt")):
        fail(f"{folder}: a parameter file of its own")
    with open(os.path.join(folder, "summary.json")) as handle:
        run = json.load(handle)
    values = run["parameters"]
    if (str(values["IDUM"]), str(values["Ne"]), str(values["Model"])) != (r["seed"], r["Ne"], r["Model"]):
        fail(f"{folder}: table row does not match the run record")
    biallelic = r["scenario"] == "bi50"
    if (values["OutFile"] != "run" or values["NumLoci"] != (300 if biallelic else 20)
            or run["exit_status"] != 0):
        fail(f"{folder}: run record {values}")
    for f in run["files"]:
        with open(os.path.join(folder, f["name"]), "rb") as handle:
            data = handle.read()
        if hashlib.sha256(data).hexdigest() != f["sha256"] or len(data) != f["bytes"]:
            fail(f"{folder}/{f['name']}: digest or size differs from the run record")
    if [f["name"] for f in run["files"]] != ["run.dat", "run.par"]:
        fail(f"{folder}: record names {run['files']}")
    if not (0 <= num(r["seconds_generations"]) <= num(r["seconds_total"])
            and int(r["peak_memory_bytes"]) > 0):
        fail(f"{folder}: times {r['seconds_generations']}/{r['seconds_total']}, memory {r['peak_memory_bytes']}")
    # Only the crash scenario gives model options: its record holds them and the census sizes
    # of its sizes file, and its true harmonic-mean Ne is below Ne. The others run with
    # driftsim's defaults, true_Ne equal to Ne.
    crash = r["scenario"] == "crash50"
    model = run["model"]
    got = (model["burn_in"], model["mutation_rate"], model["ne_ratio"], model["sizes_file"],
           model["sample_generations"])
    want = ((100, 0.001, 0.5, "../sizes.txt", [100, 104]) if crash
            else (250, 0.0001, 1.0, None, [250, 254]))
    if got != want:
        fail(f"{folder}: record's model {got}, expected {want}")
    census = [(s["first"], s["last"], s["census"]) for s in run["true_values"]["sizes"]]
    if crash and census != [(0, 100, 50), (101, 102, 8), (103, 104, 50)]:
        fail(f"{folder}: census sizes by generation {census}")
    true_ne, true_f = num(r["true_Ne"]), num(r["true_F"])
    recorded = run["true_values"]["drift_ne"]
    if abs(true_ne - recorded) > 1e-5 * recorded or not 0 < true_f < 1:
        fail(f"{folder}: true_Ne {r['true_Ne']} / true_F {r['true_F']} against the run record")
    if not (true_ne < num(r["Ne"]) if crash else true_ne == num(r["Ne"])):
        fail(f"{folder}: true_Ne {true_ne} for Ne {r['Ne']}")
    mig = r["scenario"] == "mig100"
    if (r["Ne"], r["Model"], r["NumAllele"]) != (("100", "1") if mig else ("50", "0")) + (
            ("2",) if biallelic else ("6",)):
        fail(f"{folder}: scenario values Ne={r['Ne']} Model={r['Model']} NumAllele={r['NumAllele']}")
    for s in ("S1", "S2"):
        if int(r[f"{s}_individuals"]) != 30:
            fail(f"{folder}: {s} has {r[s + '_individuals']} individuals, expected 30")
        for x in ("Ho", "He"):
            if not 0 <= num(r[f"{s}_{x}"]) <= 1:
                fail(f"{folder}: {s}_{x} = {r[s + '_' + x]}")
    for x in stats:
        if math.isnan(num(r[x])):
            fail(f"{folder}: {x} = {r[x]}")
        # Every interval of driftsim-stats holds its estimate (inf bounds allowed).
        for k in ("jackknife", "chisq"):
            if not num(r[f"{x}_{k}_lower"]) <= num(r[x]) <= num(r[f"{x}_{k}_upper"]):
                fail(f"{folder}: {x} {r[x]} outside its {k} interval")
    for x in ("Fc", "Fk", "Fs"):
        # The 1/Ne scale: the reciprocal of a finite estimate, zero or below for inf.
        ne, inv = num(r[f"Ne_{x}"]), num(r[f"inv_Ne_{x}"])
        if not (inv <= 0 if math.isinf(ne) else abs(inv * ne - 1) < 1e-4):
            fail(f"{folder}: inv_Ne_{x} {inv} for Ne_{x} {ne}")
    # The LD estimator runs on the biallelic scenario only, and its output joins the row.
    if biallelic:
        with open(os.path.join(folder, "estimate_LD.tsv")) as handle:
            own = dict(zip(*(line.rstrip("\n").split("\t") for line in handle)))
        ne, low, high = (num(r[c]) for c in ("Ne_LD", "Ne_LD_lower", "Ne_LD_upper"))
        if (abs(ne - num(own["Ne"])) > 1e-5 * abs(ne) or math.isnan(low + high)
                or abs(num(r["inv_Ne_LD"]) * ne - 1) > 1e-4):
            fail(f"{folder}: LD columns {ne} [{low}, {high}] against its output {own}")
    elif any(r[c] != "NA" for c in ("Ne_LD", "Ne_LD_lower", "Ne_LD_upper", "inv_Ne_LD")):
        fail(f"{folder}: LD columns in a scenario the estimator does not run on")
    if mig:
        if int(r["S0_individuals"]) != 30 or math.isnan(num(r["Fst"])):
            fail(f"{folder}: source sample columns {r['S0_individuals']} / {r['Fst']}")
    elif r["Fst"] != "NA" or r["S0_He"] != "NA":
        fail(f"{folder}: isolation row has source values")
    for name in ("run.dat", "run.par", "stats.tsv", "summary.json"):
        if not os.path.getsize(os.path.join(folder, name)):
            fail(f"{folder}/{name} is empty")
    # The exports of the configuration's exports key: every individual of the .dat.
    with open(os.path.join(folder, "run.dat")) as handle:
        labels = [line.split()[0] for line in handle]
    with open(os.path.join(folder, "run.gen")) as handle:
        gen = [line.split(" ,")[0] for line in handle if " ," in line]
    with open(os.path.join(folder, "run.vcf")) as handle:
        vcf = next(line for line in handle if line.startswith("#CHROM")).split()[9:]
    if gen != labels or vcf != labels:
        fail(f"{folder}: exports do not hold the individuals of run.dat")
if len(seeds) != 12:
    fail(f"seeds not distinct: {sorted(seeds)}")

# The summary: one row per scenario and estimator, the LD estimator on bi50 only; shares and
# coverages within [0, 1] and each coverage inside its Wilson interval.
with open(os.path.join(out, "summary.tsv"), newline="") as handle:
    summary = list(csv.DictReader(handle, delimiter="\t"))
pairs = [(s["scenario"], s["estimator"]) for s in summary]
want = [(s, e) for s in ("iso50", "mig100", "crash50", "bi50") for e in ("Fc", "Fk", "Fs")]
want.append(("bi50", "LD"))
if pairs != want:
    fail(f"summary rows {pairs}, expected {want}")
truth = {r["scenario"]: num(r["true_Ne"]) for r in rows}
for s in summary:
    where = f"summary {s['scenario']}/{s['estimator']}"
    if s["replicates"] != "3" or s["estimates"] != "3" or abs(num(s["true_Ne"]) - truth[s["scenario"]]) > 1e-4 * truth[s["scenario"]]:
        fail(f"{where}: replicates {s['replicates']}, estimates {s['estimates']}, true_Ne {s['true_Ne']}")
    if not 0 <= num(s["share_inf_or_negative"]) <= 1 or math.isnan(num(s["rel_rmse_inv"])):
        fail(f"{where}: share {s['share_inf_or_negative']}, RMSE {s['rel_rmse_inv']}")
    kinds = ["plugin"] if s["estimator"] == "LD" else ["jackknife", "chisq"]
    for k in ("jackknife", "chisq", "plugin"):
        c, lo, hi = (num_or_nan(s[f"{k}_coverage{x}"]) for x in ("", "_low", "_high"))
        if k in kinds:
            if s[f"{k}_n"] != "3" or not 0 <= lo <= c <= hi <= 1:
                fail(f"{where}: {k} coverage {c} [{lo}, {hi}] of n {s[k + '_n']}")
        elif not all(math.isnan(v) for v in (c, lo, hi)):
            fail(f"{where}: a {k} coverage for an estimator without that interval")
labels = {s["scenario"]: s["label"] for s in summary}
if labels["bi50"] != "Ne 50, biallelic" or labels["iso50"] != "iso50":
    fail(f"labels {labels}")

# The report: one self-contained file, figure inline, nothing loaded from outside; its design
# table, verdicts and reproduction block, read as HTML.
from html.parser import HTMLParser
class Report(HTMLParser):
    def __init__(self):
        super().__init__()
        self.tags, self.stack, self.elements = [], [], []
    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.tags.append((tag, attrs))
        if tag in ("img", "link", "meta", "br"):
            return  # void elements
        path = tuple(e[0] for e in self.stack) + ((tag, attrs.get("class") or ""),)
        self.stack.append((path[-1], []))
        self.elements.append((path, self.stack[-1][1]))
    def handle_endtag(self, tag):
        while self.stack and self.stack.pop()[0][0] != tag:
            pass
    def handle_data(self, data):
        for _, text in self.stack:
            text.append(data)
    def cells(self, *where):
        """Texts of the elements whose (tag, class) path ends with where, in order."""
        return ["".join(t).strip() for p, t in self.elements if p[-len(where):] == where]
with open(os.path.join(out, "report.html")) as handle:
    html = handle.read()
page = Report()
page.feed(html)
outside = [(t, a) for t, a in page.tags
           if (t in ("img", "script", "iframe", "source") and (a.get("src") or "data:")[:5] != "data:")
           or (t == "link")
           or (t == "a" and re.match(r"[a-z]+:|//|/", a.get("href", "")))]
if outside or "@import" in html or "url(" in html:
    fail(f"report.html loads from outside: {outside}")
design = page.cells(("table", "design"), ("tr", ""), ("th", ""))
want = ["scenario", "label", "Model", "Ne", "MigRate", "NumLoci", "NumAllele", "NumIndiv0",
        "INIT_POINT", "burn-in", "mutation rate", "Ne/N", "size changes", "true Ne", "replicates"]
if design != want:
    fail(f"design table columns {design}, expected {want}")
verdicts = page.cells(("ul", "verdicts"), ("li", "verdict"))
for name in ("Fc", "Fk", "Fs", "LD"):
    if not any(v.startswith(name + ":") for v in verdicts):
        fail(f"no verdict for {name} in {verdicts}")
caveat = [v for v in verdicts if v.startswith("Fc, where the true Ne is not its target (migrants (m 0.05)")]
if len(caveat) != 1 or not caveat[0].endswith(": mig100."):
    fail(f"no migration caveat in Fc's verdict: {verdicts}")
if not all(re.search(r"(scenarios?: .+|: mig100)\.$", v) for v in verdicts):
    fail(f"a verdict does not end with its scenarios: {verdicts}")
block = dict(zip(page.cells(("dl", "reproduction"), ("dt", "")),
                 page.cells(("dl", "reproduction"), ("dd", ""))))
want = ["driftsim", "CPU", "Snakemake", "command", "configuration", "seeds", "files"]
if list(block) != want:
    fail(f"reproduction block {list(block)}, expected {want}")
seeds = sorted(int(r["seed"]) for r in rows)
with open(os.path.join(out, "..", "config.yaml"), "rb") as handle:
    config_hash = hashlib.sha256(handle.read()).hexdigest()
checks = {"driftsim": r"^driftsim 1\.0\.\d+, (commit [0-9a-f]{40}|not built in a git tree)",
          "CPU": r"^CPU routines: ", "Snakemake": r"^7\.", "command": r"snakemake .*--configfile",
          "configuration": config_hash, "seeds": f"from {seeds[0]} to {seeds[-1]}\\.$"}
for name, pattern in checks.items():
    if not re.search(pattern, block[name]):
        fail(f"reproduction {name}: {block[name]!r} does not match {pattern!r}")
links = [a["href"] for t, a in page.tags if t == "a" and not a["href"].startswith("#")]
if links != ["replicates.tsv", "summary.tsv", "replicates.png", "replicates.pdf"]:
    fail(f"file links {links}")
with open(os.path.join(out, "replicates.pdf"), "rb") as handle:
    if handle.read(5) != b"%PDF-":
        fail("replicates.pdf is not a PDF")
for words in ("data:image/png;base64,", "driftsim 1.0", "ld_ne.py 1.1", "Ne 50, biallelic",
              "estimators:"):
    if words not in html:
        fail(f"report.html lacks {words!r}")

png = os.path.join(out, "replicates.png")
with open(png, "rb") as handle:
    head = handle.read(33)
if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
    fail("replicates.png is not a PNG")
width, height = struct.unpack(">II", head[16:24])
if not (300 <= width <= 4000 and 300 <= height <= 4000):
    fail(f"replicates.png is {width}x{height}")
if os.path.getsize(png) < 10000:
    fail(f"replicates.png has only {os.path.getsize(png)} bytes")
crash_ne = sorted({r["true_Ne"] for r in rows if r["scenario"] == "crash50"})
print(f"table: 12 rows x {len(header)} columns, crash50 true_Ne {crash_ne} (Ne 50); "
      f"summary: {len(summary)} rows; figure {width}x{height}; report {len(html)} bytes")
PY
}
check_results

# The state an interrupted study leaves: one replicate without its outputs, no table, no figure.
echo "== resume: a lost replicate is redone, the others are left alone"
# Modification times of every file of the replicates that stay finished.
stamp() {
  local f
  for f in "$TMP"/out/*/rep*/* "$TMP"/out/*/sizes.txt; do
    case "$f" in */mig100/rep2/*) ;; *) stat -c '%n %.9Y' "$f" ;; esac
  done
}
before="$(stamp)"
[ "$(echo "$before" | grep -c 'run.dat ')" = 11 ] || fail "expected 11 other replicates"
sleep 1
rm "$TMP/out/mig100/rep2/run.dat" "$TMP/out/mig100/rep2/stats.tsv" \
   "$TMP/out/replicates.tsv" "$TMP/out/replicates.png"
run_workflow "$TMP" "$TMP/resume.log" || { tail -40 "$TMP/resume.log"; fail "resumed workflow failed"; }
[ "$(stamp)" = "$before" ] || fail "files of finished replicates were rewritten: $(diff <(echo "$before") <(stamp))"
[ -s "$TMP/out/mig100/rep2/run.dat" ] && [ -s "$TMP/out/mig100/rep2/stats.tsv" ] || fail "lost replicate not redone"
grep -q 'rule simulate:' "$TMP/resume.log" || fail "no simulate job in the resumed run"
[ "$(grep -c 'rule simulate:' "$TMP/resume.log")" = 1 ] || fail "resume ran more than one simulation"
check_results

echo "== a failing external estimator fails its own jobs and no other (--keep-going)"
mkdir "$TMP/plugin"
$PY - "$TMP/config.yaml" "$TMP/plugin/config.yaml" <<'PY'
import sys, yaml
config = yaml.safe_load(open(sys.argv[1]))
config["replicates"] = 2
config["estimators"].append({"name": "broken", "input": "dat", "command":
    "{python} -c 'import sys; sys.exit(\"broken on purpose\")' {input} {par} {output}"})
yaml.safe_dump(config, open(sys.argv[2], "w"))
PY
if run_workflow "$TMP/plugin" "$TMP/plugin.log" --keep-going; then
  fail "workflow succeeded with a failing estimator"
fi
for rep in "$TMP"/plugin/out/*/rep*; do
  grep -q 'broken on purpose' "$rep/estimate_broken.log" || fail "$rep: no message in estimate_broken.log"
  [ ! -e "$rep/estimate_broken.tsv" ] || fail "$rep: failed estimator left its output"
  [ -s "$rep/stats.tsv" ] || fail "$rep: stats job did not run"
  case "$rep" in
    */bi50/*) [ -s "$rep/estimate_LD.tsv" ] || fail "$rep: LD estimator did not run" ;;
  esac
done
failed="$(grep -c '^Error in rule' "$TMP/plugin.log" || true)"
[ "$failed" = 8 ] || fail "expected 8 failed jobs (the broken estimator's), got $failed"
[ "$(grep -c '^Error in rule estimate:' "$TMP/plugin.log")" = 8 ] ||
  fail "a job other than the broken estimator's failed"
[ ! -e "$TMP/plugin/out/replicates.tsv" ] || fail "table written without the broken estimator"
echo "8 broken estimate jobs failed with their message; all simulate, stats and LD jobs ran"

echo "== hostile input: an outdir with a blank and a command, a label with quotes and markup, faulty plug-ins"
# One row per fault: (estimator, what it writes, the one line its log must end with). Each fails
# its own job with that line and no traceback; a plug-in that hangs is stopped by its time limit.
mkdir "$TMP/hostile"
$PY - "$TMP/config.yaml" "$TMP/hostile" <<'PY'
import os, sys, yaml
config = yaml.safe_load(open(sys.argv[1]))
config.update(replicates=1, exports=[], outdir="out dir;touch INJECTED;cd .")
config["scenarios"] = {"bi50": dict(config["scenarios"]["bi50"],
                                    label='"quoted" & <script>alert(1)</script> $5')}
faults = [  # (name, shell command, words of the refusal)
    ("zero", "printf 'Ne\\n0\\n' > {output}", "Ne 0 is no effective size"),
    ("reversed", "printf 'Ne\\tlower\\tupper\\n60\\t80\\t50\\n' > {output}", "lower bound 80 lies above upper bound 50"),
    ("twice", "printf 'Ne\\tNe\\n5\\t7\\n' > {output}", "the column Ne appears 2 times"),
    ("separator", "printf 'Ne\\n1_000\\n' > {output}", "Ne '1_000' is not a number"),
    ("silent", "true {output}", "exited with status 0 but wrote no output"),
    ("hangs", "sleep 600; true {output}", "longer than its time limit of 2 s"),
]
config["estimators"] += [{"name": n, "input": "dat", "command": c, "time_limit": 2}
                         for n, c, _ in faults]
config["estimators"].append({"name": "allNA", "input": "dat",
                             "command": "printf 'Ne\\tlower\\tupper\\nNA\\tNA\\tNA\\n' > {output}"})
yaml.safe_dump(config, open(os.path.join(sys.argv[2], "config.yaml"), "w"))
with open(os.path.join(sys.argv[2], "faults.tsv"), "w") as handle:
    handle.writelines(f"{n}\t{w}\n" for n, _, w in faults)
PY
if run_workflow "$TMP/hostile" "$TMP/hostile.log" --keep-going; then
  fail "workflow succeeded with faulty plug-ins"
fi
REPH="$TMP/hostile/out dir;touch INJECTED;cd ./bi50/rep1"
[ -s "$REPH/stats.tsv" ] && [ -s "$REPH/estimate_LD.tsv" ] && [ -s "$REPH/estimate_allNA.tsv" ] ||
  fail "jobs in an outdir with a blank and ';' did not run"
while IFS=$'\t' read -r name words; do
  log="$REPH/estimate_$name.log"
  last="$(tail -n 1 "$log")"
  case "$last" in "replicates.py: "*"$words"*) ;; *) fail "$name: log does not end with '$words': $(cat "$log")" ;; esac
  ! grep -q Traceback "$log" || fail "$name: a traceback in its log"
done < "$TMP/hostile/faults.tsv"
[ -z "$(find "$TMP" -name INJECTED)" ] || fail "a command in outdir was run"
# Without the faulty plug-ins: the one that gave only NA has its row, and the label is text.
$PY - "$TMP/hostile/config.yaml" <<'PY'
import sys, yaml
config = yaml.safe_load(open(sys.argv[1]))
config["estimators"] = [e for e in config["estimators"] if e["name"] in ("LD", "allNA")]
yaml.safe_dump(config, open(sys.argv[1], "w"))
PY
run_workflow "$TMP/hostile" "$TMP/hostile2.log" || { tail -40 "$TMP/hostile2.log"; fail "workflow failed without the faulty plug-ins"; }
$PY - "$TMP/hostile/out dir;touch INJECTED;cd ." <<'PY'
import csv, os, sys
out = sys.argv[1]
with open(os.path.join(out, "summary.tsv"), newline="") as handle:
    rows = list(csv.DictReader(handle, delimiter="\t", quoting=csv.QUOTE_NONE))
label = '"quoted" & <script>alert(1)</script> $5'
got = {(r["estimator"], r["label"], r["replicates"], r["estimates"]) for r in rows}
if ("allNA", label, "1", "0") not in got or ("LD", label, "1", "1") not in got:
    sys.exit(f"ci_check: FAIL: summary rows {sorted(got)}")
html = open(os.path.join(out, "report.html")).read()
if "<script>" in html or "&#34;quoted&#34; &amp; &lt;script&gt;alert(1)&lt;/script&gt; $5" not in html:
    sys.exit("ci_check: FAIL: the label is not escaped in report.html")
if "allNA: no estimate in any replicate in the one scenario" not in html:
    sys.exit("ci_check: FAIL: no verdict for the plug-in without estimates")
PY
[ -z "$(find "$TMP" -name INJECTED)" ] || fail "a command in outdir was run"
echo "6 faulty plug-ins refused in one line each; outdir and label taken as text; a plug-in of NA has its row"

echo "== a value driftsim refuses (given with --set) fails the workflow and keeps its message in the log"
mkdir "$TMP/bad"
sed -e 's/^replicates: 3/replicates: 1/' -e 's/iso50: {Ne: 50}/iso50: {Ne: 50, NumAllele: 200}/' \
  "$TMP/config.yaml" > "$TMP/bad/config.yaml"
if run_workflow "$TMP/bad" "$TMP/bad.log"; then fail "workflow succeeded with NumAllele 200"; fi
grep -q 'NumAllele' "$TMP/bad/out/iso50/rep1/driftsim.log" || fail "driftsim's message is not in its log"
[ ! -e "$TMP/bad/out/iso50/rep1/run.dat" ] || fail "failed run left run.dat"
[ ! -e "$TMP/bad/out/replicates.tsv" ] || fail "table written despite a failed replicate"

echo "== the linked study, reduced: 2000 SNPs on 20 chromosomes, 2 replicates of each Ne"
mkdir "$TMP/linked"
sed -e 's/^replicates: 50/replicates: 2/' -e 's/^  NumLoci: 10000/  NumLoci: 2000/' \
  "$HERE/linked.yaml" > "$TMP/linked/config.yaml"
run_workflow "$TMP/linked" "$TMP/linked.log" || { tail -40 "$TMP/linked.log"; fail "linked study failed"; }
$PY - "$TMP/linked/results-linked" "$TMP/out/replicates.tsv" <<'PY'
import csv, sys
linked, unlinked = sys.argv[1:]
with open(linked + "/summary.tsv") as handle:
    rows = {(r["scenario"], r["estimator"]): r for r in csv.DictReader(handle, delimiter="\t")}
for scenario in ("linked_Ne100", "linked_Ne400"):
    for name in ("Fc", "Fk", "Fs"):
        if rows[(scenario, name)]["jackknife_by_chromosomes_n"] != "2":
            sys.exit(f"ci_check: FAIL: {scenario} {name}: no jackknife over chromosomes")
    for name in ("LD", "LD_all"):
        if rows[(scenario, name)]["estimates"] != "2":
            sys.exit(f"ci_check: FAIL: {scenario} {name}: not 2 estimates")
    for rep in (1, 2):  # the plug-in's pairs: on different chromosomes, or all
        got = {}
        for name in ("LD", "LD_all"):
            with open(f"{linked}/{scenario}/rep{rep}/estimate_{name}.tsv") as handle:
                got[name] = next(csv.DictReader(handle, delimiter="\t"))
        if not int(float(got["LD"]["pairs"])) < int(float(got["LD_all"]["pairs"])):
            sys.exit(f"ci_check: FAIL: {scenario} rep{rep}: LD takes as many pairs as LD_all")
with open(unlinked) as handle:
    if "chromosomes" in handle.readline():
        sys.exit("ci_check: FAIL: an unlinked study's table has columns of chromosomes")
PY
echo "linked study: jackknife over chromosomes and both LD estimates in the summary"

echo "ci_check: OK"
