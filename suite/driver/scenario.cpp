// Scenario files: see scenario.h.
#include "suite/driver/scenario.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <sstream>

#include "platform/base/clock.h"
#include "platform/base/handles.h"
#include "platform/base/text.h"
#include "platform/files/file_api.h"
#include "platform/processes/program_api.h"

namespace zv::suite {
namespace {

const std::map<std::string, std::uint32_t>& AccessNames() {
  static const std::map<std::string, std::uint32_t> names = {
      {"GENERIC_READ", win::GENERIC_READ},       {"GENERIC_WRITE", win::GENERIC_WRITE},
      {"GENERIC_EXECUTE", win::GENERIC_EXECUTE}, {"GENERIC_ALL", win::GENERIC_ALL},
      {"DELETE", win::DELETE},                   {"SYNCHRONIZE", win::SYNCHRONIZE},
      {"FILE_READ_DATA", win::FILE_READ_DATA},   {"FILE_WRITE_DATA", win::FILE_WRITE_DATA},
      {"FILE_APPEND_DATA", win::FILE_APPEND_DATA}, {"FILE_EXECUTE", win::FILE_EXECUTE},
      {"FILE_WRITE_ATTRIBUTES", win::FILE_WRITE_ATTRIBUTES},
  };
  return names;
}

bool ParseNumber(const std::string& s, std::uint32_t& out) {
  if (s.empty()) return false;
  char* end = nullptr;
  unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (*end != '\0' || v > 0xFFFFFFFFull) return false;
  out = static_cast<std::uint32_t>(v);
  return true;
}

// A number, or access-right names joined by '|'.
bool ParseAccess(const std::string& s, std::uint32_t& out) {
  if (ParseNumber(s, out)) return true;
  out = 0;
  std::stringstream parts(s);
  std::string part;
  while (std::getline(parts, part, '|')) {
    std::string upper;
    for (char c : part) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto it = AccessNames().find(upper);
    std::uint32_t v;
    if (it != AccessNames().end()) out |= it->second;
    else if (ParseNumber(part, v)) out |= v;
    else return false;
  }
  return true;
}

bool IsOutcomeWord(const std::string& w) {
  return w == "allow" || w == "deny" || w == "noreply" || w == "timeout" || w == "noclient";
}

std::string Hex(std::uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08X", v);
  return b;
}

// A command-line token, quoted when it holds a blank.
std::wstring Quoted(const std::string& s) {
  std::wstring w = text::FromUtf8(s);
  return w.find_first_of(L" \t") == std::wstring::npos ? w : L"\"" + w + L"\"";
}

}  // namespace

bool IsScenarioLabel(const std::string& s) {
  if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return false;
  for (char c : s)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') return false;
  return true;
}

std::vector<std::string> SplitScenarioLine(const std::string& line) {
  std::vector<std::string> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    if (i >= line.size()) break;
    std::string token;
    bool quoted = false;
    while (i < line.size() && (quoted || !std::isspace(static_cast<unsigned char>(line[i])))) {
      if (line[i] == '"') quoted = !quoted;
      else token += line[i];
      ++i;
    }
    tokens.push_back(token);
  }
  return tokens;
}

