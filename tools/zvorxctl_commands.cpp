// zvorxctl's command words, command files and messages: see zvorxctl_commands.h.
#include "tools/zvorxctl_commands.h"

#include <cstdio>

#include "platform/base/text.h"

namespace zv::tools {

using platform::RPC_STATUS;

bool ParseInt32(std::string_view w, int& out) {
  if (w.size() > 2 && w[0] == '0' && (w[1] == 'x' || w[1] == 'X')) {
    std::string_view digits = w.substr(2);
    if (digits.empty() || digits.size() > 8) return false;
    std::uint32_t v = 0;
    for (char c : digits) {
      int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
      if (d < 0) return false;
      v = v << 4 | static_cast<std::uint32_t>(d);
    }
    out = static_cast<int>(v);
    return true;
  }
  bool negative = false;
  if (!w.empty() && (w[0] == '-' || w[0] == '+')) {
    negative = w[0] == '-';
    w.remove_prefix(1);
  }
  if (w.empty() || w.size() > 10) return false;
  std::int64_t v = 0;
  for (char c : w) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (negative) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  out = static_cast<int>(v);
  return true;
}

bool ParseCommandWords(const std::vector<std::string>& words, CtlCommand& out, std::string& error) {
  if (words.empty()) {
    error = "no command";
    return false;
  }
  const std::string& verb = words[0];
  std::size_t expected;
  if (verb == "i") {
    out.kind = CtlCommand::I;
    expected = 4;
  } else if (verb == "is") {
    out.kind = CtlCommand::IS;
    expected = 5;
  } else if (verb == "s") {
    out.kind = CtlCommand::S;
    expected = 4;
  } else if (verb == "sss") {
    out.kind = CtlCommand::SSS;
    expected = 5;
  } else {
    error = "unknown command \"" + verb + "\" (expected i, is, s or sss)";
    return false;
  }
  if (words.size() != expected) {
    error = "\"" + verb + "\" takes " + std::to_string(expected - 1) + " arguments, got " +
            std::to_string(words.size() - 1);
    return false;
  }
  if (!ParseInt32(words[1], out.key)) {
    error = "KEY is not a 32-bit integer: \"" + words[1] + "\"";
    return false;
  }
  out.name = text::FromUtf8(words[2]);
  out.text1.clear();
  out.text2.clear();
  out.value = 0;
  switch (out.kind) {
    case CtlCommand::I:
    case CtlCommand::IS:
      if (!ParseInt32(words[3], out.value)) {
        error = "VALUE is not a 32-bit integer: \"" + words[3] + "\"";
        return false;
      }
      if (out.kind == CtlCommand::IS) out.text1 = text::FromUtf8(words[4]);
      break;
    case CtlCommand::S:
      out.text1 = text::FromUtf8(words[3]);
      break;
    case CtlCommand::SSS:
      out.text1 = text::FromUtf8(words[3]);
      out.text2 = text::FromUtf8(words[4]);
      break;
  }
  return true;
}

bool SplitCommandLine(std::string_view line, std::vector<std::string>& words, std::string& error) {
  words.clear();
  std::size_t i = 0;
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (i < line.size()) {
    while (i < line.size() && blank(line[i])) ++i;
    if (i >= line.size()) break;
    std::string word;
    if (line[i] == '"') {
      ++i;
      bool closed = false;
      while (i < line.size()) {
        if (line[i] == '"') {
          if (i + 1 < line.size() && line[i + 1] == '"') {
            word += '"';
            i += 2;
            continue;
          }
          ++i;
          closed = true;
          break;
        }
        word += line[i++];
      }
      if (!closed) {
        error = "unterminated quote";
        return false;
      }
      if (i < line.size() && !blank(line[i])) {
        error = "a closing quote must be followed by a blank";
        return false;
      }
    } else {
      while (i < line.size() && !blank(line[i])) word += line[i++];
    }
    words.push_back(std::move(word));
  }
  return true;
}

bool ParseCommandFile(std::istream& in, std::vector<CommandLine>& out, std::string& error) {
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    std::vector<std::string> words;
    CommandLine entry;
    entry.lineNumber = number;
    if (!SplitCommandLine(line, words, error) || !ParseCommandWords(words, entry.command, error)) {
      error = "line " + std::to_string(number) + ": " + error;
      return false;
    }
    out.push_back(std::move(entry));
  }
  if (in.bad()) {
    error = "read error";
    return false;
  }
  return true;
}

RPC_STATUS Execute(control::ZvorxClient& client, const CtlCommand& c, int* result) {
  switch (c.kind) {
    case CtlCommand::I:
      return client.Listen_i(c.key, c.name, c.value, result);
    case CtlCommand::IS:
      return client.Listen_is(c.key, c.name, c.value, c.text1, result);
    case CtlCommand::S:
      return client.Listen_s(c.key, c.name, c.text1, result);
    case CtlCommand::SSS:
      return client.Listen_sss(c.key, c.name, c.text1, c.text2, result);
  }
  return win::RPC_S_INVALID_ARG;
}

std::string DescribeFailure(RPC_STATUS status, std::uint32_t faultStatus) {
  char fault[64] = "";
  if (faultStatus) std::snprintf(fault, sizeof fault, " (fault status 0x%08X)", faultStatus);
  std::string code = " [RPC status " + std::to_string(status) + "]" + fault;
  switch (status) {
    case win::RPC_S_SERVER_UNAVAILABLE:
      return "the service is not running (no listener at \\pipe\\zvorxinterface)" + code;
    case win::RPC_S_ACCESS_DENIED:
      return "permission denied: only the service's user and the admin group may connect" + code;
    case win::RPC_S_CALL_FAILED:
      return faultStatus ? "the call failed" + code
                         : "the service closed the connection (not permitted, too many connections, or it stopped)" +
                               code;
    case win::RPC_S_CALL_FAILED_DNE:
      return "the service refused the bind" + code;
    case win::RPC_S_UNKNOWN_IF:
      return "the service does not offer the control interface" + code;
    case win::RPC_S_PROCNUM_OUT_OF_RANGE:
      return "the service does not know this procedure" + code;
    case win::RPC_X_BAD_STUB_DATA:
      return "the service could not decode the arguments" + code;
    case win::RPC_S_PROTOCOL_ERROR:
      return "protocol error" + code;
    case win::RPC_S_INVALID_ENDPOINT_FORMAT:
      return "the endpoint's socket path is not usable on this machine" + code;
    case win::RPC_S_STRING_TOO_LONG:
      return "a text is too long: at most 32767 characters each (not sent)" + code;
    case win::RPC_S_OUT_OF_MEMORY:
      return "the call is too large for the service" + code;
    default:
      return "the call failed" + code;
  }
}

int ExitCodeFor(RPC_STATUS status) {
  switch (status) {
    case win::RPC_S_OK:
      return kExitOk;
    case win::RPC_S_SERVER_UNAVAILABLE:
      return kExitUnavailable;
    case win::RPC_S_ACCESS_DENIED:
      return kExitNoPermission;
    default:
      return kExitSoftware;
  }
}

}  // namespace zv::tools
