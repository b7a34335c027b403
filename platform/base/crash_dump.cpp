// Crash dumps: see crash_dump.h and docs/service.md.
//
// Dump layout: text header lines, then "frames\n", then the raw frame
// addresses as Boost.Stacktrace's safe_dump_to writes them (native
// pointers, ended by a null pointer).
//   ZVDUMP 1
//   type <dump type>
//   exe <program path>
//   base 0x<load address of the program>
//   module 0x<bias> 0x<start> 0x<end> <path>     (one per loaded object)
//   signal <number>
//   address 0x<faulting address>
//   frames
#include "platform/base/crash_dump.h"

#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include <boost/stacktrace/safe_dump_to.hpp>

extern char** environ;

namespace zv::platform {
namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr std::size_t kMaxFrames = 128;
constexpr std::size_t kAltStackSize = 64 * 1024;

std::atomic<bool> installed{false};
CrashDumpSettings settings;
char dumpPath[PATH_MAX + 8];
char header[32 * 1024];  // everything known before a crash
std::size_t headerLength = 0;

// ---- async-signal-safe helpers ------------------------------------------------

void WriteAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n <= 0) return;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
}

// Appends text to a fixed buffer; no allocation, no locale.
struct Out {
  char* buffer;
  std::size_t size;
  std::size_t used = 0;
  void Text(const char* s) {
    while (*s && used + 1 < size) buffer[used++] = *s++;
  }
  void Hex(std::uint64_t v) {
    char digits[17];
    int n = 0;
    do {
      digits[n++] = "0123456789abcdef"[v & 0xF];
      v >>= 4;
    } while (v != 0);
    Text("0x");
    while (n > 0 && used + 1 < size) buffer[used++] = digits[--n];
  }
  void Dec(long v) {
    char digits[24];
    int n = 0;
    bool negative = v < 0;
    unsigned long u = negative ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
    do {
      digits[n++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u != 0);
    if (negative) Text("-");
    while (n > 0 && used + 1 < size) buffer[used++] = digits[--n];
  }
};

void OnFatalSignal(int signal, siginfo_t* info, void*) {
  int saved = errno;
  // A second fault inside this handler takes the default action at once.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);

  if (settings.mayWrite == nullptr || settings.mayWrite()) {
    int fd = ::open(dumpPath, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      WriteAll(fd, header, headerLength);
      char line[128];
      Out out{line, sizeof line};
      out.Text("signal ");
      out.Dec(signal);
      out.Text("\naddress ");
      out.Hex(reinterpret_cast<std::uintptr_t>(info ? info->si_addr : nullptr));
      out.Text("\nframes\n");
      WriteAll(fd, line, out.used);
      boost::stacktrace::safe_dump_to(0, kMaxFrames, fd);
      ::close(fd);
    }
    if (settings.afterWrite) settings.afterWrite(dumpPath);
  }
  errno = saved;
  // Pending until this handler returns, then fatal with the default action.
  ::raise(signal);
}

// ---- install time ---------------------------------------------------------------

struct ModuleScan {
  Out* out;
  const char* executable;
  std::uint64_t executableBase = 0;
  bool first = true;
};

int AddModule(dl_phdr_info* info, std::size_t, void* data) {
  auto* scan = static_cast<ModuleScan*>(data);
  std::uint64_t low = UINT64_MAX, high = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    std::uint64_t start = info->dlpi_addr + ph.p_vaddr;
    low = std::min(low, start);
    high = std::max(high, start + ph.p_memsz);
  }
  const char* name = info->dlpi_name;
  if (scan->first) {  // the program itself comes first, without a name
    name = scan->executable;
    scan->executableBase = info->dlpi_addr;
    scan->first = false;
  }
  if (name == nullptr || name[0] == '\0' || high == 0) return 0;  // the vDSO and the like
  scan->out->Text("module ");
  scan->out->Hex(info->dlpi_addr);
  scan->out->Text(" ");
  scan->out->Hex(low);
  scan->out->Text(" ");
  scan->out->Hex(high);
  scan->out->Text(" ");
  scan->out->Text(name);
  scan->out->Text("\n");
  return 0;
}

struct AltStack {
  void* memory = nullptr;
  ~AltStack() {
    if (!memory) return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    std::free(memory);
  }
};

}  // namespace

void PrepareThreadForCrashDump() {
  if (!installed.load(std::memory_order_acquire)) return;
  thread_local AltStack stack;
  if (stack.memory) return;
  stack.memory = std::malloc(kAltStackSize);
  if (!stack.memory) return;
  stack_t ss{};
  ss.ss_sp = stack.memory;
  ss.ss_size = kAltStackSize;
  if (sigaltstack(&ss, nullptr) != 0) {
    std::free(stack.memory);
    stack.memory = nullptr;
  }
}

bool InstallCrashDump(const CrashDumpSettings& wanted) {
#if defined(ZV_SANITIZED)
  (void)wanted;
  return false;
#else
  static std::atomic<bool> claimed{false};
  if (claimed.exchange(true)) return true;

  char exe[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return false;
  exe[n] = '\0';
  std::memcpy(dumpPath, exe, static_cast<std::size_t>(n));
  std::memcpy(dumpPath + n, ".dmp", 5);

  Out out{header, sizeof header};
  ModuleScan scan{&out, exe};
  Out modules{new char[sizeof header], sizeof header};
  scan.out = &modules;
  dl_iterate_phdr(&AddModule, &scan);
  out.Text("ZVDUMP 1\ntype ");
  out.Dec(wanted.dumpType);
  out.Text("\nexe ");
  out.Text(exe);
  out.Text("\nbase ");
  out.Hex(scan.executableBase);
  out.Text("\n");
  modules.buffer[modules.used] = '\0';
  out.Text(modules.buffer);
  delete[] modules.buffer;
  headerLength = out.used;
  settings = wanted;

  installed.store(true, std::memory_order_release);
  PrepareThreadForCrashDump();
  struct sigaction action {};
  action.sa_sigaction = &OnFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int s : kFatalSignals) sigaction(s, &action, nullptr);
  return true;
#endif
}

