// The access-control half of zvorx's start-up: the engine with key 2 and
// the factory of the device-access engine (key 3).
//
// Owns: the process-wide key-2 engine (never destroyed), its subscriptions,
// the device-access factory handed to control/ and the second application
// of the default rules.
// Must not: touch the backup engine or the order of the rest of start-up.
#pragma once

namespace zv::engines {
class acengine;
}

namespace zv::service {

// Creates the access-control engine (key 2) and starts it; unless
// `skipAccess`, subscribes its integer, string, integer-and-string and
// notification handlers, in that order. Installs the factory that
// "MAIN_ENGINE_CREATEDEVICEACCESS" uses. Returns the engine.
engines::acengine* StartAccessControlEngine(bool skipAccess);

// Applies the default rules once more when the engine's work flag is
// already set (a command arrived during start-up).
void ReapplyAccessControlRules(engines::acengine* engine);

// Whether the engines started here run their own threads (the hold
// countdown). On by default. In-process tests of the whole start-up on a
// virtual clock turn it off: there a periodic sleep never waits.
void SetAccessEngineThreads(bool run);

}  // namespace zv::service
