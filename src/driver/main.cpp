// driftsim: simulates temporal genetic samples of a Wright-Fisher population.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "driver/driver.hpp"
#include "output/output.hpp"

namespace {

constexpr const char* kUsage =
    "driftsim " DRIFTSIM_VERSION
    " - simulates temporal genetic samples of a Wright-Fisher population\n"
    "\n"
    "Usage: driftsim [PARAMFILE]\n"
    "\n"
    "Reads the nineteen values of the simulation parameter file PARAMFILE (default\n"
    "SimPara.txt in the working directory), simulates the population and writes\n"
    "  <OutFile>.dat  the genotypes of the two temporal samples and the source sample\n"
    "  <OutFile>.par  the parameter file of the estimation program\n"
    "Both files appear whole or not at all.\n"
    "\n"
    "Exit status: 0 after a complete run, 1 after any error (the console names it),\n"
    "130 or 143 when interrupted.\n"
    "\n"
    "The parameter file format is described in README.md and in driftsim(1).\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
    std::fputs(kUsage, stdout);
    return EXIT_SUCCESS;
  }
  if (argc > 1 && !std::strcmp(argv[1], "--version")) {
    std::puts("driftsim " DRIFTSIM_VERSION);
    return EXIT_SUCCESS;
  }
  driftsim::InstallSignalHandling();
  try {
    driftsim::RunSimulation(argc > 1 ? argv[1] : nullptr);
  } catch (const driftsim::FatalError& error) {
    driftsim::ReportFatalAndWait(error);
    return EXIT_FAILURE;
  } catch (const std::bad_alloc&) {
    driftsim::ReportFatalAndWait(driftsim::FatalError("Out of memory!", "driftsim"));
    return EXIT_FAILURE;
  }
  return EXIT_SUCCESS;
}
