// ZVVstIn run as a program on a prepared machine (zvmachine create,
// install, boot); each test reads the machine afterwards: the starts with
// their command lines, desktops and show states, the registry, the log file
// and the program's debugger output (its step trace).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "platform/files/machine.h"
#include "platform/system/boot.h"

namespace fs = std::filesystem;

namespace {

constexpr int kScale = 20;  // machine seconds per real second: sleeps cost little
const std::string kCurrentVersion = "'HKLM\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion'";

std::string Bin() {
  const char* bin = std::getenv("ZV_BIN_DIR");
  return bin ? bin : "build/bin";
}

std::string Shell(const std::string& cmd, int* code = nullptr) {
  std::string out;
  FILE* p = ::popen(cmd.c_str(), "r");
  std::array<char, 4096> buf;
  while (std::size_t n = std::fread(buf.data(), 1, buf.size(), p)) out.append(buf.data(), n);
  int status = ::pclose(p);
  if (code) *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// True when lines starting with `expected` appear in `lines` in this order
// (others may sit between them).
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
  std::size_t next = 0;
  for (const std::string& line : lines) {
    if (next < expected.size() && line.rfind(expected[next], 0) == 0) ++next;
  }
  return next == expected.size();
}

class ZVVstInProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() / ("zvvstin-" + std::to_string(getpid()) + "-" + info->name());
    fs::remove_all(root_);
    ASSERT_EQ(Code("create"), 0);
    ASSERT_EQ(Code("install"), 0);
    ASSERT_EQ(Code("setting set time.zone UTC"), 0);
  }
  void TearDown() override {
    Zvm("boot");  // ends every program the runs started
    fs::path run = root_ / "run";
    std::error_code ec;
    fs::remove_all(fs::is_symlink(run) ? fs::read_symlink(run) : run, ec);
    fs::remove_all(root_, ec);
  }

  std::string Env() const {
    return "ZV_TIME_SCALE=" + std::to_string(kScale) + " ZV_MACHINE='" + root_.string() + "' ZV_BIN_DIR='" + Bin() +
           "' ";
  }
  std::string Zvm(const std::string& args, int* code = nullptr) const {
    return Shell(Env() + Bin() + "/zvmachine " + args + " 2>/dev/null", code);
  }
  int Code(const std::string& args) const {
    int code = -1;
    Zvm(args, &code);
    return code;
  }
  // Runs ZVVstIn in session 0 with the arguments (shell words); returns its
  // step trace.
  std::string Run(const std::string& args, const std::string& env = "") {
    int code = -1;
    std::string trace = Shell(Env() + "ZV_SESSION=0 ZV_IMAGE_PATH='C:\\Program Files\\ZV\\ZVVstIn.exe' " + env +
                                  " " + Bin() + "/ZVVstIn " + args + " 2>&1 >/dev/null",
                              &code);
    EXPECT_EQ(code, 0) << trace;
    return trace;
  }
  // The trace lines without the "ZVVstIn: " prefix.
  static std::vector<std::string> Steps(const std::string& trace) {
    std::vector<std::string> steps;
    for (const std::string& line : Lines(trace)) {
      if (line.rfind("ZVVstIn: ", 0) == 0) steps.push_back(line.substr(9));
    }
    return steps;
  }

  fs::path Product(const std::string& name = "") const { return root_ / "volumes/C/Program Files/ZV" / name; }
  void Write(const fs::path& path, const std::string& content) const {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }
  std::string Starts() const { return Zvm("program list"); }
  // Start rows whose command line ends with `command`.
  std::vector<std::string> StartsOf(const std::string& command) const {
    std::vector<std::string> rows;
    for (const std::string& line : Lines(Starts())) {
      if (line.size() >= command.size() + 2 && line.compare(line.size() - command.size() - 2, std::string::npos,
                                                            ": " + command) == 0) {
        rows.push_back(line);
      }
    }
    return rows;
  }
  std::string LogText() const {
    std::string all;
    for (const auto& e : fs::directory_iterator(Product())) {
      const std::string name = e.path().filename().string();
      if (name.rfind("ZVVstIn_2", 0) == 0 && e.path().extension() == ".log") {
        std::ifstream in(e.path(), std::ios::binary);
        all += std::string(std::istreambuf_iterator<char>(in), {});
      }
    }
    return all;
  }
  std::string RegValue(const std::string& name) const {
    std::string out = Zvm("reg query " + kCurrentVersion + " /v " + name);
    std::size_t at = out.find("REG_DWORD    ");
    return at == std::string::npos ? "missing" : out.substr(at + 13, out.find('\n', at) - at - 13);
  }
  void SetReg(const std::string& name, std::uint32_t value) const {
    ASSERT_EQ(Code("reg set " + kCurrentVersion + " /v " + name + " /t REG_DWORD /d " + std::to_string(value)), 0);
  }
  // Boots with the given uptime and puts the boot on a whole second, so the
  // program's boot time (now - uptime, in seconds) is exactly BootSeconds().
  void Boot(std::uint64_t uptimeSeconds) {
    ASSERT_EQ(Code("boot --uptime " + std::to_string(uptimeSeconds)), 0);
    auto m = zv::platform::Machine::Open(root_, false);
    m->Write([](sqlite3* db) { sqlite3_exec(db, "UPDATE boot SET boot_ms = boot_ms - boot_ms % 1000", 0, 0, 0); });
    bootSeconds_ = zv::platform::ReadMachineTime(*m, kScale).bootMs / 1000;
  }
  std::int64_t NowSeconds() const {
    auto m = zv::platform::Machine::Open(root_, false);
    return zv::platform::ReadMachineTime(*m, kScale).utcMs / 1000;
  }
  std::uint32_t BootSeconds() const { return static_cast<std::uint32_t>(bootSeconds_); }
  // A first run of the boot is made quick: the new-user wait ends at once.
  void EndNewUserWaitAtOnce() const { Write(Product("ZVNewUserDelete.ini"), "[Settings]\r\nDelayTotalSeconds=1\r\n"); }

  fs::path root_;
  std::int64_t bootSeconds_ = 0;
};

