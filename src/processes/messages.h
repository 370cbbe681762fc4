// The progress texts the process services hand to Trace.
#pragma once

#include "platform/text.h"

namespace MProcesses {

inline const Text kTraceCurrentProcessId = VT("Current ProcessId:");
inline const Text kTraceProcsId = VT(", Proc's Id:");
inline const Text kTraceProcSessionId = VT("Proc SessionId:");
inline const Text kTraceFindSessionId = VT(" Find SessionId:");
inline const Text kTraceKillProcess = VT("Kill Process ProcessID:");

}  // namespace MProcesses
