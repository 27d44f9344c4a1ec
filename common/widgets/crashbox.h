#pragma once

#include "debuglog.h"

// The crash box the Qt programs show after the crash line was written: a critical message box with
// the exception code and address. Only where it can be shown from the crashing thread (Windows);
// elsewhere there is none and crashBox() returns null.
namespace CrashBox {
DebugLog::CrashBox crashBox();
} // namespace CrashBox
