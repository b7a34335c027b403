// What the block-driver functions need of the program's run time: the
// kernel32 look-up by which they find the WOW64 redirection switches, the
// system folder, and the folder of the program they belong to.
//
// Owns: the ModuleRuntime interface and its real implementation over the
// machine's run time (module_runtime_real.cpp). Tests install their own with
// ScopedApi to watch the order of redirection and file copies.
// Must not: decide anything of the block-driver functions themselves.
#pragma once

#include <string>

#include "platform/base/injectable.h"
#include "platform/base/win32.h"

namespace zv::startup {

class ModuleRuntime {
 public:
  // A procedure address; callers cast it to the function's own type.
  using Procedure = void (*)();

  virtual ~ModuleRuntime() = default;
  // A module handle of "kernel32.dll", null when it cannot be loaded.
  virtual void* LoadKernel32() = 0;
  virtual void FreeKernel32(void* module) = 0;
  // GetProcAddress: null when the module has no such function.
  virtual Procedure Lookup(void* module, const char* name) = 0;
  // GetSystemDirectoryA: "C:\Windows\system32" on every machine.
  virtual std::string SystemDirectoryA() = 0;
  // The folder of the program's image, without a trailing backslash, in
  // the ANSI code page.
  virtual std::string ModuleFolderA() = 0;
};

using Runtime = platform::Api<ModuleRuntime>;

}  // namespace zv::startup
