#!/usr/bin/env bash
# The exports of driftsim-convert, read by the real tools of each format: for every case below,
# driftsim simulates a small data set, driftsim-convert writes the case's formats, and
#   vcf, vcf.gz  bcftools view/stats/query (and, for vcf.gz, bcftools index and tabix) must see
#                every locus and sample in order, with per-locus allele counts, over all
#                individuals and per sample, equal to those counted from the .dat;
#   plink        plink1.9 --file --freq --missing --family must give per-sample allele and
#                missing counts equal to the .dat's, and missing rates, He, Hs and alleles per
#                locus equal to driftsim-stats' per-sample figures;
#   genepop      adegenet::read.genepop must find the individuals, loci and populations, allele
#                counts equal to the .dat's, and adegenet::Hs (and He from its counts) equal
#                to driftsim-stats' per-sample Hs (He) to 1e-6.
#
# Usage: check_exports.sh [BUILD]   (default build/: driftsim, driftsim-stats, driftsim-convert)
# Needs bcftools, tabix, plink1.9, Rscript with adegenet, python3. KEEP_TMP=1 keeps the folder.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="$(realpath -m "${1:-$ROOT/build}")"
SIM="$BUILD/driftsim" STATS="$BUILD/driftsim-stats" CONVERT="$BUILD/driftsim-convert"

fail() { echo "check_exports: FAIL: $*" >&2; exit 1; }
for exe in "$SIM" "$STATS" "$CONVERT"; do [ -x "$exe" ] || fail "$exe is not an executable"; done
for tool in bcftools tabix plink1.9 Rscript python3; do
  command -v "$tool" >/dev/null || fail "$tool not found"
done
Rscript -e 'suppressPackageStartupMessages(library(adegenet))' || fail "R lacks adegenet"

TMP="$(mktemp -d)"
[ -n "${KEEP_TMP:-}" ] || trap 'rm -rf "$TMP"' EXIT

# Cases: name, then the parameter values Model Ne MigRate NumLoci NumAllele NumGen, sample sizes
# S0 S1 S2, MisRate DropRate FalseRate, then the formats to write. Multi-allelic data with two-
# digit alleles (symbolic VCF alleles), four alleles (nucleotides), and biallelic data with and
# without a source sample; every case has missing data.
CASES=(
  "micro  1 200 0.05 50  12 5  15 20 25 0.05 0.02 0.01  genepop vcf.gz"
  "k4     0 150 0    40  4  3  0  18 22 0.04 0.00 0.00  genepop vcf"
  "snp    1 300 0.02 300 2  8  20 30 30 0.05 0.01 0.01  genepop vcf.gz plink"
  "snpiso 0 100 0    120 2  10 0  25 35 0.08 0.00 0.00  plink vcf"
)

# A parameter file for driftsim from the values of a case.
write_params() {  # write_params FILE Model Ne MigRate NumLoci NumAllele NumGen N0 N1 N2 Mis Drop False
  local f=$1
  shift
  printf '%s\n' "$1 Model" "$2 Ne" "$3 MigRate" "$4 NumLoci" "$5 NumAllele" "$6 NumGen" \
    "$7 source sample" "$8 sample 1" "$9 sample 2" "4711 IDUM" "run OutFile" "2 INIT_POINT" \
    "5000 MaxNe" "0 Monitor" "0 NumThread" "${10} MisRate" "${11} DropRate" "${12} FalseRate" \
    "0 FreqDist" > "$f"
}

