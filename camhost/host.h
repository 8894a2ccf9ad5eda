// The camera host's main loop: waits for this user's camera record, serves
// it into the sink, and ends when the record is removed, after the requested
// number of pictures, on a stop request, or when the sink or source fails.
#pragma once

#include <atomic>
#include <cstdint>

#include "camhost/sink.h"

namespace vistrel {

struct HostOptions {
  uint64_t frames = 0;  // 0: no limit
  // How often the record is checked; also the wait between looks for one.
  uint32_t record_poll_ms = 500;
};

// The exit code: 0 when the record went away, the pictures were delivered or
// a stop was requested; 1 when the source or the sink failed.
int RunCameraHost(const HostOptions& options, Sink& sink, const std::atomic<bool>& stop);

}  // namespace vistrel