TEST_F(ZVVstInProgram, SwitchesPrecedenceAndCase) {
  EXPECT_EQ(Steps(Run("")), (std::vector<std::string>{"start: \"C:\\Program Files\\ZV\\ZVVstIn.exe\"", "no mode",
                                                      "end"}));
  EXPECT_EQ(Starts(), "");

  // "/restorentuser" wins over every other switch, in any case.
  auto steps = Steps(Run("/runbeforelogon /RESTORENTUSER /registdll"));
  EXPECT_EQ(std::vector<std::string>(steps.begin() + 1, steps.end()),
            (std::vector<std::string>{"mode restorentuser", "step RestoreUserHives(1)", "end"}));

  // "/registdll" only in exactly that case; in capitals the run falls through.
  steps = Steps(Run("/REGISTDLL /disablecad"));
  EXPECT_EQ(std::vector<std::string>(steps.begin() + 1, steps.end()),
            (std::vector<std::string>{"mode disablecad", "step DisableCtrlAltDel()", "end"}));

  // On Windows 10 the block drivers are left alone; "tavrel"/"network" only
  // in exactly that case.
  steps = Steps(Run("/registdll tavrel NETWORK"));
  EXPECT_EQ(std::vector<std::string>(steps.begin() + 1, steps.end()),
            (std::vector<std::string>{"mode registdll", "step UpdateAppInitDlls(1,1,0)",
                                      "block drivers left alone on this Windows version", "end"}));
  // On Windows 7 without "network" both drivers are stopped and removed.
  ASSERT_EQ(Code("setting set machine.windows_version 6.1.7601"), 0);
  steps = Steps(Run("/registdll"));
  ASSERT_EQ(steps.size(), 6u);
  EXPECT_EQ(steps[2], "step UpdateAppInitDlls(1,0,0)");
  EXPECT_EQ(steps[3].rfind("MXBLKURLStopURLDriver(1) = ", 0), 0u);
  EXPECT_EQ(steps[4].rfind("MXBLKURLStopPortDriver(1) = ", 0), 0u);
  // Windows 8.1 counts as 8: "network" starts both with the WOW64 answer.
  ASSERT_EQ(Code("setting set machine.windows_version 6.3.9600"), 0);
  steps = Steps(Run("/registdll network"));
  ASSERT_EQ(steps.size(), 6u);
  EXPECT_EQ(steps[3].rfind("MXBLKURLStartURLDriver(1) = ", 0), 0u);
  EXPECT_EQ(steps[4].rfind("MXBLKURLStartPortDriver(1) = ", 0), 0u);

  // A switch past the first 259 units of a 400-unit command line is seen.
  steps = Steps(Run(std::string(400, 'x') + " /DisableCAD"));
  EXPECT_EQ(steps[1], "mode disablecad");
  EXPECT_EQ(LogText(), "");  // these modes write no log
}

