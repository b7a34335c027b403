// The suite's URL-block and port-block drivers as the machine stands them
// in: what each reads from its service key when it is loaded.
//
// Owns: the two drivers' names ("mxblkurl", "mxblkprt"), the layout and
// limits of their values (16-byte URL records, at most 400; 8-byte port
// records, at most 100), the checks a value must pass before a driver
// enforces it, and the text a loaded driver reports (one "name=value" line
// per setting and record, "<ERROR> ..." for every refused value).
// Must not: write the values (the configuration module does) or link
// zvorx's code (driver_channel/, log/).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files/machine.h"

namespace zv::suite {

constexpr const wchar_t* kUrlDriver = L"mxblkurl";
constexpr const wchar_t* kPortDriver = L"mxblkprt";

constexpr std::size_t kUrlRecordBytes = 16;
constexpr std::size_t kMaxUrlRecords = 400;
constexpr std::size_t kPortRecordBytes = 8;
constexpr std::size_t kMaxPortRecords = 100;

enum class BlockDriverKind { Url, Port };

// What a driver would enforce, read from the key of `service`.
struct BlockDriverReading {
  bool keyFound = false;
  std::uint32_t defaultIsDeny = 0;    // URL driver
  std::uint32_t debugTextOutput = 0;  // URL driver
  std::vector<std::string> urls;      // ANSI bytes of each record's text
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ports;
  std::vector<std::string> errors;    // refused values, one line each

  // "DefaultIsDenyURL=1", "url[0]=example.com", "port[0]=80,1", then the
  // error lines.
  std::vector<std::string> Lines(BlockDriverKind kind) const;
};

// A value that fails its check is refused: the driver enforces its default
// (0, or an empty list) and the reading carries an error line.
BlockDriverReading ReadBlockDriverKey(platform::Machine& machine, BlockDriverKind kind, const std::wstring& service);

// The kind of a driver service name, when it is one of the two.
bool BlockDriverKindOf(const std::wstring& service, BlockDriverKind& kind);

// The driver program: "load SERVICE" reads the key, writes the lines to
// standard output and each error to the debugger output, and exits 0
// (loaded; refused values are not enforced). Bad usage: 87; no machine: 21.
int RunBlockDriver(BlockDriverKind kind, int argc, char** argv);

}  // namespace zv::suite