# Reads bcftools' outputs and compares them with the .dat (python3, below).
check_vcf() {  # check_vcf CASEDIR FILE
  local dir=$1 vcf=$2
  bcftools view -h "$vcf" > /dev/null
  bcftools query -l "$vcf" > "$dir/vcf.samples"
  bcftools view -H "$vcf" | wc -l > "$dir/vcf.records"
  bcftools stats "$vcf" | grep '^SN' > "$dir/vcf.stats"
  if [[ $vcf == *.gz ]]; then
    bcftools index -f "$vcf"
    tabix -f -p vcf "$vcf"
    bcftools index -n "$vcf" > "$dir/vcf.indexed"
  fi
  local fields='%ID\t%REF\t%ALT\t%AN\t%AC\t%AN_S1\t%AC_S1\t%AN_S2\t%AC_S2'
  [ -s "$dir/has_s0" ] && fields+='\t%AN_S0\t%AC_S0'
  bcftools +fill-tags "$vcf" -- -S "$dir/pop.txt" -t AN,AC |
    bcftools query -f "$fields\n" > "$dir/vcf.counts"
  compare "$dir" vcf
}

check_plink() {  # check_plink CASEDIR
  local dir=$1
  plink1.9 --file "$dir/run" --freq --missing --family --allow-no-sex --out "$dir/plink" \
    > "$dir/plink.console" 2>&1 || { cat "$dir/plink.console"; fail "plink1.9 failed"; }
  compare "$dir" plink
}

check_genepop() {  # check_genepop CASEDIR
  local dir=$1
  # Per population: individuals, and for every allele its count; adegenet's Hs; the corrected
  # He from adegenet's counts, loci typed.
  Rscript - "$dir/run.gen" "$dir/adegenet.tsv" > "$dir/adegenet.console" 2>&1 <<'R' ||
suppressPackageStartupMessages(library(adegenet))
args <- commandArgs(trailingOnly = TRUE)
x <- read.genepop(args[1], ncode = 3L, quiet = TRUE)
out <- c(sprintf("shape\t%d\t%d\t%d", nInd(x), nLoc(x), nPop(x)))
hs <- Hs(x)
counts <- tab(genind2genpop(x, quiet = TRUE))  # populations x alleles, NA-free counts
loc <- as.character(locFac(x))
for (p in seq_len(nPop(x))) {
  out <- c(out, sprintf("individuals\t%d\t%d", p, sum(as.integer(pop(x)) == p)))
  out <- c(out, sprintf("Hs\t%d\t%.17g", p, hs[p]))
  he <- c()
  for (l in unique(loc)) {
    k <- counts[p, loc == l]
    n <- sum(k)
    if (n > 0) he <- c(he, n / (n - 1) * (1 - sum((k / n)^2)))
  }
  out <- c(out, sprintf("He\t%d\t%.17g", p, mean(he)))
  nz <- which(counts[p, ] > 0)
  out <- c(out, sprintf("count\t%d\t%s\t%d", p, colnames(counts)[nz], counts[p, nz]))
}
writeLines(out, args[2])
R
    { cat "$dir/adegenet.console"; fail "adegenet could not read $dir/run.gen"; }
  compare "$dir" genepop
}

