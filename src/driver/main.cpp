// driftsim: simulates temporal genetic samples of a Wright-Fisher population.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "cli/cli.hpp"
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
  const driftsim::CommandLine command = driftsim::ReadCommandLine(argc, argv);
  switch (command.action) {
    case driftsim::CommandLine::kShowHelp:
      std::fputs(driftsim::HelpText().c_str(), stdout);
      return EXIT_SUCCESS;
    case driftsim::CommandLine::kShowVersion:
      std::printf("driftsim %s\n", driftsim::kVersion);
      return EXIT_SUCCESS;
    case driftsim::CommandLine::kUsageError:
      // At once, without the pause of a fatal stop: nothing has started.
      std::fprintf(stderr, "%s\n", command.error.c_str());
      return 2;
    case driftsim::CommandLine::kRun:
      break;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGHUP, OnSignal);
  // Past a file-size limit, writes then fail with EFBIG and the run stops cleanly.
  std::signal(SIGXFSZ, SIG_IGN);
  try {
    if (command.options.check) {
      driftsim::CheckSimulation(command.options);
    } else {
      driftsim::RunSimulation(command.options);
    }
  } catch (const driftsim::FatalError& error) {
    driftsim::ReportFatalAndWait(error);
    return EXIT_FAILURE;
  } catch (const std::bad_alloc&) {
    driftsim::ReportFatalAndWait(driftsim::FatalError("Out of memory!", "driftsim"));
    return EXIT_FAILURE;
  }
  return EXIT_SUCCESS;
}
