// Decisions explained: the channel that carries the lines zvorx wrote while
// deciding one driver message back to the driver stand-in, which hands them
// to whoever injected the message.
//
// Owns: the explanation mark of a message (MXRED_MESSAGE::ExplainMark), the
// explanation record sent with FilterSendMessage (command
// kCommandExplanation) and the encoding of its lines, shared with the
// driver stand-in and the scenario player.
// Flow: the stand-in marks a message; the worker that takes it reads the
// mark once, collects its own lines while the engines decide
// (log::ScopedDecision), and sends them before its reply (or, for a kind
// without a reply, once the engines are done), the last part flagged. The
// driver answers each part before the worker goes on, so the lines are
// always there before the reply.
// Must not: be used for unmarked messages; nothing is collected or sent
// for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "log/decision.h"
#include "platform/base/win32.h"

namespace zv::channel {

inline constexpr win::DWORD kExplainMark = 1;
inline constexpr win::DWORD kCommandExplanation = 0x100;
inline constexpr win::DWORD kExplanationLastPart = 0x1;

// Explanation record: u32 Command (0x100), u32 Flags (bit 0: the last
// part), u64 MessageId, then lines. A line: u32 level, u32 flags
// (log::kLine*), u32 UTF-16 unit count, the units little-endian.
inline constexpr std::size_t kExplanationHeaderSize = 16;
inline constexpr std::size_t kExplainedLineHeaderSize = 12;
// The most bytes of one record; a longer explanation goes in several parts,
// and a single longer line is cut to fit.
inline constexpr std::size_t kExplanationPartBytes = 32 * 1024;

struct ExplanationPart {
  std::uint64_t messageId = 0;
  bool last = false;
  std::string lines;  // encoded lines, as in the record
};

// Appends one encoded line; its text is cut so the line takes at most
// maxBytes (no less than the line header).
void AppendExplainedLine(std::string& out, const log::DecisionLine& line, std::size_t maxBytes);
// Decodes a sequence of encoded lines; false (with the lines before the
// fault in out) when the bytes end inside a line.
bool DecodeExplainedLines(std::string_view bytes, std::vector<log::DecisionLine>& out);
// Splits encoded lines at line boundaries: the first `maxBytes` or fewer
// bytes that hold whole lines. Returns that length.
std::size_t WholeLinesWithin(std::string_view bytes, std::size_t maxBytes);

std::string EncodeExplanationPart(const ExplanationPart& part);
// False when the record is not an explanation or is shorter than its header.
bool DecodeExplanationPart(std::string_view record, ExplanationPart& out);

// Sends the lines of message `messageId` to the driver as explanation
// records (at least one, the last flagged). A failed send is logged and
// ends the sending; the decision and its reply go on.
void SendExplanation(win::HANDLE port, std::uint64_t messageId, const log::DecisionLines& lines);

}  // namespace zv::channel
