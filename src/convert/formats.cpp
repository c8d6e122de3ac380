// The writers of the export formats. Every export names locus l (from 1) "L<l>", writes the
// individuals under their data-file labels and ends its lines with a line feed.
#include <algorithm>
#include <charconv>
#include <cstring>

#include "convert/convert.hpp"

namespace driftsim::convert {

namespace {

using stats::GenoLine;
using stats::ParInfo;

std::string Decimal(int64_t n) {
  return std::to_string(n);
}

// A map position in Morgans as cM, in the shortest text that reads back as the same double.
std::string Centimorgans(double morgans) {
  char buf[32];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, morgans * 100.0);
  return ec == std::errc() ? std::string(buf, end) : "0";
}

std::string LocusName(int64_t locus) {
  return "L" + Decimal(locus + 1);
}

// ---------------------------------------------------------------------------------------------
// GENEPOP: a title line, one locus name a line, then one POP block per sample in file order
// (S1, S2, S0); an individual is "label ," and one six-digit genotype per locus, each allele in
// three digits, 000 for a missing one.
class Genepop final : public Writer {
 public:
  Genepop(OutputFile& out, const ParInfo& par, const std::string& data) : out_(out) {
    std::string samples = "S1, S2";
    if (par.individuals[stats::kSource] > 0) samples += ", S0";
    out_.Write("driftsim-convert of " + data + ": " + Decimal(par.loci) + " loci, samples " +
               samples + "\n");
    for (int64_t l = 0; l < par.loci; ++l) out_.Write(LocusName(l) + "\n");
    for (int a = 0; a <= stats::kMaxAllele; ++a) {
      code_[a][0] = static_cast<char>('0' + a / 100);
      code_[a][1] = static_cast<char>('0' + a / 10 % 10);
      code_[a][2] = static_cast<char>('0' + a % 10);
    }
  }

  void Line(const GenoLine& g) override {
    if (g.sample != sample_) out_.Write("POP\n");
    sample_ = g.sample;
    text_.assign(g.label);
    text_ += " ,";
    const size_t start = text_.size();
    text_.resize(start + 7 * static_cast<size_t>(g.loci) + 1);
    char* p = text_.data() + start;
    for (int64_t l = 0; l < g.loci; ++l) {
      p[0] = ' ';
      std::memcpy(p + 1, code_[g.alleles[2 * l]], 3);
      std::memcpy(p + 4, code_[g.alleles[2 * l + 1]], 3);
      p += 7;
    }
    *p = '\n';
    out_.Write(text_);
  }

 private:
  OutputFile& out_;
  int sample_ = -1;
  char code_[stats::kMaxAllele + 1][3];
  std::string text_;
};

// ---------------------------------------------------------------------------------------------
// VCF 4.2. The records are per locus and the data file per individual, so the genotypes are
// held (two bytes each) until the last line, then written a block of loci at a time.
//
// Alleles: GT index i is driftsim allele i + 1 at every locus, so the file is lossless for up to
// 127 alleles and needs no table to be read back. REF is allele 1, written A; ALT lists the
// alleles 2 up to the largest seen at the locus (none: "."). When no allele of the file is above
// 4, alleles 2, 3, 4 are the nucleotides C, G, T (a biallelic run reads as SNPs); otherwise
// every ALT allele a is the symbolic allele <Aa>, declared in the header.
//
// Layout: one contig per locus, named like the locus, with the locus at position 1. Loci are
// unlinked, and contigs are the one layout that every linkage tool reads as unlinked; a single
// contig with distant positions would still put all loci in a window counted in variants.
// With the run's genetic map, the contigs are its chromosomes instead, each as long as its
// last base pair, and a locus lies at its base pair (1 for a map's 0: VCF counts from 1).
class Vcf final : public Writer {
 public:
  Vcf(OutputFile& out, const ParInfo& par, const std::string& data, const GeneticMap* map)
      : out_(out), data_(data), loci_(par.loci), map_(map) {
    int64_t individuals = 0;
    for (const int64_t n : par.individuals) individuals += n;
    rows_.reserve(static_cast<size_t>(individuals) * 2 * static_cast<size_t>(loci_));
    names_.reserve(static_cast<size_t>(individuals));
  }

  void Line(const GenoLine& g) override {
    names_.emplace_back(g.label);
    rows_.insert(rows_.end(), g.alleles, g.alleles + 2 * g.loci);
    largest_ = std::max(largest_, g.largest);
  }

