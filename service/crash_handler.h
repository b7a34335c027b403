// The process-wide crash handler of zvorx: writes "<program path>.dmp" when
// the process dies of a fatal signal, then lets it die of that signal.
//
// Owns: the handler's settings (dump type 0, a may-write predicate that
// answers true, an after-write callback that does nothing) and its
// installation during static initialisation. The handler itself and the dump
// format are in platform/crash_dump.h.
// Must not: do anything else at static-initialisation time.
#pragma once

namespace zv::service {

// Installs the handler if that has not happened yet; true when a handler is
// installed (false in sanitizer builds, which keep their own). Every program
// that links the service wrapper calls it during static initialisation.
bool EnsureCrashHandler();

}  // namespace zv::service
