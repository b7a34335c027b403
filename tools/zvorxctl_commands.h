// The commands of zvorxctl: words to calls, command files, error texts.
//
// Owns: the word forms of the four procedures ("i KEY NAME VALUE",
// "is KEY NAME VALUE TEXT", "s KEY NAME TEXT", "sss KEY NAME TEXT1 TEXT2"),
// the command-file rule (one command a line; blank lines and lines whose
// first non-blank character is '#' are skipped; words are separated by
// blanks; a word that starts with '"' runs to the closing '"', and '""'
// inside it is one '"'; backslashes are always literal), the mapping of
// results to messages and exit codes.
// Must not: open sockets itself (control/ZvorxClient does).
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "control/zvorx_interface.h"

namespace zv::tools {

struct CtlCommand {
  enum Kind { I, IS, S, SSS } kind = I;
  int key = 0;
  std::wstring name;
  int value = 0;
  std::wstring text1;
  std::wstring text2;
};

// Exit codes (sysexits.h values).
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 64;
inline constexpr int kExitDataError = 65;   // a bad line in a command file
inline constexpr int kExitNoInput = 66;     // the command file cannot be read
inline constexpr int kExitUnavailable = 69; // the service is not running
inline constexpr int kExitSoftware = 70;    // fault or protocol error
inline constexpr int kExitNoPermission = 77;
inline constexpr int kExitConfig = 78;      // no machine

// A 32-bit integer: decimal with an optional sign, or 0x followed by up to
// eight hex digits (taken as the 32-bit pattern).
bool ParseInt32(std::string_view word, int& out);

// Words (UTF-8) to a command: "i", "is", "s" or "sss" and its arguments.
bool ParseCommandWords(const std::vector<std::string>& words, CtlCommand& out, std::string& error);

// Splits one command-file line into words; false on an unterminated quote
// or a quote followed by something other than a blank.
bool SplitCommandLine(std::string_view line, std::vector<std::string>& words, std::string& error);

struct CommandLine {
  int lineNumber = 0;
  CtlCommand command;
};
// Reads a whole command file; on failure `error` names the line.
bool ParseCommandFile(std::istream& in, std::vector<CommandLine>& out, std::string& error);

platform::RPC_STATUS Execute(control::ZvorxClient& client, const CtlCommand& command, int* result);

// A message for a failed call, and the exit code that goes with it.
std::string DescribeFailure(platform::RPC_STATUS status, std::uint32_t faultStatus);
int ExitCodeFor(platform::RPC_STATUS status);

}  // namespace zv::tools
