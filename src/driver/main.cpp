// driftsim: simulates temporal genetic samples of a Wright-Fisher population.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "cli/cli.hpp"
#include "driver/driver.hpp"
#include "transaction/transaction.hpp"

int main(int argc, char** argv) {
  // Before any file is opened: a closed console must not lend its number to an output.
  driftsim::OpenStandardDescriptors();
  const driftsim::CommandLine command = driftsim::ReadCommandLine(argc, argv);
  switch (command.action) {
    case driftsim::CommandLine::kShowHelp:
      std::fputs(driftsim::HelpText().c_str(), stdout);
      return EXIT_SUCCESS;
    case driftsim::CommandLine::kShowVersion:
      std::fputs(driftsim::VersionText().c_str(), stdout);
      return EXIT_SUCCESS;
    case driftsim::CommandLine::kUsageError:
      // At once, without the pause of a fatal stop: nothing has started.
      std::fprintf(stderr, "%s\n", command.error.c_str());
      return 2;
    case driftsim::CommandLine::kRun:
      break;
  }
  driftsim::InstallSignalHandling();
  // Messages go to standard error whenever standard output carries data.
  std::FILE* const messages = command.options.summary == "-" ? stderr : stdout;
  try {
    if (command.options.check) {
      driftsim::CheckSimulation(command.options);
    } else {
      driftsim::RunSimulation(command.options);
    }
  } catch (const driftsim::FatalError& error) {
    driftsim::ReportFatalAndWait(error, messages);
    return EXIT_FAILURE;
  } catch (const std::bad_alloc&) {
    driftsim::ReportFatalAndWait(
        driftsim::FatalError("Out of memory!", "driftsim", driftsim::ErrorKind::kOutOfMemory),
        messages);
    return EXIT_FAILURE;
  }
  return EXIT_SUCCESS;
}