std::optional<ScenarioStep> ParseScenarioLine(const std::string& rawLine, std::string& error) {
  error.clear();
  std::string line = rawLine;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::vector<std::string> t = SplitScenarioLine(line);
  if (t.empty() || t[0][0] == '#') return std::nullopt;

  ScenarioStep step;
  // Trailing "expect WORD".
  if (t.size() >= 2 && t[t.size() - 2] == "expect") {
    if (!IsOutcomeWord(t.back())) {
      error = "unknown outcome '" + t.back() + "' (allow, deny, noreply, timeout, noclient)";
      return std::nullopt;
    }
    step.expect = t.back();
    t.resize(t.size() - 2);
  }
  const std::string& verb = t[0];
  if (verb == "run") {
    // Taken whole: the program's arguments are not options of ours.
    if (t.size() < 3 || !IsScenarioLabel(t[1])) {
      error = "usage: run LABEL PROGRAM [ARG...] (LABEL: a letter, then letters, digits, _ or -)";
      return std::nullopt;
    }
    if (step.expect) {
      error = "run has no outcome";
      return std::nullopt;
    }
    step.verb = ScenarioStep::Verb::Run;
    step.label = t[1];
    step.program = text::FromUtf8(t[2]);
    step.commandLine = Quoted(t[2]);
    for (std::size_t i = 3; i < t.size(); ++i) step.commandLine += L" " + Quoted(t[i]);
    return step;
  }
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;
  std::vector<std::string> flags;
  for (std::size_t i = 1; i < t.size(); ++i) {
    std::size_t eq = t[i].find('=');
    if (eq != std::string::npos && eq > 0 && t[i].find_first_of("\\:") > eq) options[t[i].substr(0, eq)] = t[i].substr(eq + 1);
    else if (t[i] == "create" || t[i] == "dir" || t[i] == "replace") flags.push_back(t[i]);
    else positional.push_back(t[i]);
  }
  auto flag = [&](const char* f) {
    for (auto& x : flags) if (x == f) return true;
    return false;
  };
  auto number = [&](const std::string& s, std::uint32_t& out, const char* what) {
    if (ParseNumber(s, out)) return true;
    error = std::string("bad ") + what + " '" + s + "'";
    return false;
  };
  auto wantPositional = [&](std::size_t n, const char* usage) {
    if (positional.size() == n) return true;
    error = std::string("usage: ") + usage;
    return false;
  };
  // A pid or a run label.
  auto pid = [&](const std::string& s, std::uint32_t& out, std::string& label, const char* what) {
    if (ParseNumber(s, out)) return true;
    if (IsScenarioLabel(s)) {
      label = s;
      return true;
    }
    error = std::string("bad ") + what + " '" + s + "' (a number or a run label)";
    return false;
  };
  Notification& n = step.event;
  if (options.count("do")) {
    const std::string& op = options["do"];
    const bool open = verb == "open", rename = verb == "rename";
    if (open && op == "write") step.op = ScenarioStep::FileOp::Write;
    else if (open && op == "create") step.op = ScenarioStep::FileOp::Create;
    else if (open && op == "delete") step.op = ScenarioStep::FileOp::Delete;
    else if (rename && op == "rename") step.op = ScenarioStep::FileOp::Rename;
    else {
      error = "bad do='" + op + "' (open: write, create, delete; rename: rename)";
      return std::nullopt;
    }
    options.erase("do");
  }
  if (options.count("data")) {
    if (step.op != ScenarioStep::FileOp::Write && step.op != ScenarioStep::FileOp::Create) {
      error = "data= goes with do=write or do=create";
      return std::nullopt;
    }
    step.data = options["data"];
    options.erase("data");
  }
  if (options.count("access") && !ParseAccess(options["access"], n.desiredAccess)) {
    error = "bad access '" + options["access"] + "'";
    return std::nullopt;
  }

  if (verb == "start" || verb == "exit") {
    if (!wantPositional(2, "start|exit PID PARENT")) return std::nullopt;
    step.verb = verb == "start" ? ScenarioStep::Verb::Start : ScenarioStep::Verb::Exit;
    n.kind = 2;
    if (!pid(positional[0], n.processId, step.pidLabel, "pid") ||
        !pid(positional[1], n.param1, step.parentLabel, "parent pid"))
      return std::nullopt;
    n.param2 = verb == "start" ? 1 : 0;
  } else if (verb == "image") {
    if (!wantPositional(2, "image PID PATH")) return std::nullopt;
    step.verb = ScenarioStep::Verb::Image;
    n.kind = 1;
    if (!pid(positional[0], n.processId, step.pidLabel, "pid")) return std::nullopt;
    n.path = text::FromUtf8(positional[1]);
  } else if (verb == "open") {
    if (!wantPositional(2, "open PID PATH [access=MASK] [create] [dir]")) return std::nullopt;
    step.verb = ScenarioStep::Verb::Open;
    n.kind = 3;
    if (!pid(positional[0], n.processId, step.pidLabel, "pid")) return std::nullopt;
    n.path = text::FromUtf8(positional[1]);
    if (!options.count("access")) n.desiredAccess = win::GENERIC_READ;
    n.param1 = flag("create") ? 1 : 0;
    n.param3 = flag("dir") ? 1 : 0;
  } else if (verb == "rename") {
    if (!wantPositional(3, "rename PID SOURCE TARGET [access=MASK] [replace]")) return std::nullopt;
    step.verb = ScenarioStep::Verb::Rename;
    n.kind = 4;
    if (!pid(positional[0], n.processId, step.pidLabel, "pid")) return std::nullopt;
    n.path = text::FromUtf8(positional[1]);
    step.target = text::FromUtf8(positional[2]);
    if (!options.count("access")) n.desiredAccess = win::DELETE;
    n.param1 = flag("replace") ? 1 : 0;
  } else if (verb == "raw") {
    if (!wantPositional(2, "raw KIND PID [p1=N] [p2=N] [p3=N] [access=MASK] [path=PATH] [target=PATH] [pathlength=N]"))
      return std::nullopt;
    step.verb = ScenarioStep::Verb::Raw;
    std::uint32_t kind;
    if (!number(positional[0], kind, "kind") || kind > 255) {
      if (error.empty()) error = "bad kind '" + positional[0] + "'";
      return std::nullopt;
    }
    n.kind = static_cast<std::uint8_t>(kind);
    if (!pid(positional[1], n.processId, step.pidLabel, "pid")) return std::nullopt;
    for (auto& [key, value] : options) {
      if (key == "p1") { if (!number(value, n.param1, "p1")) return std::nullopt; }
      else if (key == "p2") { if (!number(value, n.param2, "p2")) return std::nullopt; }
      else if (key == "p3") { if (!number(value, n.param3, "p3")) return std::nullopt; }
      else if (key == "pathlength") {
        if (!number(value, n.pathLength, "pathlength")) return std::nullopt;
        step.explicitPathLength = true;
      }
      else if (key == "path") n.path = text::FromUtf8(value);
      else if (key == "target") step.target = text::FromUtf8(value);
      else if (key != "access") {
        error = "unknown option '" + key + "'";
        return std::nullopt;
      }
    }
  } else if (verb == "sleep") {
    if (!wantPositional(1, "sleep MS")) return std::nullopt;
    step.verb = ScenarioStep::Verb::Sleep;
    if (!number(positional[0], step.sleepMs, "milliseconds")) return std::nullopt;
    if (step.expect) {
      error = "sleep has no outcome";
      return std::nullopt;
    }
  } else {
    error = "unknown event '" + verb + "' (start, exit, image, open, rename, raw, sleep, run)";
    return std::nullopt;
  }
  return step;
}