bool CrashDumpInstalled() { return installed.load(std::memory_order_acquire); }

std::string CrashDumpPath() { return CrashDumpInstalled() ? std::string(dumpPath) : std::string(); }

// ---- reading ---------------------------------------------------------------------

std::optional<CrashDump> ReadCrashDump(const std::string& path, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<CrashDump> {
    if (error) *error = why;
    return std::nullopt;
  };
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail("cannot open " + path);
  std::string line;
  if (!std::getline(in, line) || line != "ZVDUMP 1") return fail("not a crash dump: " + path);
  CrashDump dump;
  bool framesFollow = false;
  while (std::getline(in, line)) {
    if (line == "frames") {
      framesFollow = true;
      break;
    }
    std::istringstream fields(line);
    std::string key;
    fields >> key;
    auto rest = [&] {
      std::string value;
      std::getline(fields >> std::ws, value);
      return value;
    };
    if (key == "type") {
      fields >> dump.dumpType;
    } else if (key == "exe") {
      dump.executable = rest();
    } else if (key == "base") {
      fields >> std::hex >> dump.loadAddress;
    } else if (key == "signal") {
      fields >> dump.signal;
    } else if (key == "address") {
      fields >> std::hex >> dump.faultAddress;
    } else if (key == "module") {
      CrashDumpModule m;
      fields >> std::hex >> m.base >> m.start >> m.end;
      m.path = rest();
      if (fields.fail() || m.path.empty()) return fail("bad module line in " + path);
      dump.modules.push_back(std::move(m));
    }
  }
  if (!framesFollow) return fail("crash dump without frames (cut short?): " + path);
  for (;;) {
    std::uint64_t frame = 0;
    in.read(reinterpret_cast<char*>(&frame), sizeof(void*));
    if (in.gcount() != static_cast<std::streamsize>(sizeof(void*)) || frame == 0) break;
    dump.frames.push_back(frame);
    if (dump.frames.size() > 4096) break;
  }
  return dump;
}

namespace {

const char* SignalName(int s) {
  switch (s) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
  }
}

std::string HexText(std::uint64_t v) {
  std::ostringstream s;
  s << "0x" << std::hex << v;
  return s.str();
}

// Runs addr2line on one object for several offsets: pairs of (function,
// file:line); empty when addr2line cannot be run.
std::vector<std::pair<std::string, std::string>> Addr2Line(const std::string& object,
                                                           const std::vector<std::uint64_t>& offsets) {
  std::vector<std::string> args = {"addr2line", "-f", "-C", "-e", object};
  for (auto o : offsets) args.push_back(HexText(o));
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int rc = posix_spawnp(&pid, "addr2line", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (rc != 0) {
    ::close(out[0]);
    return {};
  }
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::vector<std::pair<std::string, std::string>> result;
  std::istringstream lines(text);
  std::string function, location;
  while (std::getline(lines, function) && std::getline(lines, location)) result.emplace_back(function, location);
  if (result.size() != offsets.size()) return {};
  return result;
}

}  // namespace

std::string SymbolizeCrashDump(const CrashDump& dump) {
  std::ostringstream s;
  s << "program: " << dump.executable << "\n";
  s << "load address: " << HexText(dump.loadAddress) << "\n";
  s << "signal: " << dump.signal << " (" << SignalName(dump.signal) << ") at address " << HexText(dump.faultAddress)
    << "\n";
  s << "frames: " << dump.frames.size() << "\n";

  // Frames after the first are return addresses: look up the call before.
  struct Where {
    const CrashDumpModule* module = nullptr;
    std::uint64_t offset = 0;
    std::string function, location;
  };
  std::vector<Where> where(dump.frames.size());
  std::map<const CrashDumpModule*, std::vector<std::size_t>> byModule;
  for (std::size_t i = 0; i < dump.frames.size(); ++i) {
    std::uint64_t pc = dump.frames[i] - (i == 0 ? 0 : 1);
    for (const auto& m : dump.modules) {
      if (pc >= m.start && pc < m.end) {
        where[i].module = &m;
        where[i].offset = pc - m.base;
        byModule[&m].push_back(i);
        break;
      }
    }
  }
  for (auto& [module, indexes] : byModule) {
    std::vector<std::uint64_t> offsets;
    for (auto i : indexes) offsets.push_back(where[i].offset);
    auto names = Addr2Line(module->path, offsets);
    for (std::size_t k = 0; k < names.size(); ++k) {
      where[indexes[k]].function = names[k].first;
      where[indexes[k]].location = names[k].second;
    }
  }
  for (std::size_t i = 0; i < dump.frames.size(); ++i) {
    s << "#" << i << " " << HexText(dump.frames[i]);
    const Where& w = where[i];
    if (!w.module) {
      s << " ??\n";
      continue;
    }
    std::string name = w.module->path.substr(w.module->path.find_last_of('/') + 1);
    s << " " << name << "+" << HexText(w.offset);
    if (!w.function.empty() && w.function != "??") s << " " << w.function;
    if (!w.location.empty() && w.location.rfind("??", 0) != 0) s << " at " << w.location;
    s << "\n";
  }
  return s.str();
}

}  // namespace zv::platform