  void Finish() override {
    const bool nucleotides = largest_ <= 4;
    WriteHeader(nucleotides);
    // ALT text for the largest allele m of a locus, and the genotype texts.
    std::vector<std::string> alt(static_cast<size_t>(largest_) + 1, ".");
    const char* const bases[] = {"A", "C", "G", "T"};
    for (int32_t m = 2; m <= largest_; ++m) {
      std::string& text = alt[static_cast<size_t>(m)];
      text.clear();
      for (int32_t a = 2; a <= m; ++a) {
        if (a > 2) text += ',';
        text += nucleotides ? std::string(bases[a - 1]) : "<A" + Decimal(a) + ">";
      }
    }
    BuildGenotypes();
    WriteRecords(alt);
  }

 private:
  // "\ta/b" for every pair of allele numbers, in fixed slots of kSlot bytes with the length
  // in the last byte: a record is built by copies of whole slots. "\t254/254" has 8 bytes,
  // so the length needs a ninth.
  static constexpr size_t kSlot = 16;
  void BuildGenotypes() {
    const auto side = static_cast<size_t>(largest_) + 1;
    genotypes_.assign(side * side * kSlot, '\0');
    for (size_t a = 0; a < side; ++a) {
      for (size_t b = 0; b < side; ++b) {
        const std::string text =
            a == 0 ? "\t./." : "\t" + Decimal(int64_t(a) - 1) + "/" + Decimal(int64_t(b) - 1);
        char* slot = genotypes_.data() + (a * side + b) * kSlot;
        std::memcpy(slot, text.data(), text.size());
        slot[kSlot - 1] = static_cast<char>(text.size());
      }
    }
  }

  void WriteHeader(bool nucleotides) {
    out_.Write("##fileformat=VCFv4.2\n##source=driftsim-convert " DRIFTSIM_VERSION "\n");
    out_.Write("##driftsim_data=" + data_ + "\n");
    out_.Write(
        "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype; allele i is driftsim "
        "allele i+1\">\n");
    if (!nucleotides) {
      for (int32_t a = 2; a <= largest_; ++a) {
        out_.Write("##ALT=<ID=A" + Decimal(a) + ",Description=\"driftsim allele " + Decimal(a) +
                   "\">\n");
      }
    }
    if (map_) {
      for (const Chromosome& c : map_->Chromosomes) {
        out_.Write("##contig=<ID=" + c.Name + ",length=" + Decimal(Position(c.End - 1)) + ">\n");
      }
    } else {
      for (int64_t l = 0; l < loci_; ++l) {
        out_.Write("##contig=<ID=" + LocusName(l) + ",length=1>\n");
      }
    }
    std::string names = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";
    for (const std::string& n : names_) names += "\t" + n;
    out_.Write(names + "\n");
  }

  void WriteRecords(const std::vector<std::string>& alt) {
    // Loci per block: the block (individuals x 2 x kBlock bytes) stays in the caches, and its
    // row length is not a power of two, so that a column does not fall into one cache set.
    constexpr int64_t kBlock = 250;
    const size_t people = names_.size();
    const size_t rowBytes = 2 * static_cast<size_t>(loci_);
    const size_t stride = 2 * kBlock;
    const auto side = static_cast<size_t>(largest_) + 1;
    std::vector<uint8_t> block(people * stride);
    std::string record;
    for (int64_t first = 0; first < loci_; first += kBlock) {
      const int64_t count = std::min(kBlock, loci_ - first);
      for (size_t i = 0; i < people; ++i) {
        std::memcpy(block.data() + i * stride, rows_.data() + i * rowBytes + 2 * first,
                    2 * static_cast<size_t>(count));
      }
      for (int64_t j = 0; j < count; ++j) {
        const uint8_t* column = block.data() + 2 * j;
        uint8_t m = 0;
        for (size_t i = 0; i < people; ++i) {
          m = std::max({m, column[i * stride], column[i * stride + 1]});
        }
        const std::string name = LocusName(first + j);
        record = (map_ ? Contig(first + j) + "\t" + Decimal(Position(first + j)) : name + "\t1") +
                 "\t" + name + "\tA\t" + alt[m] + "\t.\t.\t.\tGT";
        size_t at = record.size();
        record.resize(at + kSlot * people + kSlot);
        char* const text = record.data();
        for (size_t i = 0; i < people; ++i) {
          const char* slot =
              genotypes_.data() + (column[i * stride] * side + column[i * stride + 1]) * kSlot;
          std::memcpy(text + at, slot, kSlot);
          at += static_cast<size_t>(slot[kSlot - 1]);
        }
        text[at++] = '\n';
        record.resize(at);
        out_.Write(record);
      }
    }
  }