bool BuildNotification(const ScenarioStep& step, Notification& out, std::string& error, bool* refused) {
  out = step.event;
  if (refused) *refused = false;
  auto convert = [&](const std::wstring& path, std::wstring& device, bool renameTarget) {
    if (path.empty()) {
      device.clear();
      return true;
    }
    auto d = renameTarget ? ToRenameTargetPath(*platform::Machine::Current(), path)
                          : ToDevicePath(*platform::Machine::Current(), path);
    if (!d) {
      error = "no volume for " + text::ToUtf8(path);
      return false;
    }
    device = *d;
    return true;
  };
  // A zero inside a path would cut it short in the record.
  if (step.event.path.find(L'\0') != std::wstring::npos || step.target.find(L'\0') != std::wstring::npos) {
    error = "a path holds a NUL character";
    if (refused) *refused = true;
    return false;
  }
  std::wstring source, target;
  if (!convert(step.event.path, source, false) || !convert(step.target, target, true)) return false;
  out.path = source;
  // Opens and renames reach a filter with generic rights already mapped.
  if (step.verb == ScenarioStep::Verb::Open || step.verb == ScenarioStep::Verb::Rename)
    out.desiredAccess = MapGenericFileRights(out.desiredAccess);
  if (!step.target.empty()) {
    out.path = source + L'\0' + target;
    if (!step.explicitPathLength) out.pathLength = static_cast<std::uint32_t>(source.size() + 1);
  }
  // Refused rather than cut: what is printed is what is sent.
  if (out.path.size() > kMaxPathUnits) {
    error = "path too long for the record (" + std::to_string(out.path.size()) + " units, at most " +
            std::to_string(kMaxPathUnits) + ")";
    if (refused) *refused = true;
    return false;
  }
  return true;
}

std::string DescribeOutcome(const Notification& n, const InjectResult& r) {
  std::ostringstream s;
  s << "kind " << int(n.kind) << " pid " << n.processId;
  switch (n.kind) {
    case 2:
      s << " parent " << n.param1 << (n.param2 ? " created" : " exited");
      break;
    case 4: {
      std::size_t split = std::min<std::size_t>(n.pathLength, n.path.size());
      std::wstring target = n.pathLength ? n.path.substr(split) : n.path;
      std::wstring source = n.path.substr(0, n.path.find(L'\0'));
      s << " access " << Hex(n.desiredAccess) << " " << text::ToUtf8(source) << " -> " << text::ToUtf8(target)
        << (n.param1 ? " replace" : "");
      break;
    }
    default:
      if (n.kind == 3) s << " access " << Hex(n.desiredAccess) << (n.param1 ? " create" : "") << (n.param3 ? " dir" : "");
      if (!n.path.empty()) s << " " << text::ToUtf8(n.path.substr(0, n.path.find(L'\0')));
  }
  s << ": " << OutcomeName(r);
  if (r.delivered && r.outcome == platform::wire::Outcome::Replied) s << " (aux " << int(r.auxFlag) << ")";
  if (!r.delivered) s << " (" << r.error << ")";
  return s.str();
}

