// The phone in webcam or monitor mode: HELLO, STATE "ready" with an epoch
// (and MODE "monitor" in monitor mode), then H.264 access units at the chosen
// rate stamped with the phone's clock, answering PING, COMMAND and ALLOW as
// a phone does.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "tools/phone/h264_source.h"
#include "tools/phone/phone.h"

namespace vistrel::phone {

struct WebcamOptions {
  std::string device_name = "Simulated iPhone";
  uint32_t fps = 30;
  int width = 1280;
  int height = 720;
  double seconds = 10;
  H264Source::Encoding encoding = H264Source::Encoding::kLight;
  double pause_after = -1;  // seconds; negative: never
  uint32_t first_epoch = 1;
  // Monitor mode: a still scene, with motion from motion_start to motion_end
  // (seconds after the start); MODE "webcam" at mode_switch seconds.
  bool monitor = false;
  bool still_scene = true;  // monitor mode: false keeps the moving test picture
  double motion_start = -1;
  double motion_end = -1;
  double mode_switch = -1;
  // Time stamp faults a phone's clock can show: each stamp moved by up to
  // this many microseconds either way, and every fifth stamp equal to the one
  // before.
  int64_t jitter_us = 0;
  bool repeat_timestamps = false;
  // Called right after each VIDEO message left, with its access unit.
  std::function<void(const AccessUnit& unit)> on_video_sent;
};

struct WebcamReport {
  bool accepted = false;
  std::string hello_reply;
  uint32_t video_sent = 0;
  uint32_t keyframes_sent = 0;
  uint32_t keyframe_requests = 0;
  uint32_t allows = 0;
  uint32_t blocks = 0;
  int64_t first_timestamp_us = 0;
  int64_t last_timestamp_us = 0;
  bool closed_by_receiver = false;
};

// Runs until `seconds` passed, `stop` is set, or the receiver closes.
WebcamReport RunWebcam(PhoneLink& link, const WebcamOptions& options,
                       const std::atomic<bool>* stop = nullptr);

}  // namespace vistrel::phone