  // Base-pair position of locus l and the name of its chromosome, from the map.
  int64_t Position(int64_t l) const { return std::max<int64_t>(1, map_->Bp[size_t(l)]); }
  const std::string& Contig(int64_t l) {
    while (map_->Chromosomes[chromosome_].End <= l) ++chromosome_;
    return map_->Chromosomes[chromosome_].Name;
  }

  OutputFile& out_;
  std::string data_;
  int64_t loci_;
  const GeneticMap* map_;
  size_t chromosome_ = 0;  // of the last locus written: loci are written in order
  int32_t largest_ = 0;
  std::vector<std::string> names_;
  std::vector<uint8_t> rows_;  // individual by individual, 2 x loci allele numbers each
  std::vector<char> genotypes_;
};

// ---------------------------------------------------------------------------------------------
// PLINK text files: the .map has chromosome 0 (PLINK's code for an unplaced variant), the locus
// name, 0 cM and the locus number as position, or with the run's genetic map the locus's
// chromosome, cM and base pair; a .ped line is the sample as family, the label,
// no parents, unknown sex and phenotype, then the two alleles of each locus, 0 for missing.
class Plink final : public Writer {
 public:
  Plink(OutputFile& ped, OutputFile& map, const ParInfo& par, const std::string& data,
        const GeneticMap* genetic)
      : ped_(ped), data_(data) {
    if (!genetic) {
      for (int64_t l = 0; l < par.loci; ++l) {
        map.Write("0\t" + LocusName(l) + "\t0\t" + Decimal(l + 1) + "\n");
      }
      return;
    }
    for (const Chromosome& c : genetic->Chromosomes) {
      for (int64_t l = c.First; l < c.End; ++l) {
        map.Write(c.Name + "\t" + LocusName(l) + "\t" + Centimorgans(genetic->Position[size_t(l)]) +
                  "\t" + Decimal(genetic->Bp[size_t(l)]) + "\n");
      }
    }
  }

  void Line(const GenoLine& g) override {
    if (g.largest > 2) {
      int64_t l = 0;
      while (g.alleles[2 * l] <= 2 && g.alleles[2 * l + 1] <= 2) ++l;
      const int a = std::max(g.alleles[2 * l], g.alleles[2 * l + 1]);
      throw StatsError(stats::AtLine(data_, g.line,
                                     "allele " + Decimal(a) + " at genotype " + Decimal(l + 1) +
                                         "; PLINK files take biallelic data only (NumAllele 2)"));
    }
    text_ = stats::SampleName(g.sample) + " " + std::string(g.label) + " 0 0 0 -9";
    const size_t start = text_.size();
    text_.resize(start + 4 * static_cast<size_t>(g.loci) + 1);
    char* p = text_.data() + start;
    for (int64_t l = 0; l < g.loci; ++l) {
      p[0] = ' ';
      p[1] = static_cast<char>('0' + g.alleles[2 * l]);
      p[2] = ' ';
      p[3] = static_cast<char>('0' + g.alleles[2 * l + 1]);
      p += 4;
    }
    *p = '\n';
    ped_.Write(text_);
  }

 private:
  OutputFile& ped_;
  std::string data_;
  std::string text_;
};

// sample<TAB>population, one individual a line, in file order (bcftools' -S files).
class PopMap final : public Writer {
 public:
  explicit PopMap(OutputFile& out) : out_(out) {}
  void Line(const GenoLine& g) override {
    out_.Write(std::string(g.label) + "\t" + stats::SampleName(g.sample) + "\n");
  }

 private:
  OutputFile& out_;
};

}  // namespace

std::unique_ptr<Writer> MakeGenepop(OutputFile& out, const ParInfo& par, const std::string& data) {
  return std::make_unique<Genepop>(out, par, data);
}

std::unique_ptr<Writer> MakeVcf(OutputFile& out, const ParInfo& par, const std::string& data,
                                const GeneticMap* map) {
  return std::make_unique<Vcf>(out, par, data, map);
}

std::unique_ptr<Writer> MakePlink(OutputFile& ped, OutputFile& map, const ParInfo& par,
                                  const std::string& data, const GeneticMap* genetic) {
  return std::make_unique<Plink>(ped, map, par, data, genetic);
}

std::unique_ptr<Writer> MakePopMap(OutputFile& out) {
  return std::make_unique<PopMap>(out);
}

}  // namespace driftsim::convert
