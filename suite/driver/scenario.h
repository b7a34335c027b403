// Scenario files for the driver stand-in: one event a line, played against
// the running driver, each outcome printed and checked.
//
// Owns: the scenario syntax (see docs/driver.md), parsing a line into a
// notification or a pause, playing a whole file and counting expectations.
// Must not: talk to the driver other than through DriverControl.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "suite/driver/driver_events.h"

namespace zv::suite {

struct ScenarioStep {
  enum class Verb { Start, Exit, Image, Open, Rename, Raw, Sleep, Run } verb = Verb::Raw;
  // What an open or rename line does on the machine's drive once allowed.
  enum class FileOp { None, Write, Create, Delete, Rename } op = FileOp::None;
  Notification event;          // paths still as written (converted when played)
  std::wstring target;         // rename and raw: the target path, if any
  bool explicitPathLength = false;
  std::uint32_t sleepMs = 0;
  std::optional<std::string> expect;  // allow, deny, noreply, timeout, noclient
  // A label where a pid (pidLabel) or parent pid (parentLabel) goes: the
  // machine pid of the program a run line started under that name.
  std::string pidLabel, parentLabel;
  // run: the label it defines, the program file and the command line.
  std::string label;
  std::wstring program, commandLine;
  std::string data;  // do=write and do=create: the bytes written
};

// A run label: a letter, then letters, digits, '_' or '-'.
bool IsScenarioLabel(const std::string& s);

// Splits at blanks; a token in double quotes may hold blanks.
std::vector<std::string> SplitScenarioLine(const std::string& line);

// nullopt with error empty for blank and comment lines; nullopt with a
// message for a line that does not parse.
std::optional<ScenarioStep> ParseScenarioLine(const std::string& line, std::string& error);

// Turns the step's paths into the driver's device form and builds the
// record; false with a message when a path has no volume, or (with
// *refused set) when a path holds a zero or the paths do not fit the
// record: such an event is never sent cut.
bool BuildNotification(const ScenarioStep& step, Notification& out, std::string& error, bool* refused = nullptr);

// Longest scenario line read (longer lines fail), and the most path units
// an event may carry (the record's path field less its terminator; rename
// source, zero and target together).
inline constexpr std::size_t kMaxLineBytes = 64 * 1024;
inline constexpr std::size_t kMaxPathUnits = 1025;

struct PlayResult {
  int passed = 0;
  int failed = 0;   // expectations not met, lines that do not parse, events not delivered
  int events = 0;
};

// Run lines start programs through the machine's CreateProcessW; the file
// operations of do= go through the machine's file API, as this process.
// When the control explains (DriverControl::SetExplain), each event's line
// is followed by DescribeExplanation.
PlayResult PlayScenario(std::istream& in, DriverControl& control, std::ostream& out);

// One line describing an event and its outcome, as the player prints it.
std::string DescribeOutcome(const Notification& n, const InjectResult& r);

// The lines zvorx wrote while deciding an event, as the player prints them
// under the event's line when it explains (each line "    | ..."); nothing
// for an event that reached no client.
std::string DescribeExplanation(const InjectResult& r);

}  // namespace zv::suite