static_assert(kMaxPathUnits == channel::kPathUnits - 1);

namespace {

// One line without its end; a line over kMaxLineBytes is read to its end
// but comes back cut and flagged. False at the end of the input.
// Control units of a line shown as ^XX (the log's own escape), so one
// collected line stays one printed line.
std::string PrintableLine(const std::wstring& line) {
  std::wstring shown;
  for (wchar_t c : line) {
    if (c < 0x20 || c == 0x7F) {
      wchar_t hex[4];
      std::swprintf(hex, 4, L"%02X", static_cast<unsigned>(c));
      shown += L'^';
      shown += hex;
    } else {
      shown += c;
    }
  }
  return text::ToUtf8(shown);
}

bool ReadLine(std::istream& in, std::string& line, bool& tooLong) {
  line.clear();
  tooLong = false;
  std::streambuf* buffer = in.rdbuf();
  bool any = false;
  for (;;) {
    int c = buffer->sbumpc();
    if (c == std::char_traits<char>::eof()) break;
    any = true;
    if (c == '\n') return true;
    if (line.size() < kMaxLineBytes) line.push_back(static_cast<char>(c));
    else tooLong = true;
  }
  return any;
}

// Starts the run line's program; its machine pid, or an error text.
std::optional<std::uint32_t> StartProgram(const ScenarioStep& step, std::string& error) {
  std::wstring command = step.commandLine;
  command.push_back(L'\0');
  win::STARTUPINFOW startup;
  win::PROCESS_INFORMATION info;
  auto& programs = platform::Programs::Get();
  if (!programs.CreateProcessW(step.program.c_str(), command.data(), nullptr, nullptr, win::FALSE, 0, nullptr,
                               nullptr, &startup, &info)) {
    error = "CreateProcessW failed with " + std::to_string(platform::GetLastError());
    return std::nullopt;
  }
  platform::CloseHandle(info.hThread);
  platform::CloseHandle(info.hProcess);
  return info.dwProcessId;
}

// Performs the line's file operation on the machine's drive with the paths
// as written; 0 or the Win32 error.
win::DWORD PerformFileOp(const ScenarioStep& step) {
  auto& files = platform::Files::Get();
  const std::wstring& path = step.event.path;
  switch (step.op) {
    case ScenarioStep::FileOp::Write:
    case ScenarioStep::FileOp::Create: {
      win::DWORD how = step.op == ScenarioStep::FileOp::Write ? win::CREATE_ALWAYS : win::CREATE_NEW;
      win::HANDLE h = files.CreateFileW(path.c_str(), win::GENERIC_WRITE, 0, nullptr, how, win::FILE_ATTRIBUTE_NORMAL,
                                        nullptr);
      if (h == win::INVALID_HANDLE_VALUE) return platform::GetLastError();
      win::DWORD written = 0, error = 0;
      if (!step.data.empty() &&
          !files.WriteFile(h, step.data.data(), static_cast<win::DWORD>(step.data.size()), &written, nullptr))
        error = platform::GetLastError();
      platform::CloseHandle(h);
      return error;
    }
    case ScenarioStep::FileOp::Delete:
      return files.DeleteFileW(path.c_str()) ? 0 : platform::GetLastError();
    case ScenarioStep::FileOp::Rename:
      return files.MoveFileExW(path.c_str(), step.target.c_str(),
                               step.event.param1 ? win::MOVEFILE_REPLACE_EXISTING : 0)
                 ? 0
                 : platform::GetLastError();
    case ScenarioStep::FileOp::None:
      break;
  }
  return 0;
}

const char* FileOpName(ScenarioStep::FileOp op) {
  switch (op) {
    case ScenarioStep::FileOp::Write: return "write";
    case ScenarioStep::FileOp::Create: return "create";
    case ScenarioStep::FileOp::Delete: return "delete";
    case ScenarioStep::FileOp::Rename: return "rename";
    case ScenarioStep::FileOp::None: break;
  }
  return "none";
}

}  // namespace