# The reference: counts parsed from the .dat here, figures from driftsim-stats --format json.
compare() {  # compare CASEDIR FORMAT
  python3 - "$1" "$2" <<'PY'
import json, os, sys
folder, kind = sys.argv[1], sys.argv[2]
def fail(msg):
    sys.exit(f"check_exports: FAIL: {os.path.basename(folder)} {kind}: {msg}")

# .dat: label, then pairs of allele numbers; a pair with a 0 is missing.
labels, sample_of, rows = [], {}, []
with open(os.path.join(folder, "run.dat"), newline="") as handle:
    for line in handle:
        cells = line.split()
        labels.append(cells[0])
        sample_of[cells[0]] = cells[0].split("_")[0]
        rows.append([int(v) for v in cells[1:]])
loci = len(rows[0]) // 2
samples = [s for s in ("S1", "S2", "S0") if s in sample_of.values()]
count = {s: [dict() for _ in range(loci)] for s in samples}   # sample -> locus -> allele -> n
missing = {s: [0] * loci for s in samples}
for label, row in zip(labels, rows):
    s = sample_of[label]
    for l in range(loci):
        a, b = row[2 * l], row[2 * l + 1]
        if a == 0 or b == 0:
            missing[s][l] += 1
            continue
        for x in (a, b):
            count[s][l][x] = count[s][l].get(x, 0) + 1
largest = max(max(r) for r in rows)
with open(os.path.join(folder, "stats.json")) as handle:
    stats = json.load(handle)["samples"]

def close(what, ours, theirs, tol=1e-6):
    if abs(ours - theirs) > tol:
        fail(f"{what}: {theirs!r} from the tool, {ours!r} from driftsim-stats")

def per_sample(s, locus_counts):
    """He, Hs and mean alleles of one sample from per-locus allele counts."""
    he = hs = alleles = typed = 0
    for c in locus_counts:
        n = sum(c.values())
        if n == 0:
            continue
        h = 1 - sum((v / n) ** 2 for v in c.values())
        he += n / (n - 1) * h
        hs += h
        alleles += sum(v > 0 for v in c.values())
        typed += 1
    return he / typed, hs / typed, alleles / typed

if kind == "vcf":
    read = lambda name: open(os.path.join(folder, name)).read().split()
    if read("vcf.samples") != labels:
        fail("samples are not the .dat labels in order")
    if int(read("vcf.records")[0]) != loci:
        fail(f"{read('vcf.records')[0]} records, {loci} loci")
    sn = {line.split("\t")[2]: line.split("\t")[3] for line in open(os.path.join(folder, "vcf.stats"))}
    if int(sn["number of samples:"]) != len(labels) or int(sn["number of records:"]) != loci:
        fail(f"bcftools stats: {sn['number of samples:']} samples, {sn['number of records:']} records")
    if os.path.exists(os.path.join(folder, "vcf.indexed")) and int(read("vcf.indexed")[0]) != loci:
        fail("the index does not count every record")
    lines = open(os.path.join(folder, "vcf.counts")).read().splitlines()
    if len(lines) != loci:
        fail(f"bcftools query gave {len(lines)} lines")
    symbols = ["C", "G", "T"] if largest <= 4 else None
    for l, line in enumerate(lines):
        cells = line.split("\t")
        if cells[0] != f"L{l + 1}" or cells[1] != "A":
            fail(f"record {l + 1} is {cells[0]} with REF {cells[1]}")
        top = max([a for s in samples for a in count[s][l]] or [1])
        alt = "." if top < 2 else ",".join(
            symbols[a - 2] if symbols else f"<A{a}>" for a in range(2, top + 1))
        if cells[2] != alt:
            fail(f"L{l + 1}: ALT {cells[2]}, expected {alt}")
        groups = [("all", samples)] + [(s, [s]) for s in samples]
        for g, (name, members) in enumerate(groups):
            an, ac = int(cells[3 + 2 * g]), cells[4 + 2 * g]
            total = {}
            for s in members:
                for a, n in count[s][l].items():
                    total[a] = total.get(a, 0) + n
            want = [total.get(a, 0) for a in range(2, top + 1)]
            got = [] if ac == "." else [int(v) for v in ac.split(",")]
            if an != sum(total.values()) or got != want:
                fail(f"L{l + 1} {name}: AN {an} AC {ac}, the .dat has AN {sum(total.values())} AC {want}")
elif kind == "plink":
    def table(name):
        lines = [line.split() for line in open(os.path.join(folder, name))]
        return [dict(zip(lines[0], cells)) for cells in lines[1:]]
    freq = {(r["SNP"], r["CLST"]): r for r in table("plink.frq.strat")}
    miss = {(r["SNP"], r["CLST"]): r for r in table("plink.lmiss")}
    for s in samples:
        individuals = sum(1 for v in sample_of.values() if v == s)
        locus_counts, missed = [], 0
        for l in range(loci):
            f, m = freq[(f"L{l + 1}", s)], miss[(f"L{l + 1}", s)]
            n, mac = int(f["NCHROBS"]), int(f["MAC"])
            c = count[s][l]
            a1 = int(f["A1"])  # 0 when the locus shows one allele in the whole file
            if n != sum(c.values()) or (mac != c.get(a1, 0) if a1 else mac or len(c) > 1):
                fail(f"L{l + 1} {s}: A1 {f['A1']} MAC {mac} of {n}, the .dat has {c}")
            if int(m["N_MISS"]) != missing[s][l] or int(m["N_GENO"]) != individuals:
                fail(f"L{l + 1} {s}: {m['N_MISS']} of {m['N_GENO']} missing, the .dat {missing[s][l]} of {individuals}")
            missed += int(m["N_MISS"])
            locus_counts.append({1: mac, 2: n - mac} if n else {})
        st = stats[s]
        close(f"{s} missing rate", st["missing"], missed / (individuals * loci))
        he, hs, alleles = per_sample(s, locus_counts)
        close(f"{s} He", st["He"], he)
        close(f"{s} Hs", st["Hs"], hs)
        close(f"{s} alleles", st["alleles"], alleles)
elif kind == "genepop":
    rows = [line.rstrip("\n").split("\t") for line in open(os.path.join(folder, "adegenet.tsv"))]
    shape = rows[0]
    if [int(v) for v in shape[1:]] != [len(labels), loci, len(samples)]:
        fail(f"adegenet reads {shape[1:]} individuals, loci, populations; expected {len(labels)}, {loci}, {len(samples)}")
    got = {s: [dict() for _ in range(loci)] for s in samples}
    for row in rows[1:]:
        s = samples[int(row[1]) - 1]  # POP blocks in the order S1, S2, S0
        if row[0] == "individuals" and int(row[2]) != sum(1 for v in sample_of.values() if v == s):
            fail(f"{s}: {row[2]} individuals")
        elif row[0] == "Hs":
            close(f"{s} adegenet::Hs", stats[s]["Hs"], float(row[2]))
        elif row[0] == "He":
            close(f"{s} He from adegenet's counts", stats[s]["He"], float(row[2]))
        elif row[0] == "count":
            locus, allele = row[2].split(".")
            got[s][int(locus[1:]) - 1][int(allele)] = int(row[3])
    for s in samples:
        if got[s] != count[s]:
            bad = next(l for l in range(loci) if got[s][l] != count[s][l])
            fail(f"{s} L{bad + 1}: adegenet counts {got[s][bad]}, the .dat {count[s][bad]}")
print(f"  {os.path.basename(folder)} {kind}: {len(labels)} individuals, {loci} loci, {len(samples)} samples agree")
PY
}

