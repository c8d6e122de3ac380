// driftsim: simulates temporal genetic samples of a Wright-Fisher population.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "driver/driver.hpp"
#include "output/output.hpp"

namespace {

// An interrupted run removes its unfinished output files and ends with the usual status.
extern "C" void OnSignal(int sig) {
  driftsim::RemovePendingFiles();
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGHUP, OnSignal);
  try {
    driftsim::RunSimulation(argc > 1 ? argv[1] : nullptr);
  } catch (const driftsim::FatalError& error) {
    driftsim::ReportFatalAndWait(error);
    return EXIT_FAILURE;
  }
  return EXIT_SUCCESS;
}