TEST_F(ZVVstInProgram, FirstRunOfBootThenLaterRun) {
  Boot(40);
  EndNewUserWaitAtOnce();
  ASSERT_EQ(Code("product set 1 1"), 0);
  ASSERT_EQ(Code("product set 69 1"), 0);
  Write(Product("ZVVstIn.ini"), "[Run]\r\n0=sc.exe query\r\n2=sc.exe never\r\n");
  Write(Product("ZVNewADUser.ini"), "[Setting]\r\nNew=1\r\nRebootWhenNewADUser=1\r\nDelay=7\r\n");
  Write(Product("ZVDebug.ini"), "");
  auto steps = Steps(Run("/runbeforelogon"));
  EXPECT_TRUE(InOrder(
      steps,
      {"mode runbeforelogon", "DetectFirstBoot", "DetectFirstBoot = 1", "RunFirstBootSteps",
       "WinExecWait C:\\Program Files\\ZV\\ZVRegExc64.exe /restoredata",
       "WinExecWait(0) C:\\Program Files\\ZV\\ZVRegWatch64.exe /restorespecial",
       "ReadProductData protection 1 recycle 1 temporary 0", "step CleanAppRepository()",
       "step ApplyServiceOrPolicyRow(1)", "step RestoreSqlExpressData()", "step DisableNvidiaUpdateService()",
       "WinExecWait C:\\Program Files\\ZV\\ZVUserRegistryTool.exe /backupall", "step IsFolderProtectionOn()",
       "step RestoreUserHives(0)", "step UpdateAppInitDlls(0,0,0)", "step EnableRealTimeScanAtSystemStart()",
       "WinExecWait C:\\Program Files\\ZV\\ZVBkLogs.exe /run", "RunListFromIni C:\\Program Files\\ZV\\ZVVstIn.ini",
       "WinExecWide(5) sc.exe query", "step ClearListStep()", "step ApplyServiceOrPolicyRow(2)",
       "step ApplyServiceOrPolicyRow(11)", "WinExecWide(0) sc.exe stop SysMain", "RunCommonBeforeLogonSteps",
       "RunListFromIni C:\\Program Files\\ZV\\ZVVstInExe.ini", "step CleanStartupFolders()",
       "step RegisterCleanTasks()", "step MirrorUserFolders(1,1)", "step MirrorUserFolders(0,1)",
       "step AddDisableBackgroundAppRunOnce()", "WinExecWide(0) C:\\Program Files\\ZV\\ZVMain.exe /run /boot",
       "step DisableCtrlAltDel()", "StartBeforeLogonGroup", "WinExecWide(0) C:\\Program Files\\ZV\\VMQCnt.exe",
       "WinExecWide(0) C:\\Program Files\\ZV\\ZVAMCnt.exe /run",
       "WinExecWide(0) C:\\Program Files\\ZV\\TaskRelay.exe",
       "WinExecWide(0) C:\\Program Files\\ZV\\ZVMXCnt.exe /run /beforelogon", "WaitUntilNewUserDeleted",
       "RebootForNewADUser", "WinExecWide(0) shutdown.exe -r -t 7", "end"}))
      << ::testing::PrintToString(steps);
  EXPECT_EQ(Count(Starts(), ": sc.exe"), 2);  // the list stops at the gap; "sc.exe stop SysMain"
  // Waited-for programs have ended; the rest run on; all hidden in session 0.
  auto regExc = StartsOf("C:\\Program Files\\ZV\\ZVRegExc64.exe /restoredata");
  ASSERT_EQ(regExc.size(), 1u);
  EXPECT_NE(regExc[0].find("session 0 64-bit cb 104 flags 0x0 show 0"), std::string::npos) << regExc[0];
  EXPECT_NE(regExc[0].find("exit 0:"), std::string::npos) << regExc[0];
  EXPECT_EQ(StartsOf("C:\\Program Files\\ZV\\ZVMain.exe /run /boot").size(), 1u);
  EXPECT_EQ(StartsOf("shutdown.exe -r -t 7").size(), 1u);
  auto notepad = StartsOf("C:\\Windows\\system32\\Notepad.exe");
  ASSERT_EQ(notepad.size(), 1u);
  EXPECT_NE(notepad[0].find("cb 68 flags 0x30 show 6 desktop 'WinSta0\\winlogon' dir 'C:\\Windows\\system32'"),
            std::string::npos)
      << notepad[0];
  EXPECT_EQ(RegValue("FirstBoot"), "0x1");
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%x", BootSeconds());
  EXPECT_EQ(RegValue("ComputerBootTime"), hex);
  std::string log = LogText();
  EXPECT_NE(log.find(" - dwBootTimeLoaded = 0 dwBootTimeChecked = " + std::to_string(static_cast<int>(BootSeconds())) +
                     " dwCheckValue = " + std::to_string(static_cast<int>(BootSeconds())) + "\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(" - Start WaitUntilNewUserDeleted\r\n"), std::string::npos);
  EXPECT_NE(log.find(" - C:\\Program Files\\ZV\\ZVNewUserDelete.ini\r\n"), std::string::npos);
  EXPECT_EQ(Count(log, "Delay WaitUntilNewUserDeleted"), 1);
  EXPECT_EQ(Count(log, "\r\n"), Count(log, "\n"));  // CR LF once per line, nothing else
  EXPECT_EQ(Count(log, "\n"), 6);
  std::ifstream newUser(Product("ZVNewADUser.ini"));
  std::string adUser((std::istreambuf_iterator<char>(newUser)), {});
  EXPECT_EQ(adUser.find("New="), std::string::npos);

  // A later run of the same boot: the closed windows were held by the group
  // the first run started; no first-boot steps; ZVAMCnt gets " /norequest".
  ASSERT_EQ(Code("product set 1 0"), 0);
  Write(Product("ZVSettings.prs"), "[MAIN]\r\nZVCLOSE=1\r\n");
  steps = Steps(Run("/runbeforelogon"));
  EXPECT_TRUE(InOrder(steps, {"DetectFirstBoot = 0", "RunCommonBeforeLogonSteps",
                              "ReadProductData protection 0 recycle 0 temporary 0", "step MirrorUserFolders(1,0)",
                              "WinExecWide(0) C:\\Program Files\\ZV\\ZVMain.exe /run",
                              "CloseWindowByTitle VMQ_Client found", "CloseWindowByTitle Test_TaskRelay found",
                              "CloseWindowByTitle IDS_CAPTION_QDMXCNTT found",
                              "WinExecWide(0) C:\\Program Files\\ZV\\VMQCnt.exe",
                              "WinExecWide(0) C:\\Program Files\\ZV\\ZVAMCnt.exe /run /norequest", "end"}))
      << ::testing::PrintToString(steps);
  for (const char* absent : {"RunFirstBootSteps", "WaitUntilNewUserDeleted", "RebootForNewADUser",
                             "WinExecWide(0) C:\\Program Files\\ZV\\TaskRelay.exe"}) {
    EXPECT_EQ(std::find(steps.begin(), steps.end(), absent), steps.end()) << absent;
  }
  EXPECT_EQ(StartsOf("C:\\Program Files\\ZV\\ZVMain.exe /run").size(), 1u);  // without " /boot"
  EXPECT_EQ(RegValue("FirstBoot"), "0x0");
  EXPECT_EQ(Zvm("window list").find("VMQ_Client"), Zvm("window list").rfind("VMQ_Client"));  // one, the new one
}

TEST_F(ZVVstInProgram, FirstRunDetection) {
  EndNewUserWaitAtOnce();
  struct Case {
    const char* name;
    std::uint64_t uptime;
    std::int64_t storedBefore;  // stored boot time this many seconds before the real one; -1 none
    bool logOffRecently;
    const char* firstBoot;
  };
  const Case cases[] = {
      {"uptime over OverTime", 121, -1, false, "0x0"},
      {"stored boot 59 s earlier", 40, 59, false, "0x0"},
      {"stored boot 60 s earlier", 40, 60, false, "0x1"},
      {"log-off 10 s ago", 40, -1, true, "0x0"},
      // 2^32 ms and 40 s: a 32-bit tick count would read 39 s.
      {"wrapped tick count", 4295007, -1, false, "0x0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Boot(c.uptime);
    Code("reg delete " + kCurrentVersion + " /v ComputerBootTime");
    if (c.storedBefore >= 0) SetReg("ComputerBootTime", BootSeconds() - static_cast<std::uint32_t>(c.storedBefore));
    const fs::path logOff = root_ / "volumes/C/Windows/SysWOW64/LogOff.dat";
    if (c.logOffRecently) {
      std::uint32_t stamp = static_cast<std::uint32_t>(NowSeconds() - 10);
      Write(logOff, std::string(reinterpret_cast<const char*>(&stamp), 4));
    }
    for (const auto& e : fs::directory_iterator(Product())) {
      if (e.path().extension() == ".log") fs::remove(e.path());
    }
    auto steps = Steps(Run("/runbeforelogon"));
    EXPECT_EQ(RegValue("FirstBoot"), c.firstBoot);
    EXPECT_FALSE(fs::exists(logOff));
    const bool first = std::string(c.firstBoot) == "0x1";
    EXPECT_EQ(std::find(steps.begin(), steps.end(), "RunFirstBootSteps") != steps.end(), first);
    std::string log = LogText();
    if (c.uptime > 120) {
      EXPECT_NE(log.find(" - bFirstRun = FALSE\r\n"), std::string::npos) << log;
      EXPECT_EQ(RegValue("ComputerBootTime"), "missing");
    }
    if (c.storedBefore >= 0) {
      EXPECT_NE(log.find(" dwCheckValue = " + std::to_string(c.storedBefore) + "\r\n"), std::string::npos) << log;
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(first ? BootSeconds() : BootSeconds() - c.storedBefore));
      EXPECT_EQ(RegValue("ComputerBootTime"), hex);
    }
  }
  // The uptime is printed whole, not wrapped.
  EXPECT_NE(LogText().find("dwSecounds = (42950"), std::string::npos) << LogText();
}

TEST_F(ZVVstInProgram, DelaysAndTheirBounds) {
  Boot(500);  // later runs only
  Write(Product("ZVLogOnDelay.ini"),
        "[BEFORESERVICE]\r\nDELAY=1\r\nSECOND=5\r\n[SETTING]\r\nDELAY=1\r\nSECOND=-1\r\n");
  auto steps = Steps(Run("/runbeforelogon"));
  EXPECT_TRUE(InOrder(steps, {"step AddDisableBackgroundAppRunOnce()", "DelayFromSettings BEFORESERVICE 5000 ms",
                              "WinExecWide(0) C:\\Program Files\\ZV\\ZVMain.exe /run",
                              "DelayFromSettings SETTING 0 ms", "end"}))
      << ::testing::PrintToString(steps);
  // Any DELAY other than exactly "1" means no delay.
  Write(Product("ZVLogOnDelay.ini"), "[BEFORESERVICE]\r\nDELAY=01\r\nSECOND=5\r\n");
  steps = Steps(Run("/runbeforelogon"));
  EXPECT_EQ(std::count_if(steps.begin(), steps.end(),
                          [](const std::string& s) { return s.rfind("DelayFromSettings", 0) == 0; }),
            0);
}

TEST_F(ZVVstInProgram, AfterLogonLaunchesAndTheMainUserBound) {
  ASSERT_EQ(Code("user add alice"), 0);
  ASSERT_EQ(Code("logon alice"), 0);
  Write(Product("ZVVstIn.ini"), "[Settings]\r\nUseScreenLockBeforeProtectionStart=1\r\n");
  Write(Product("VMQClient.ini"), "[INSTANCE]\r\nWINDOWTITLE=Queue Client\r\n");
  SetReg("FirstBoot", 1);
  auto steps = Steps(Run("/runafterlogon /runbeforelogon"));
  EXPECT_TRUE(InOrder(steps, {"mode runafterlogon", "WaitForUserHive",
                              "LaunchOnDesktop WinSta0\\Default C:\\Program Files\\ZV\\ZVLock.exe /transon = 1 error 0",
                              "WinExecWide(5) C:\\Program Files\\ZV\\ZVSet.exe /tuning",
                              "CloseWindowByTitle Queue Client not found", "CloseWindowByTitle Test_TaskRelay not found",
                              "LaunchOnDesktop WinSta0\\Default C:\\Program Files\\ZV\\ZVAMCnt.exe /afterlogon = 1 error 0",
                              "step AddCompatibilityEntry()", "ReadProductData protection 0 recycle 0 temporary 0",
                              "step ApplySearchBoxMode(0)", "DeleteFile C:\\Windows\\system32\\ZV6.cpl", "end"}))
      << ::testing::PrintToString(steps);
  auto mainUser = StartsOf("C:\\Program Files\\ZV\\ZVMainUser.exe /run /usersession");
  ASSERT_EQ(mainUser.size(), 15u);  // 15 launches even when every one succeeds
  EXPECT_NE(mainUser[0].find("session 0 32-bit cb 68 flags 0x30 show 6 desktop 'WinSta0\\Default' dir "
                             "'C:\\Windows\\System32'"),
            std::string::npos)
      << mainUser[0];
  auto amCnt = StartsOf("C:\\Program Files\\ZV\\ZVAMCnt.exe /afterlogon");
  ASSERT_EQ(amCnt.size(), 1u);
  EXPECT_NE(amCnt[0].find("dir 'C:\\Program Files\\ZV' "), std::string::npos) << amCnt[0];
  std::string log = LogText();
  EXPECT_EQ(Count(log, " - Running ZVMainUser.exe\r\n"), 15);
  EXPECT_EQ(Count(log, " - Running ZVMainUser.exe Result(1)\r\n"), 15);
  EXPECT_EQ(Zvm("setting get product.current_user_key").rfind("S-1-5-21-", 0), 0u);

  // ZVMainUser.exe missing: the launches stop at the bound, logged, and the
  // run goes on.
  fs::remove(Product("ZVMainUser.exe"));
  for (const auto& e : fs::directory_iterator(Product())) {
    if (e.path().extension() == ".log") fs::remove(e.path());
  }
  steps = Steps(Run("/runafterlogon"));
  EXPECT_TRUE(InOrder(steps, {"LaunchMainUserWithRetry gave up", "step AddCompatibilityEntry()", "end"}));
  log = LogText();
  EXPECT_EQ(Count(log, " - Running ZVMainUser.exe Result(0)\r\n"), 30);
  EXPECT_NE(log.find(" - Running ZVMainUser.exe stopped after 30 launches\r\n"), std::string::npos) << log;
  EXPECT_EQ(Count(log, "\n"), 61);
}

TEST_F(ZVVstInProgram, ReProtectionJob) {
  Write(Product("ZVReProtect.ini"), "");
  Write(Product("RegExc/old/file.txt"), "x");
  auto steps = Steps(Run("/runbeforelogon", "ZV_SESSION=1"));
  EXPECT_TRUE(InOrder(steps, {"mode reprotect", "DeleteDirectory C:\\Program Files\\ZV\\RegExc",
                              "WinExecWait C:\\Program Files\\ZV\\ZVChkSvc.exe",
                              "RequestWinExecBySystem C:\\Program Files\\ZV\\ZVRegBck.exe /autorestore",
                              "WinExecWide(0) C:\\Windows\\system32\\Shutdown.exe -r -t 1", "end"}))
      << ::testing::PrintToString(steps);
  EXPECT_FALSE(fs::exists(Product("ZVReProtect.ini")));
  EXPECT_TRUE(fs::is_directory(Product("RegExc")));
  EXPECT_TRUE(fs::is_empty(Product("RegExc")));
  auto restore = StartsOf("C:\\Program Files\\ZV\\ZVRegBck.exe /autorestore");
  ASSERT_EQ(restore.size(), 1u);
  EXPECT_NE(restore[0].find("session 0"), std::string::npos) << restore[0];  // by the system side
  auto check = StartsOf("C:\\Program Files\\ZV\\ZVChkSvc.exe");
  ASSERT_EQ(check.size(), 1u);
  EXPECT_NE(check[0].find("session 1"), std::string::npos) << check[0];
  EXPECT_EQ(StartsOf("C:\\Windows\\system32\\Shutdown.exe -r -t 1").size(), 1u);

  // A marker that cannot be deleted: no restart, and a later start does the
  // job again without restarting either.
  fs::create_directories(Product("ZVReProtect.ini"));
  steps = Steps(Run("/disablecad"));
  EXPECT_TRUE(InOrder(steps, {"mode reprotect", "ZVReProtect.ini could not be deleted: no restart", "end"}));
  EXPECT_EQ(StartsOf("C:\\Windows\\system32\\Shutdown.exe -r -t 1").size(), 1u);
  EXPECT_NE(LogText().find(" - ZVReProtect.ini could not be deleted; the machine is not restarted\r\n"),
            std::string::npos);
  // "/registdll" and "/restorentuser" come before the marker.
  EXPECT_EQ(Steps(Run("/registdll"))[1], "mode registdll");
}

TEST_F(ZVVstInProgram, LogNamesPurgeAndCharacterSafeCut) {
  const std::int64_t now = NowSeconds();
  auto name = [](std::int64_t t) {
    std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "ZVVstIn_%Y%m%d_%H%M%S.log", &tm);
    return std::string(buf);
  };
  const std::string old31 = name(now - 31 * 86400), old29 = name(now - 29 * 86400);
  Write(Product(old31), "a\r\n");
  Write(Product(old29), "b\r\n");
  Write(Product("ZVVstIn_old.log"), "c\r\n");
  // A product folder whose name is longer than a log line in UTF-8.
  std::string euros;
  for (int i = 0; i < 100; ++i) euros += "\xE2\x82\xAC";
  ASSERT_EQ(Code("setting set product.folder 'C:\\" + euros + "'"), 0);
  Boot(40);
  Run("/runbeforelogon", "ZV_ANSI_CODEPAGE=65001");
  EXPECT_FALSE(fs::exists(Product(old31)));
  EXPECT_TRUE(fs::exists(Product(old29)));
  EXPECT_TRUE(fs::exists(Product("ZVVstIn_old.log")));
  std::string log;
  int logs = 0;
  for (const auto& e : fs::directory_iterator(Product())) {
    const std::string n = e.path().filename().string();
    if (n.rfind("ZVVstIn_2", 0) == 0 && n != old29) {
      ++logs;
      std::ifstream in(e.path(), std::ios::binary);
      log.assign(std::istreambuf_iterator<char>(in), {});
    }
  }
  ASSERT_EQ(logs, 1);
  // "C:\" and 85 whole euro signs (258 bytes); the 86th would pass 259.
  std::string cut = "C:\\";
  for (int i = 0; i < 85; ++i) cut += "\xE2\x82\xAC";
  EXPECT_NE(log.find(" - " + cut + "\r\n"), std::string::npos) << log;
}

// The whole boot story on one machine: the first start of ZVVstIn before
// logon, a later boot with new files, a user's logon and the run after it,
// and a boot with protection off. After each run the test reads back what a
// user of the machine would see: both registry views, the user's hive, the
// files and mirrors, the programs started (command line, session, desktop)
// and the per-run log.
TEST_F(ZVVstInProgram, BootEndToEnd) {
  const std::string windows = "'HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows'";
  const std::string services = "'HKLM\\SYSTEM\\CurrentControlSet\\Services\\";
  const std::string chrome = "'HKLM\\SOFTWARE\\Policies\\Google\\Chrome'";
  const fs::path c = root_ / "volumes/C";
  const std::string zv = "C:\\Program Files\\ZV\\";

  // ---- The machine before its first boot --------------------------------
  ASSERT_EQ(Code("user add alice"), 0);
  ASSERT_EQ(Code("user add bob"), 0);
  ASSERT_EQ(Code("volume add '\\Device\\HarddiskVolume5' D:"), 0);
  const fs::path d = root_ / "volumes/HarddiskVolume5";
  // Saved hives: alice's copy holds a value her live hive lacks, and her
  // live ntuser.dat is missing.
  Write(Product("UserReg/alice/ntuser.dat"),
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_USERS\\S-1-5-21-1-2-3-1001]\r\n\r\n"
        "[HKEY_USERS\\S-1-5-21-1-2-3-1001\\Software\\Saved]\r\n\"Marker\"=\"from the saved copy\"\r\n\r\n");
  fs::remove(c / "Users/alice/ntuser.dat");
  // Other vendors' AppInit_DLLs, longer than 260 units, in both views.
  std::string others;
  for (int i = 0; i < 30; ++i) others += "c:\\vendor\\lib" + std::to_string(i) + ".dll,";
  others.pop_back();
  for (const char* view : {"/reg:32", "/reg:64"}) {
    ASSERT_EQ(Code("reg set " + windows + " /v AppInit_DLLs /d '" + others + "' " + view), 0);
  }
  // Services and policies: gupdate with a value, edgeupdate and the Chrome
  // policies without a key, SysMain present (its row never makes a key);
  // nvUpdatusService absent (never made).
  ASSERT_EQ(Code("reg set " + services + "gupdate' /v Start /t REG_DWORD /d 2"), 0);
  ASSERT_EQ(Code("reg set " + services + "SysMain' /v Start /t REG_DWORD /d 2"), 0);
  // The start-up folders and their listing: "OK" keeps, "ok" does not.
  const fs::path startup = c / "Users/alice/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Startup";
  const fs::path common = c / "ProgramData/Microsoft/Windows/Start Menu/Programs/Startup";
  for (const char* name : {"good.lnk", "lower.lnk", "unlisted.lnk", "desktop.ini"}) Write(startup / name, "x");
  for (const char* name : {"tool.lnk", "desktop.ini"}) Write(common / name, "x");
  Write(Product("Startup.prs"),
        "[c:\\users\\alice\\appdata\\roaming\\microsoft\\windows\\start menu\\programs\\startup\\]\r\n"
        "good.lnk=OK\r\nlower.lnk=ok\r\n"
        "[c:\\programdata\\microsoft\\windows\\start menu\\programs\\startup\\]\r\ntool.lnk=OK\r\n");
  // Protection settings, the clear list, the search box.
  Write(Product("ZVSettings.prs"), "[MAIN]\r\nPROTECT=1\r\n");
  Write(Product("ZVDlg.ini"), "[ZVMFol.dll]\r\nDISABLE=0\r\n");
  Write(Product("ZVSearchUI.ini"), "[Settings]\r\nHide=1\r\n");
  Write(Product("ZVClearList.ini"), "[Settings]\r\nCount=1\r\n0=C:\\Clear\r\n");
  Write(c / "Clear/keep.txt", "keep");
  Write(c / "Clear/Kept/inner.txt", "inner");
  Write(c / "Outside/precious.txt", "precious");
  // Mirror targets: a folder whose R2 copy holds files and sub-folders, a
  // folder on D:, a file with a saved copy and one without.
  Write(Product("ZVVstInAppRepository.ini"),
        "[Backup]\r\n0=C:\\Data\\\r\n1=D:\\Other\\\r\n2=C:\\Config\\app.cfg\r\n3=C:\\Config\\new.cfg\r\n");
  Write(c / "Data/a.txt", "live a");
  Write(c / "Data/Sub/b.txt", "live b");
  Write(Product("R2/C/Data/a.txt"), "saved a");
  Write(Product("R2/C/Data/Sub/b.txt"), "saved b");
  Write(Product("R2/C/Data/Sub/c.txt"), "saved c");
  Write(Product("R2/C/Data/Deep/Deeper/e.txt"), "saved e");
  Write(d / "Other/o.txt", "on D");
  Write(c / "Config/app.cfg", "live cfg");
  Write(Product("R2/C/Config/app.cfg"), "saved cfg");
  Write(c / "Config/new.cfg", "new cfg");

  const std::string sid = [&] {
    for (const std::string& line : Lines(Zvm("user list"))) {
      const std::size_t at = line.find("S-1-5-21-");
      if (line.find("alice") != std::string::npos && at != std::string::npos) {
        return line.substr(at, line.find_first_of(" \t", at) - at);
      }
    }
    return std::string();
  }();
  ASSERT_FALSE(sid.empty()) << Zvm("user list");
  const std::string search = "'HKU\\" + sid + "\\Software\\Microsoft\\Windows\\CurrentVersion\\Search'";

  auto value = [&](const std::string& key, const std::string& name, const std::string& view = "") {
    std::string out = Zvm("reg query " + key + " /v '" + name + "'" + (view.empty() ? "" : " " + view));
    for (const std::string& line : Lines(out)) {
      std::size_t at = line.find("    " + name + "    ");
      if (at != std::string::npos) {
        std::size_t data = line.find("    ", at + name.size() + 8);
        return data == std::string::npos ? std::string() : line.substr(data + 4);
      }
    }
    return std::string("missing");
  };
  auto file = [](const fs::path& p) {
    if (!fs::is_regular_file(p)) return std::string("missing");
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  // The machine is off for ten minutes, then boots: every boot's first run
  // of ZVVstIn sees a boot time other than the stored one.
  auto bootAfterPause = [&](std::uint64_t uptime) {
    {
      auto m = zv::platform::Machine::Open(root_, false);
      m->Write([](sqlite3* db) {
        sqlite3_exec(db, "UPDATE boot SET machine_origin_ms = machine_origin_ms + 600000", 0, 0, 0);
      });
    }
    Boot(uptime);
    for (const auto& e : fs::directory_iterator(Product())) {
      if (e.path().extension() == ".log") fs::remove(e.path());
    }
    EndNewUserWaitAtOnce();
  };
  auto startsNow = [&] { return Lines(Starts()).size(); };

  // ---- First boot: protection on ------------------------------------------
  ASSERT_EQ(Code("product set 1 1"), 0);
  bootAfterPause(30);
  auto steps = Steps(Run("/runbeforelogon"));
  EXPECT_TRUE(InOrder(steps, {"DetectFirstBoot = 1", "RunFirstBootSteps", "step CleanAppRepository()",
                              "step RestoreUserHives(0)", "step UpdateAppInitDlls(0,0,0)", "step ClearListStep()",
                              "RunCommonBeforeLogonSteps", "step CleanStartupFolders()", "StartBeforeLogonGroup",
                              "end"}))
      << ::testing::PrintToString(steps);
  // Registry: both views of AppInit_DLLs keep the other vendors' list and
  // gain the view's own library.
  EXPECT_EQ(value(windows, "AppInit_DLLs", "/reg:32"), others + ",c:\\windows\\syswow64\\zvinit32.dll");
  EXPECT_EQ(value(windows, "AppInit_DLLs", "/reg:64"), others + ",c:\\windows\\system32\\zvinit64.dll");
  for (const char* view : {"/reg:32", "/reg:64"}) {
    EXPECT_EQ(value(windows, "LoadAppInit_DLLs", view), "0x1") << view;
    EXPECT_EQ(value(windows, "RequireSignedAppInit_DLLs", view), "0x0") << view;
  }
  EXPECT_EQ(value(services + "gupdate'", "Start"), "0x4");
  EXPECT_EQ(value(services + "gupdate'", "StartOld"), "0x2");
  EXPECT_EQ(value(services + "edgeupdate'", "Start"), "0x4");  // key made
  EXPECT_EQ(value(services + "edgeupdate'", "StartOld"), "0x0");
  EXPECT_EQ(value(services + "SysMain'", "Start"), "0x4");
  EXPECT_EQ(value(chrome, "ChromeCleanupEnabled"), "0x1");
  EXPECT_EQ(Zvm("reg query " + services + "nvUpdatusService'"), "");
  EXPECT_EQ(value("'HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon'", "DisableCAD", "/reg:32"),
            "0x1");
  // Files: alice's hive is back from her saved copy, bob's live hives are
  // saved; the start-up folders follow the listing; the clear list is made.
  EXPECT_EQ(file(c / "Users/alice/ntuser.dat"), file(Product("UserReg/alice/ntuser.dat")));
  EXPECT_EQ(file(Product("UserReg/bob/ntuser.dat")), file(c / "Users/bob/ntuser.dat"));
  EXPECT_TRUE(fs::exists(Product("UserReg/bob/UsrClass.dat")));
  EXPECT_TRUE(fs::exists(startup / "good.lnk"));
  EXPECT_FALSE(fs::exists(startup / "lower.lnk"));
  EXPECT_FALSE(fs::exists(startup / "unlisted.lnk"));
  EXPECT_TRUE(fs::exists(startup / "desktop.ini"));
  EXPECT_TRUE(fs::exists(common / "tool.lnk"));
  EXPECT_TRUE(fs::exists(common / "desktop.ini"));
  EXPECT_TRUE(fs::exists(Product("ZVClearList.prs")));
  // Mirrors: R2's top-level file replaces the live one; in sub-folders only
  // missing files come back; R gets the restored tree.
  EXPECT_EQ(file(c / "Data/a.txt"), "saved a");
  EXPECT_EQ(file(c / "Data/Sub/b.txt"), "live b");
  EXPECT_EQ(file(c / "Data/Sub/c.txt"), "saved c");
  EXPECT_EQ(file(c / "Data/Deep/Deeper/e.txt"), "saved e");
  EXPECT_EQ(file(Product("R/C/Data/Sub/c.txt")), "saved c");
  EXPECT_EQ(file(c / "Config/app.cfg"), "saved cfg");
  EXPECT_EQ(file(c / "Config/new.cfg"), "new cfg");  // no saved copy: left alone, then saved
  EXPECT_EQ(file(Product("R2/C/Config/new.cfg")), "new cfg");
  EXPECT_EQ(file(d / "Other/o.txt"), "on D");
  EXPECT_FALSE(fs::exists(Product("R/D")));
  // Started programs: the waited-for ones have ended, the before-logon
  // group runs on; all hidden in session 0, no desktop given.
  for (const std::string& cmd :
       {zv + "ZVRegExc64.exe /restoredata", zv + "ZVRegWatch64.exe /restorespecial",
        zv + "ZVUserRegistryTool.exe /backupall", zv + "ZVRegBckEx.exe /restoreuserregistry", zv + "ZVBkLogs.exe /run",
        std::string("sc.exe stop SysMain"), zv + "ZVMain.exe /run /boot", zv + "VMQCnt.exe", zv + "ZVAMCnt.exe /run",
        zv + "TaskRelay.exe", zv + "ZVMXCnt.exe /run /beforelogon"}) {
    auto rows = StartsOf(cmd);
    ASSERT_EQ(rows.size(), 1u) << cmd << "\n" << Starts();
    EXPECT_NE(rows[0].find("session 0 "), std::string::npos) << rows[0];
    EXPECT_NE(rows[0].find(" show 0"), std::string::npos) << rows[0];
    EXPECT_NE(rows[0].find(" desktop '' "), std::string::npos) << rows[0];
  }
  EXPECT_NE(StartsOf(zv + "ZVRegExc64.exe /restoredata")[0].find("exit 0:"), std::string::npos);
  const std::size_t firstStarts = startsNow();
  // Log: the first-run detection and the skipped D: target.
  std::string log = LogText();
  EXPECT_NE(log.find(" - dwBootTimeLoaded = 0 dwBootTimeChecked = "), std::string::npos) << log;
  EXPECT_NE(log.find(" - MirrorFolder: D:\\Other\\ is not on drive C, skipped\r\n"), std::string::npos) << log;
  EXPECT_EQ(Count(log, "\r\n"), Count(log, "\n"));

  // ---- Second boot: new files, a link in the cleared folder ---------------
  Write(c / "Clear/new.txt", "new");
  Write(c / "Clear/Kept/new inner.txt", "new inner");
  Write(c / "Clear/New Folder/x.txt", "x");
  fs::create_directory_symlink(c / "Outside", c / "Clear/link");
  Write(c / "Data/a.txt", "changed a");
  Write(c / "Data/Sub/added.txt", "added");
  Write(c / "Config/app.cfg", "changed cfg");
  fs::remove(c / "Config/new.cfg");
  Write(startup / "dropped.lnk", "x");
  fs::remove(c / "Users/bob/AppData/Local/Microsoft/Windows/UsrClass.dat");
  bootAfterPause(30);
  steps = Steps(Run("/runbeforelogon"));
  EXPECT_TRUE(InOrder(steps, {"DetectFirstBoot = 1", "RunFirstBootSteps", "end"})) << ::testing::PrintToString(steps);
  EXPECT_EQ(file(c / "Clear/keep.txt"), "keep");
  EXPECT_EQ(file(c / "Clear/Kept/inner.txt"), "inner");
  EXPECT_FALSE(fs::exists(c / "Clear/new.txt"));
  EXPECT_FALSE(fs::exists(c / "Clear/Kept/new inner.txt"));
  EXPECT_FALSE(fs::exists(c / "Clear/New Folder"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(c / "Clear/link")));  // the link itself goes
  EXPECT_EQ(file(c / "Outside/precious.txt"), "precious");         // its target stays
  EXPECT_EQ(file(c / "Data/a.txt"), "saved a");
  EXPECT_EQ(file(c / "Data/Sub/added.txt"), "added");  // new in a sub-folder: kept and saved
  EXPECT_EQ(file(Product("R2/C/Data/Sub/added.txt")), "added");
  EXPECT_EQ(file(c / "Config/app.cfg"), "saved cfg");
  EXPECT_EQ(file(c / "Config/new.cfg"), "new cfg");  // a missing file target comes back as a file
  EXPECT_FALSE(fs::exists(startup / "dropped.lnk"));
  EXPECT_TRUE(fs::exists(c / "Users/bob/AppData/Local/Microsoft/Windows/UsrClass.dat"));
  EXPECT_EQ(value(services + "gupdate'", "StartOld"), "0x2");  // remembered once
  EXPECT_EQ(Count(value(windows, "AppInit_DLLs", "/reg:32"), "zvinit32.dll"), 1);
  EXPECT_EQ(StartsOf(zv + "ZVMain.exe /run /boot").size(), 2u);
  EXPECT_EQ(startsNow(), 2 * firstStarts);  // the same programs once more

  // ---- Logon and the run after it -----------------------------------------
  ASSERT_EQ(Code("logon alice"), 0);
  EXPECT_EQ(value("'HKU\\" + sid + "\\Software\\Saved'", "Marker"), "from the saved copy");
  steps = Steps(Run("/runafterlogon"));
  EXPECT_TRUE(InOrder(steps, {"mode runafterlogon", "WaitForUserHive", "step AddCompatibilityEntry()",
                              "ReadProductData protection 1 recycle 0 temporary 0", "step ApplySearchBoxMode(1)",
                              "end"}))
      << ::testing::PrintToString(steps);
  EXPECT_EQ(value(search, "SearchboxTaskbarMode"), "0x0");
  EXPECT_EQ(value(search, "SearchboxTaskbarModeOld"), "0x270f");  // 9999: there was none
  EXPECT_EQ(value("'HKU\\" + sid +
                      "\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Compatibility "
                      "Assistant\\Persisted'",
                  "C:\\Windows\\system32\\ZV6.cpl"),
            "0x10");
  auto amCnt = StartsOf(zv + "ZVAMCnt.exe /afterlogon");
  ASSERT_EQ(amCnt.size(), 1u);
  EXPECT_NE(amCnt[0].find("flags 0x30 show 6 desktop 'WinSta0\\Default' dir 'C:\\Program Files\\ZV"),
            std::string::npos)
      << amCnt[0];
  auto set = StartsOf(zv + "ZVSet.exe /tuning");
  ASSERT_EQ(set.size(), 1u);
  EXPECT_NE(set[0].find(" show 5"), std::string::npos) << set[0];
  auto mainUser = StartsOf(zv + "ZVMainUser.exe /run /usersession");
  ASSERT_EQ(mainUser.size(), 15u);
  EXPECT_NE(mainUser[0].find("desktop 'WinSta0\\Default'"), std::string::npos) << mainUser[0];
  EXPECT_EQ(Count(LogText(), " - Running ZVMainUser.exe Result(1)\r\n"), 15);
  // A restore of the hives while alice is logged on leaves hers alone.
  fs::remove(Product("UserReg/alice/UsrClass.dat"));
  Run("/restorentuser");
  EXPECT_NE(LogText().find("hive in use, not restored"), std::string::npos) << LogText();
  EXPECT_EQ(value("'HKU\\" + sid + "\\Software\\Saved'", "Marker"), "from the saved copy");

  // ---- Third boot: protection off ------------------------------------------
  // The boot logs alice off (her hive file gets the search-box values) and
  // ends the programs.
  ASSERT_EQ(Code("product set 1 0"), 0);
  Write(Product("ZVSettings.prs"), "[MAIN]\r\nPROTECT=0\r\n");
  Write(c / "Clear/new.txt", "new");
  Write(c / "Data/a.txt", "changed a");
  bootAfterPause(30);
  EXPECT_EQ(Zvm("window list").find("VMQ_Client"), std::string::npos);
  steps = Steps(Run("/runbeforelogon"));
  EXPECT_TRUE(InOrder(steps, {"DetectFirstBoot = 1", "ReadProductData protection 0 recycle 0 temporary 0", "end"}))
      << ::testing::PrintToString(steps);
  // Remembered values go back; keys the table made stay with the old value.
  EXPECT_EQ(value(services + "gupdate'", "Start"), "0x2");
  EXPECT_EQ(value(services + "gupdate'", "StartOld"), "missing");
  EXPECT_EQ(value(services + "edgeupdate'", "Start"), "0x0");
  EXPECT_EQ(value(chrome, "ChromeCleanupEnabledOld"), "missing");
  // AppInit_DLLs keeps the other vendors' list and the product's library.
  EXPECT_EQ(value(windows, "AppInit_DLLs", "/reg:64"), others + ",c:\\windows\\system32\\zvinit64.dll");
  // Nothing new is deleted; the mirrors are restored a last time, then the
  // listing, R2 and the saved hives go; R and the live folders stay; D: is
  // untouched.
  EXPECT_EQ(file(c / "Clear/new.txt"), "new");
  EXPECT_FALSE(fs::exists(Product("ZVClearList.prs")));
  EXPECT_EQ(file(c / "Data/a.txt"), "saved a");
  EXPECT_FALSE(fs::exists(Product("R2/C/Data")));
  EXPECT_FALSE(fs::exists(Product("R2/C/Config/app.cfg")));
  EXPECT_EQ(file(c / "Config/app.cfg"), "saved cfg");
  EXPECT_TRUE(fs::exists(Product("R/C/Data/a.txt")));
  EXPECT_EQ(file(d / "Other/o.txt"), "on D");
  EXPECT_FALSE(fs::exists(Product("UserReg/alice/ntuser.dat")));
  EXPECT_FALSE(fs::exists(Product("UserReg/bob/ntuser.dat")));
  EXPECT_TRUE(fs::exists(c / "Users/alice/ntuser.dat"));
  // The search-box values reached alice's hive file when the boot logged
  // her off.
  ASSERT_EQ(Code("logon alice"), 0);
  EXPECT_EQ(value(search, "SearchboxTaskbarModeOld"), "0x270f");
  log = LogText();
  EXPECT_NE(log.find(" - MirrorFolder: D:\\Other\\ is not on drive C, skipped\r\n"), std::string::npos) << log;
  EXPECT_EQ(StartsOf("sc.exe stop SysMain").size(), 2u);  // not with protection off
}

}  // namespace
