// Decisions explained: see explain.h.
#include "driver_channel/explain.h"

#include <algorithm>

#include "log/log.h"
#include "platform/base/text.h"
#include "platform/filter/filter_api.h"

namespace zv::channel {
namespace {

void PutU32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::uint32_t GetU32(std::string_view in, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
  return v;
}

std::uint64_t GetU64(std::string_view in, std::size_t at) {
  return GetU32(in, at) | (static_cast<std::uint64_t>(GetU32(in, at + 4)) << 32);
}

}  // namespace

void AppendExplainedLine(std::string& out, const log::DecisionLine& line, std::size_t maxBytes) {
  const std::size_t room = maxBytes > kExplainedLineHeaderSize ? (maxBytes - kExplainedLineHeaderSize) / 2 : 0;
  std::size_t units = std::min(line.text.size(), room);
  // A cut never leaves half a surrogate pair behind.
  if (units < line.text.size() && units > 0 && line.text[units - 1] >= 0xD800 && line.text[units - 1] <= 0xDBFF) {
    --units;
  }
  PutU32(out, line.level);
  PutU32(out, line.flags);
  PutU32(out, static_cast<std::uint32_t>(units));
  out += text::ToUtf16Le(std::wstring_view(line.text).substr(0, units));
}

bool DecodeExplainedLines(std::string_view bytes, std::vector<log::DecisionLine>& out) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < kExplainedLineHeaderSize) return false;
    log::DecisionLine line;
    line.level = GetU32(bytes, at);
    line.flags = GetU32(bytes, at + 4);
    const std::uint64_t size = 2ull * GetU32(bytes, at + 8);
    at += kExplainedLineHeaderSize;
    if (bytes.size() - at < size) return false;
    line.text = text::FromUtf16Le(bytes.data() + at, static_cast<std::size_t>(size));
    at += static_cast<std::size_t>(size);
    out.push_back(std::move(line));
  }
  return true;
}

std::size_t WholeLinesWithin(std::string_view bytes, std::size_t maxBytes) {
  std::size_t at = 0;
  while (bytes.size() - at >= kExplainedLineHeaderSize) {
    const std::size_t next = at + kExplainedLineHeaderSize + 2ull * GetU32(bytes, at + 8);
    if (next > bytes.size() || next > maxBytes) break;
    at = next;
  }
  return at;
}

std::string EncodeExplanationPart(const ExplanationPart& part) {
  std::string out;
  out.reserve(kExplanationHeaderSize + part.lines.size());
  PutU32(out, kCommandExplanation);
  PutU32(out, part.last ? kExplanationLastPart : 0);
  PutU32(out, static_cast<std::uint32_t>(part.messageId));
  PutU32(out, static_cast<std::uint32_t>(part.messageId >> 32));
  out += part.lines;
  return out;
}

bool DecodeExplanationPart(std::string_view record, ExplanationPart& out) {
  if (record.size() < kExplanationHeaderSize || GetU32(record, 0) != kCommandExplanation) return false;
  out.last = (GetU32(record, 4) & kExplanationLastPart) != 0;
  out.messageId = GetU64(record, 8);
  out.lines.assign(record.substr(kExplanationHeaderSize));
  return true;
}

void SendExplanation(win::HANDLE port, std::uint64_t messageId, const log::DecisionLines& lines) {
  constexpr std::size_t kRoom = kExplanationPartBytes - kExplanationHeaderSize;
  ExplanationPart part;
  part.messageId = messageId;
  const auto& all = lines.Lines();
  std::size_t next = 0;
  do {
    part.lines.clear();
    while (next < all.size()) {
      const log::DecisionLine& line = all[next];
      const std::size_t size = kExplainedLineHeaderSize + 2 * line.text.size();
      // A line that fills a part on its own is cut to fit one.
      if (!part.lines.empty() && part.lines.size() + size > kRoom) break;
      AppendExplainedLine(part.lines, line, kRoom - part.lines.size());
      ++next;
    }
    part.last = next == all.size();
    const std::string record = EncodeExplanationPart(part);
    win::DWORD returned = 0;
    win::HRESULT hr = platform::Filters::Get().FilterSendMessage(port, record.data(),
                                                                 static_cast<win::DWORD>(record.size()), nullptr, 0,
                                                                 &returned);
    if (win::FAILED(hr)) {
      log::LogWrite(1, L"ScannerWorker", L"<ERROR> (ERROR:0x%08X)=FilterSendMessage(explanation of %I64u)", hr,
                    messageId);
      return;
    }
  } while (!part.last);
}

}  // namespace zv::channel