for case in "${CASES[@]}"; do
  read -r name model ne mig loci alleles gens n0 n1 n2 mis drop false formats <<< "$case"
  dir="$TMP/$name"
  mkdir -p "$dir"
  write_params "$dir/params.txt" "$model" "$ne" "$mig" "$loci" "$alleles" "$gens" "$n0" "$n1" \
    "$n2" "$mis" "$drop" "$false"
  (cd "$dir" && "$SIM" params.txt > driftsim.log) || { cat "$dir/driftsim.log"; fail "driftsim $name"; }
  "$STATS" --format json "$dir/run.dat" > "$dir/stats.json" || fail "driftsim-stats $name"
  if [ "$n0" -gt 0 ]; then echo yes > "$dir/has_s0"; fi
  echo "== $name: NumAllele $alleles, $loci loci, samples $n1/$n2/$n0, MisRate $mis: $formats"
  read -r -a list <<< "$formats"
  for format in "${list[@]}"; do
    case $format in
      vcf | vcf.gz)
        "$CONVERT" "$dir/run.dat" --to "$format" --pop-map "$dir/pop.txt" || fail "$name: $format"
        check_vcf "$dir" "$dir/run.$format" ;;
      plink)
        "$CONVERT" "$dir/run.dat" --to plink || fail "$name: plink"
        check_plink "$dir" ;;
      genepop)
        "$CONVERT" "$dir/run.dat" --to genepop || fail "$name: genepop"
        check_genepop "$dir" ;;
    esac
  done
done
echo "check_exports: OK"
