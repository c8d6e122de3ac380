// The figures of the table as one JSON object (nlohmann-json), for scripts that want every
// digit and the intervals by name.
#include <cmath>

#include <nlohmann/json.hpp>

#include "stats/stats.hpp"

namespace driftsim::stats {

namespace {

using Json = nlohmann::ordered_json;

// JSON has no NaN or infinity: NA is null, an infinite estimate the string "inf".
Json Number(double x) {
  if (std::isnan(x)) return nullptr;
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  return x;
}

Json Pair(Interval i) {
  return Json::array({Number(i.low), Number(i.high)});
}

}  // namespace

std::string StatsJson(const GenoCounts& counts, const ParInfo& par, const std::string& data,
                      const GeneticMap* map) {
  Json out;
  out["data"] = data;
  out["parameters"] = par.name;
  out["loci"] = counts.loci;
  Json samples = Json::object();
  for (const int s : {kFirst, kSecond, kSource}) {
    if (counts.samples[static_cast<size_t>(s)].individuals == 0) continue;
    const SampleStats st = SampleSummary(counts, s);
    samples[SampleName(s)] = {{"individuals", st.individuals},
                              {"loci", st.loci},
                              {"missing", Number(st.missing)},
                              {"alleles", Number(st.alleles)},
                              {"Ho", Number(st.ho)},
                              {"He", Number(st.he)},
                              {"Hs", Number(st.hs)}};
  }
  out["samples"] = samples;

  const TemporalStats t = TemporalSummary(counts, par.generations, map);
  Json temporal = {{"t", t.generations},
                   {"S1_hmean", Number(t.s1)},
                   {"S2_hmean", Number(t.s2)},
                   {"loci", t.loci},
                   {"alleles", t.alleles}};
  if (map != nullptr) temporal["chromosomes"] = t.chromosomes;
  const char* const names[] = {"Fc", "Fk", "Fs"};
  for (const FKind k : {kFc, kFk, kFs}) {
    const TemporalF& f = t.f[k];
    temporal[names[k]] = {{"F", Number(f.f)},
                          {"Ne", Number(f.ne)},
                          {"jackknife", {{"F", Pair(f.jackknife)}, {"Ne", Pair(f.neJackknife)}}},
                          {"chisq", {{"F", Pair(f.chiSquare)}, {"Ne", Pair(f.neChiSquare)}}}};
    if (map != nullptr) {
      temporal[names[k]]["jackknife_by_chromosomes"] = {{"F", Pair(f.byChromosomes)},
                                                        {"Ne", Pair(f.neByChromosomes)}};
    }
  }
  out["S1-S2"] = temporal;
  if (counts.samples[kSource].individuals > 0) out["S1-S0"] = {{"Fst", Number(SourceFst(counts))}};
  return out.dump(2) + "\n";
}

}  // namespace driftsim::stats
