// The dispatch signals: see signals.h.
#include "driver_channel/signals.h"

namespace zv::channel {

NotificationSignalType NotificationSignal;
CommandSignalIType CommandSignalI;
CommandSignalISType CommandSignalIS;
CommandSignalSType CommandSignalS;
CommandSignalSSSType CommandSignalSSS;

}  // namespace zv::channel
