// Linked loci: the chromosomes the loci lie on and their positions along a genetic map, as
// --chromosomes N:M or a PLINK .map file (--map) gives them. Without either, every locus
// recombines freely with every other, and no map exists.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace driftsim {

// Loci [First, End) (counted from 0, in locus order) on one chromosome of Morgans length.
struct Chromosome {
  std::string Name;
  int64_t First = 0;
  int64_t End = 0;
  double Morgans = 0;
};

// The map of a linked run: its chromosomes in locus order, and each locus's position in Morgans
// from the start of its chromosome (non-decreasing within a chromosome, at most its length).
struct GeneticMap {
  std::vector<Chromosome> Chromosomes;
  std::vector<double> Position;  // per locus
  std::vector<int64_t> Bp;       // per locus: base-pair position (the map file's, or derived)
};

// The name of each locus's chromosome, in locus order: what the front ends give beside the
// map's per-locus Bp and Position.
std::vector<std::string> LocusChromosomes(const GeneticMap& map);

// Bytes a run holds for its map: per locus a position (double) and a bp position (int64), and
// the table of chromosomes.
uint64_t MapBytes(const GeneticMap& map);

// N chromosomes of M Morgans with the loci spread in order and evenly: chromosome c (from 0)
// takes loci [c x L / N, (c + 1) x L / N), and its i-th of n loci lies at M x (i + 1/2) / n.
// Base pairs are derived at 10^8 per Morgan (1 cM per megabase), from 1.
GeneticMap EvenMap(int64_t NumLoci, int32_t count, double morgans);

// Reads a PLINK .map file (a regular file): one line per locus, in locus order, of four fields
// separated by blanks or tabs: chromosome, name, position in cM, position in bp. Chromosomes
// are autosomes 1 to kMaxChromosome (a leading "chr" allowed), each in one run of lines; cM
// positions are finite, not negative and non-decreasing within a chromosome, as are the bp
// positions. A chromosome is as long as its last locus's position. Every refusal ends the run
// with the file and line.
GeneticMap ReadMap(const std::string& name, int64_t NumLoci);
GeneticMap ReadMapStream(std::istream& in, const std::string& name, int64_t NumLoci);
inline constexpr int32_t kMaxChromosome = 99;
inline constexpr size_t kMaxMapLine = 1000;

}  // namespace driftsim
