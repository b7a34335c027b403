// Recorded steps: see recording_steps.h.
#include "startup_init/app/recording_steps.h"

#include <initializer_list>
#include <string>

#include "startup_init/app/vstin_app.h"

namespace zv::startup {
namespace {

void Record(const wchar_t* name, std::initializer_list<int> args = {}) {
  std::wstring line = std::wstring(L"step ") + name + L"(";
  bool first = true;
  for (int a : args) {
    if (!first) line += L",";
    line += std::to_wstring(a);
    first = false;
  }
  Trace(line + L")");
}

}  // namespace

void RecordingSteps::RestoreUserHives(int forced) {
  Record(L"RestoreUserHives", {forced});
  if (inner_) inner_->RestoreUserHives(forced);
}
int RecordingSteps::IsFolderProtectionOn() {
  Record(L"IsFolderProtectionOn");
  return inner_ ? inner_->IsFolderProtectionOn() : 0;
}
int RecordingSteps::UpdateAppInitDlls(int explicit_call, int include_init, int include_hook) {
  Record(L"UpdateAppInitDlls", {explicit_call, include_init, include_hook});
  return inner_ ? inner_->UpdateAppInitDlls(explicit_call, include_init, include_hook) : 0;
}
void RecordingSteps::ApplyServiceOrPolicyRow(int row) {
  Record(L"ApplyServiceOrPolicyRow", {row});
  if (inner_) inner_->ApplyServiceOrPolicyRow(row);
}
void RecordingSteps::DisableNvidiaUpdateService() {
  Record(L"DisableNvidiaUpdateService");
  if (inner_) inner_->DisableNvidiaUpdateService();
}
void RecordingSteps::EnableRealTimeScanAtSystemStart() {
  Record(L"EnableRealTimeScanAtSystemStart");
  if (inner_) inner_->EnableRealTimeScanAtSystemStart();
}
void RecordingSteps::DisableCtrlAltDel() {
  Record(L"DisableCtrlAltDel");
  if (inner_) inner_->DisableCtrlAltDel();
}
void RecordingSteps::AddDisableBackgroundAppRunOnce() {
  Record(L"AddDisableBackgroundAppRunOnce");
  if (inner_) inner_->AddDisableBackgroundAppRunOnce();
}
void RecordingSteps::RegisterCleanTasks() {
  Record(L"RegisterCleanTasks");
  if (inner_) inner_->RegisterCleanTasks();
}
void RecordingSteps::AddCompatibilityEntry() {
  Record(L"AddCompatibilityEntry");
  if (inner_) inner_->AddCompatibilityEntry();
}
void RecordingSteps::ApplySearchBoxMode(int on) {
  Record(L"ApplySearchBoxMode", {on});
  if (inner_) inner_->ApplySearchBoxMode(on);
}
void RecordingSteps::CleanAppRepository() {
  Record(L"CleanAppRepository");
  if (inner_) inner_->CleanAppRepository();
}
void RecordingSteps::RestoreSqlExpressData() {
  Record(L"RestoreSqlExpressData");
  if (inner_) inner_->RestoreSqlExpressData();
}
void RecordingSteps::MirrorUserFolders(int restore, int protection_on) {
  Record(L"MirrorUserFolders", {restore, protection_on});
  if (inner_) inner_->MirrorUserFolders(restore, protection_on);
}
void RecordingSteps::CleanStartupFolders() {
  Record(L"CleanStartupFolders");
  if (inner_) inner_->CleanStartupFolders();
}
int RecordingSteps::ClearListStep() {
  Record(L"ClearListStep");
  return inner_ ? inner_->ClearListStep() : 0;
}

}  // namespace zv::startup
