// The five process-wide dispatch signals between the port, the control
// interface and the engines.
//
// Owns: NotificationSignal and the four command signals. Slots are connected
// at the back, so they run in connection order; emission does not hold the
// signal's lock while slots run, so slots of one signal run concurrently on
// several threads. A command emission's result is the last slot's value,
// empty when no slot is connected. No slot is ever disconnected.
// Must not: know the engines or the transports that emit.
#pragma once

#include <boost/signals2.hpp>
#include <string>

namespace zv::channel {

struct _MXRED_NOTIFICATION;
struct _MXRED_REPLY_MESSAGE;

using NotificationSignalType = boost::signals2::signal<void(_MXRED_NOTIFICATION*, _MXRED_REPLY_MESSAGE*)>;
using CommandSignalIType = boost::signals2::signal<int(int, const std::wstring, int)>;
using CommandSignalISType = boost::signals2::signal<int(int, const std::wstring, int, const std::wstring)>;
using CommandSignalSType = boost::signals2::signal<int(int, const std::wstring, const std::wstring)>;
using CommandSignalSSSType =
    boost::signals2::signal<int(int, const std::wstring, const std::wstring, const std::wstring)>;

// Created during static initialisation; live until the process ends.
extern NotificationSignalType NotificationSignal;
extern CommandSignalIType CommandSignalI;
extern CommandSignalISType CommandSignalIS;
extern CommandSignalSType CommandSignalS;
extern CommandSignalSSSType CommandSignalSSS;

}  // namespace zv::channel
