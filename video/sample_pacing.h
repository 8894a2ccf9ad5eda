// The camera's pacing rule, in 100 ns units: at most one sample per frame
// interval; a schedule that fell more than one interval behind restarts from
// the present instead of bursting to catch up. Pure, so that the camera host's
// tests can run it on their own clock.
#pragma once

#include <cstdint>

#include "video/picture.h"

namespace vistrel {

struct SampleSlot {
  int64_t due;       // when this sample may go
  int64_t next_due;  // the earliest time of the one after it
};

// `next_due`: what the previous slot returned; 0 before the first sample.
constexpr SampleSlot NextSampleSlot(int64_t now, int64_t next_due) {
  const int64_t due = next_due == 0 || now - next_due > kFrameInterval100ns ? now : next_due;
  return {due, due + kFrameInterval100ns};
}

}  // namespace vistrel