std::string DescribeExplanation(const InjectResult& r) {
  if (!r.delivered || r.outcome == platform::wire::Outcome::NoClient) return {};
  std::ostringstream s;
  if (!r.explained) {
    s << "    | (no explanation came in time)\n";
    return s.str();
  }
  if (r.lines.empty() && r.droppedLines == 0) s << "    | (no lines)\n";
  for (const log::DecisionLine& line : r.lines) {
    s << "    | ";
    if (line.flags & log::kLineDebug) {
      s << "debug: ";
    } else if (line.flags & log::kLineFile) {
      s << "file ";
    } else {
      s << Hex(line.level) << ((line.flags & log::kLineFiltered) ? " (masked) " : " ");
    }
    s << PrintableLine(line.text) << "\n";
  }
  if (r.droppedLines) s << "    | (" << r.droppedLines << " more lines left out)\n";
  return s.str();
}

PlayResult PlayScenario(std::istream& in, DriverControl& control, std::ostream& out) {
  PlayResult result;
  std::map<std::string, std::uint32_t> labels;  // run labels and their machine pids
  std::string line;
  int number = 0;
  bool tooLong = false;
  while (in.rdbuf() && ReadLine(in, line, tooLong)) {
    ++number;
    std::string error;
    if (tooLong) {
      out << number << ": error: line longer than " << kMaxLineBytes << " bytes\n";
      ++result.failed;
      continue;
    }
    auto step = ParseScenarioLine(line, error);
    if (!step) {
      if (!error.empty()) {
        out << number << ": error: " << error << "\n";
        ++result.failed;
      }
      continue;
    }
    if (step->verb == ScenarioStep::Verb::Run) {
      if (labels.count(step->label)) {
        out << number << ": error: label '" << step->label << "' is already taken\n";
        ++result.failed;
        continue;
      }
      auto started = StartProgram(*step, error);
      if (!started) {
        out << number << ": error: run " << step->label << ": " << error << "\n";
        ++result.failed;
        continue;
      }
      labels[step->label] = *started;
      out << number << ": run " << step->label << " pid " << *started << " " << text::ToUtf8(step->commandLine) << "\n";
      continue;
    }
    auto resolve = [&](const std::string& label, std::uint32_t& pid) {
      if (label.empty()) return true;
      auto it = labels.find(label);
      if (it == labels.end()) {
        out << number << ": error: no run line named '" << label << "' before this line\n";
        ++result.failed;
        return false;
      }
      pid = it->second;
      return true;
    };
    if (!resolve(step->pidLabel, step->event.processId) || !resolve(step->parentLabel, step->event.param1)) continue;
    if (step->verb == ScenarioStep::Verb::Sleep) {
      platform::Sleep(step->sleepMs);
      out << number << ": sleep " << step->sleepMs << " ms\n";
      continue;
    }
    Notification n;
    InjectResult r;
    bool refused = false;
    error.clear();
    const bool built = BuildNotification(*step, n, error, &refused);
    if (refused) {
      out << number << ": error: " << error << "\n";
      ++result.failed;
      continue;
    }
    if (!built) {
      n = step->event;
      r.error = error;
    } else {
      r = control.Inject(n);
    }
    ++result.events;
    out << number << ": " << DescribeOutcome(n, r);
    if (step->expect) {
      std::string got = OutcomeName(r);
      if (got == *step->expect) {
        ++result.passed;
        out << "  [ok]";
      } else {
        ++result.failed;
        out << "  [MISMATCH: expected " << *step->expect << "]";
      }
    } else if (!r.delivered) {
      ++result.failed;
    }
    // The operation itself, once the filter has let it through.
    if (step->op != ScenarioStep::FileOp::None) {
      if (!(r.delivered && r.outcome == platform::wire::Outcome::Replied && r.allow)) {
        out << "; " << FileOpName(step->op) << " not performed";
      } else if (win::DWORD e = PerformFileOp(*step); e == 0) {
        out << "; " << FileOpName(step->op) << " done";
      } else {
        out << "; " << FileOpName(step->op) << " failed with " << e;
        ++result.failed;
      }
    }
    out << "\n";
    if (control.Explains()) out << DescribeExplanation(r);
  }
  out << result.passed << " passed, " << result.failed << " failed\n";
  return result;
}

}  // namespace zv::suite
