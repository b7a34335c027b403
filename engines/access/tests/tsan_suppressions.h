// The ThreadSanitizer suppressions of the Boost.Regex block cache, for this
// test binary and for the programs it starts that match paths on several
// threads (zvorx). For tests only.
#pragma once

namespace zv::engines::testing {

// Lines in the suppression-file format, one frame pattern a line.
extern const char* const kRegexRaceSuppressions;

}  // namespace zv::engines::testing
