#include "tools/phone/webcam.h"

#include <algorithm>
#include <random>

#include "link/json.h"
#include "platform/clock.h"
#include "tools/phone/h264_source.h"

namespace vistrel::phone {
namespace {

constexpr uint64_t kStatusEveryMs = 5000;

std::string ModeJson(const char* mode) { return std::string("{\"mode\":\"") + mode + "\"}"; }

std::string VideoPayload(uint32_t epoch, const AccessUnit& unit) {
  std::string payload(13, '\0');
  for (int i = 0; i < 4; ++i) payload[i] = static_cast<char>(epoch >> (24 - 8 * i));
  const uint64_t pts = static_cast<uint64_t>(unit.pts_us);
  for (int i = 0; i < 8; ++i) payload[4 + i] = static_cast<char>(pts >> (56 - 8 * i));
  payload[12] = unit.keyframe ? 1 : 0;
  payload.append(reinterpret_cast<const char*>(unit.bytes.data()), unit.bytes.size());
  return payload;
}

std::string StateJson(const char* capture, uint32_t epoch, const char* reason) {
  return std::string("{\"capture\":\"") + capture + "\",\"epoch\":" + std::to_string(epoch) +
         ",\"reason\":" + (reason ? JsonQuote(reason) : "null") + "}";
}

}  // namespace

WebcamReport RunWebcam(PhoneLink& link, const WebcamOptions& options,
                       const std::atomic<bool>* stop) {
  WebcamReport report;
  auto source = H264Source::Create(options.width, options.height, static_cast<int>(options.fps),
                                   options.encoding);
  if (!source || !link.Send(kHello, HelloJson(options.device_name, options.fps))) return report;
  Frame reply = link.Read(5000);
  if (reply.result != ReadResult::kOk || reply.type != kHelloReply) return report;
  report.hello_reply = std::string(AsText(reply.payload));
  JsonParseResult parsed = JsonParse(report.hello_reply);
  const JsonValue* ok = parsed.ok ? JsonFind(parsed.value, "ok") : nullptr;
  report.accepted = ok && ok->kind == JsonValue::kBoolean && ok->boolean;
  if (!report.accepted) return report;

  uint32_t epoch = options.first_epoch;
  bool streaming = true;
  if (options.monitor) {
    link.Send(kMode, ModeJson("monitor"));
    if (options.still_scene) source->SetScene(H264Source::Scene::kStill);
  }
  link.Send(kState, StateJson("ready", epoch, nullptr));
  link.Send(kStatus, R"({"battery":0.76,"thermal":"nominal","model":"iPhone15,2"})");

  const uint64_t start = TickMs();
  const uint64_t end = start + static_cast<uint64_t>(options.seconds * 1000);
  const uint64_t pause_at =
      options.pause_after < 0 ? UINT64_MAX : start + static_cast<uint64_t>(options.pause_after * 1000);
  const uint64_t interval_us = 1'000'000 / options.fps;
  uint64_t next_frame_us = start * 1000;
  uint64_t last_status = start;
  const uint64_t start_us = MonotonicNs() / 1000;
  auto seconds_in = [&](double s) { return s >= 0 && double(TickMs() - start) >= s * 1000.0; };
  bool switched = false;
  std::mt19937 random(12345);
  int64_t previous_stamp = -1;
  while (TickMs() < end && !(stop && stop->load())) {
    const uint64_t now = TickMs();
    if (options.monitor && options.still_scene) {
      const bool moving = seconds_in(options.motion_start) && !seconds_in(options.motion_end);
      source->SetScene(moving ? H264Source::Scene::kMotion : H264Source::Scene::kStill);
    }
    if (options.monitor) {
      if (!switched && seconds_in(options.mode_switch)) {
        switched = true;
        link.Send(kMode, ModeJson("webcam"));
      }
    }
    if (streaming && now >= pause_at) {
      streaming = false;
      link.Send(kState, StateJson("paused", epoch, "user"));
    }
    if (now - last_status >= kStatusEveryMs) {
      last_status = now;
      link.Send(kStatus, R"({"battery":0.75,"thermal":"nominal","model":"iPhone15,2"})");
    }
    if (streaming && MonotonicNs() / 1000 >= next_frame_us) {
      next_frame_us += interval_us;
      AccessUnit unit;
      if (!source->NextAccessUnit(unit)) break;
      // The phone's clock, not the encoder's count: a phone stamps capture time.
      unit.pts_us = static_cast<int64_t>(MonotonicNs() / 1000 - start_us) + 1'000'000;
      if (options.jitter_us > 0) {
        unit.pts_us += std::uniform_int_distribution<int64_t>(-options.jitter_us,
                                                              options.jitter_us)(random);
      }
      if (options.repeat_timestamps && report.video_sent % 5 == 4 && previous_stamp >= 0) {
        unit.pts_us = previous_stamp;
      }
      previous_stamp = unit.pts_us;
      if (report.video_sent == 0) report.first_timestamp_us = unit.pts_us;
      report.last_timestamp_us = unit.pts_us;
      if (!link.Send(kVideo, VideoPayload(epoch, unit))) {
        report.closed_by_receiver = true;
        break;
      }
      ++report.video_sent;
      if (unit.keyframe) ++report.keyframes_sent;
      if (options.on_video_sent) options.on_video_sent(unit);
    }
    // Listen until the next picture is due.
    const uint64_t now_us = MonotonicNs() / 1000;
    const uint64_t wait_ms =
        streaming && next_frame_us > now_us ? (next_frame_us - now_us) / 1000 : (streaming ? 0 : 50);
    Frame frame = link.Read(std::max<uint64_t>(wait_ms, 1));
    if (frame.result == ReadResult::kFailed) {
      report.closed_by_receiver = true;
      break;
    }
    if (frame.result != ReadResult::kOk) continue;
    JsonParseResult message = JsonParse(AsText(frame.payload));
    if (frame.type == kPing) {
      link.Send(kPong, frame.payload);
    } else if (frame.type == kCommand && message.ok &&
               JsonGetString(message.value, "cmd") == "request_keyframe") {
      ++report.keyframe_requests;
      source->RequestKeyframe();
    } else if (frame.type == kAllow && message.ok) {
      // A new epoch after every ALLOW, starting with a keyframe.
      ++report.allows;
      ++epoch;
      source->RequestKeyframe();
      const uint32_t seq = JsonGetUint32(message.value, "seq").value_or(0);
      link.Send(kAck, "{\"seq\":" + std::to_string(seq) + ",\"epoch\":" + std::to_string(epoch) + "}");
    } else if (frame.type == kBlock) {
      ++report.blocks;
    }
  }
  return report;
}

}  // namespace vistrel::phone
