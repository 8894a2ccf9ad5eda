// SIGINT and SIGTERM as readable events instead of asynchronous handlers. A
// program blocks them first thing in main, so that every thread it starts
// inherits the mask and none can be interrupted or killed by them; the one
// place that waits for a stop reads them from the descriptor.
#pragma once

#include "platform/unique_handle.h"

namespace vistrel {

// Blocks SIGINT and SIGTERM in the calling thread (and so in every thread it
// starts afterwards). Call first thing in main, before any thread exists.
void BlockStopSignals();

// A signalfd that becomes readable when SIGINT or SIGTERM is pending; invalid
// when the kernel refuses one. The signals must be blocked (BlockStopSignals).
UniqueFd StopSignalFd();

}  // namespace vistrel
