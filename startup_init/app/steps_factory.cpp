// The choice of the steps implementation: see steps_factory.h. The restore
// and clean-up steps run with each call recorded in the trace.
#include "startup_init/app/steps_factory.h"

#include "startup_init/app/recording_steps.h"
#include "startup_init/restore/restore_steps.h"

namespace zv::startup {

std::unique_ptr<StartupSteps> MakeStartupSteps(StartupHost& host) {
  return std::make_unique<RecordingSteps>(std::make_unique<RestoreSteps>(host));
}

}  // namespace zv::startup
