// Run driver: the fixed run sequence, console output, the clock and the one fatal-error path.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace driftsim {

// Shortest decimal text of an integer: digits only, "-" in front when negative.
std::string IntToText(int64_t n);

// Whole seconds of a monotonic clock. Only differences of two readings are meaningful, so a
// change of the wall clock (daylight saving, manual reset) never gives a wrong elapsed time.
int32_t WallSeconds();

// The one error every step raises: the message and the routine that detected it.
class FatalError : public std::runtime_error {
 public:
  FatalError(std::string message, std::string routine);
  const std::string& Message() const { return message_; }
  const std::string& Routine() const { return routine_; }

 private:
  std::string message_;
  std::string routine_;
};

// Ends the run on an error. Library code only throws; main reports and exits.
[[noreturn]] void FatalStop(std::string_view message, std::string_view routine);

// The four report lines of a fatal stop: empty line, message, empty line, stop line.
std::string FatalReport(const FatalError& error);

// Writes the report in one go, waits until the whole-second count has advanced by 2, so that a
// script watching the console sees the report before the process ends.
void ReportFatalAndWait(const FatalError& error);

// Console output: a whole line, or a progress text that the next one overwrites.
void ConsoleLine(std::string_view text);
void ConsoleText(std::string_view text);

// Seconds spent in the phases of a run, for benchmarks.
struct RunTimes {
  double initialize = 0;   // tables, frequencies and the initial population
  double generations = 0;  // all reproduction and mutation steps
  int32_t generationCount = 0;
  double samples = 0;  // samples and genotyping errors
  double write = 0;    // both output files
};

// The whole run, from reading the parameter file to the final report. paramArg is the first
// command-line argument, or null when there is none; times, when given, receives the phase
// times. Throws FatalError on any failure.
void RunSimulation(const char* paramArg, RunTimes* times = nullptr);

}  // namespace driftsim
