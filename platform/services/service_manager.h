// The machine's service database: what the service control manager keeps
// and what tools read from it.
//
// Owns: the schema step "services" (run state per service), the services
// of the machine as the registry's Services key and that table describe
// them together, the machine settings that make a service hang in
// stop-pending or fail to start, the resolution of a driver's ImagePath to
// a DOS path, and the loading of a kernel-driver stand-in (the host program
// that the driver's image file names). See docs/services.md.
// Must not: hold handles (service_manager_real.cpp does) or know what a
// particular driver reads (suite/block_drivers/).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/win32.h"
#include "platform/files/machine.h"

namespace zv::platform {

extern const SchemaStep kServicesSchema;

// Where a service's configuration lives, below HKLM.
constexpr const wchar_t* kServicesKey = L"SYSTEM\\CurrentControlSet\\Services";

struct ServiceEntry {
  std::wstring name;  // the key's name, as created
  win::DWORD type = 0;
  win::DWORD start = 0;
  win::DWORD errorControl = 0;
  std::wstring imagePath;
  std::wstring displayName;
  win::DWORD state = 0;          // SERVICE_STOPPED, ...
  bool deletePending = false;    // deleted while running: goes when stopped
  std::optional<std::int64_t> stopDueMs;  // stop-pending ends then (clock UTC ms)
  std::string report;            // what the driver stand-in printed at its last load (UTF-8)
};

// Settings (names lower-cased):
//   service.<name>.stop_pending_ms   a stop leaves the service stop-pending
//                                    for this many ms; "forever" never ends
//   service.<name>.start_error       a start fails with this Win32 error
std::string ServiceSettingPrefix(const std::wstring& name);

// Every service of the machine (keys below Services holding a Type value),
// in the order of the key names, with their run state; stop-pending
// services whose time is up are seen as stopped (and deleted when marked).
std::vector<ServiceEntry> ListServices(Machine& machine);
std::optional<ServiceEntry> FindService(Machine& machine, const std::wstring& name);

// The DOS path of a driver's ImagePath: "\??\" dropped, "\SystemRoot\" and
// %SystemRoot% turned into the Windows folder, a path without a drive taken
// below the Windows folder ("System32\drivers\x.sys").
std::wstring DriverImageDosPath(const std::wstring& imagePath);

// Loads a kernel-driver stand-in: the image must be a program file of the
// machine naming a host program (ZV_BIN_DIR, else the running program's
// folder), which is run as "<stand-in> load <service>" with ZV_MACHINE set
// to this machine. Its standard output becomes the report; its exit code is
// the answer (0: loaded). Errors: those of the path, ERROR_FILE_NOT_FOUND
// for a missing image (or folder on its way), 193 for an image that is not a program file, 216
// when the stand-in is not there, 1067 when it dies.
win::DWORD LoadDriverStandIn(Machine& machine, const std::wstring& service, const std::wstring& imagePath,
                             std::string& report);

namespace servicedb {

// Inside Machine::Read / Machine::Write.
std::optional<ServiceEntry> Lookup(sqlite3* db, const std::wstring& name);
// Writes the run state (a missing row reads as stopped).
void SetState(sqlite3* db, const std::wstring& name, win::DWORD state, std::optional<std::int64_t> stopDueMs,
              bool deletePending);
void SetReport(sqlite3* db, const std::wstring& name, const std::string& report);
// Ends an elapsed stop-pending state (deleting a service marked for
// delete); the entry is updated, or emptied when the service went.
void Settle(sqlite3* db, std::optional<ServiceEntry>& entry, std::int64_t nowMs);
// Removes the service's key (with its subkeys) and its run state.
void Remove(sqlite3* db, const std::wstring& name);
// The Services key, made when missing.
std::int64_t ServicesKey(sqlite3* db);

}  // namespace servicedb

}  // namespace zv::platform
