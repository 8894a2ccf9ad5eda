// What a streaming session tells the monitor, and the one question it asks
// (does the monitor want a keyframe). The session holds the monitor by this
// interface only; `session` identifies the session's connection and is never
// dereferenced.
#pragma once

#include <cstdint>
#include <span>

#include "video/nv12_view.h"

namespace vistrel {

using SessionKey = const void*;

class SessionMonitor {
 public:
  virtual ~SessionMonitor() = default;

  virtual void BeginSession(SessionKey session, int width, int height, int fps) = 0;
  virtual void EndSession(SessionKey session) = 0;
  // The phone paused or restarted its picture stream.
  virtual void Interrupt(SessionKey session) = 0;
  virtual void SetPhoneMode(SessionKey session, bool monitor) = 0;
  virtual void SetCameraAllowed(bool allowed) = 0;
  // Every access unit before it is decoded; true when the phone should send a
  // keyframe soon.
  [[nodiscard]] virtual bool OnAccessUnit(SessionKey session, std::span<const uint8_t> unit,
                                          int64_t timestamp_us, bool keyframe) = 0;
  // Every decoded picture that passed the camera gate.
  virtual void OnPicture(SessionKey session, const DecodedPicture& picture) = 0;
};

}  // namespace vistrel
