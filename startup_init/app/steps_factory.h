// Which implementation of the restore and clean-up steps ZVVstIn runs.
//
// Owns: that one choice. Must not: hold state of its own.
#pragma once

#include <memory>

#include "startup_init/steps/startup_steps.h"

namespace zv::startup {

std::unique_ptr<StartupSteps> MakeStartupSteps(StartupHost& host);

}  // namespace zv::startup
