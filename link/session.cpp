#include "link/session.h"

#include "link/json.h"
#include "link/stage_times.h"
#include "link/timing.h"
#include "platform/log.h"
#include "security/phone_text.h"
#include "video/picture.h"

namespace vistrel {
namespace {

constexpr uint64_t kRateWindowMs = 1000;
constexpr uint32_t kRateMaxMessages = 60;
constexpr uint64_t kRateMaxBits = 20'000'000;
constexpr uint64_t kMaxTimestamp = 1ull << 52;
constexpr size_t kMaxEchoedPing = 64;
constexpr size_t kVideoHeader = 13;
constexpr size_t kMaxThermalBytes = 32;
constexpr size_t kMaxModelBytes = 64;

uint32_t ReadBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint64_t ReadBe64(const uint8_t* p) {
  return (uint64_t{ReadBe32(p)} << 32) | ReadBe32(p + 4);
}

std::string Refusal(std::string_view error) {
  return JsonObject().Bool("ok", false).String("error", error).Text();
}

}  // namespace

StreamSession::StreamSession(const SessionContext& context, std::shared_ptr<Connection> connection)
    : context_(context), connection_(std::move(connection)), channel_(*connection_->channel) {}

void StreamSession::Run() {
  if (!Open()) return;
  const uint64_t start = Now();
  epoch_ = 0;
  ready_ = false;
  synced_ = false;
  last_message_ = start;
  rate_window_start_ = start;
  Frame frame;
  for (;;) {
    {
      StageScope read(Stage::kRead);
      ReadFrameInto(channel_, Now() + kFirstByteMs, FrameContext::kSession, frame, context_.clock);
    }
    if (frame.result == ReadResult::kFailed) break;
    if (frame.result == ReadResult::kTimedOut) {
      if (Now() - last_message_ >= kSilenceMs) {
        LogLine("[net] no data for 15 s, closing\n");
        break;
      }
      Send(kPing, "vstl");
      continue;
    }
    last_message_ = Now();
    context_.active.bytes_received += frame.payload.size() + 5;
    if (Dispatch(frame) == Next::kClose) break;
  }
  Close();
}

bool StreamSession::Open() {
  Frame frame = ReadFrame(channel_, Now() + kFirstByteMs, FrameContext::kFirst, context_.clock);
  if (frame.result != ReadResult::kOk || frame.type != kHello) return false;
  JsonParseResult hello = JsonParse(AsText(frame.payload));
  auto name = hello.ok ? JsonGetString(hello.value, "device_name") : std::nullopt;
  if (!hello.ok || JsonGetUint32(hello.value, "proto") != 1u || !name) {
    Send(kHelloReply, Refusal("proto"));
    return false;
  }
  const JsonValue* video = JsonFind(hello.value, "video");
  auto fps = video ? JsonGetUint32(*video, "fps") : std::nullopt;
  if (!video || video->kind != JsonValue::kObject || JsonGetString(*video, "codec") != "h264" ||
      JsonGetUint32(*video, "width") != kPictureWidth ||
      JsonGetUint32(*video, "height") != kPictureHeight ||
      (fps != 15u && fps != 30u)) {
    Send(kHelloReply, Refusal("format"));
    return false;
  }
  device_name_ = CleanPhoneText(*name);
  fps_ = *fps;
  const bool accepted = context_.active.Claim(connection_, device_name_, [&](bool allowed) {
    JsonObject video_format;
    video_format.String("codec", "h264")
        .Number("width", kPictureWidth)
        .Number("height", kPictureHeight)
        .Number("fps", fps_);
    Send(kHelloReply, JsonObject()
                          .Bool("ok", true)
                          .String("receiver_name", context_.receiver_name)
                          .Bool("allowed", allowed)
                          .Object("video", video_format)
                          .Number("proto", 1)
                          .StringArray("features", {"wired", "monitor", "files"})
                          .Text());
    if (context_.monitor) {
      context_.monitor->BeginSession(key(), static_cast<int>(kPictureWidth),
                                     static_cast<int>(kPictureHeight), static_cast<int>(fps_));
    }
  });
  if (!accepted) {
    Send(kHelloReply, Refusal("busy"));
    return false;
  }
  if (context_.scan) scan_.emplace(*context_.scan);
  context_.active.Begin(device_name_, connection_->wired);
  LogLine("[net] %s session with \"%s\" (%s)\n", connection_->wired ? "wired" : "streaming",
          device_name_.c_str(), connection_->peer.c_str());
  const int32_t initialized = decoder_.Initialize();
  decoder_ok_ = initialized >= 0;
  if (!decoder_ok_) LogLine("[decoder] initialization failed 0x%08X\n", initialized);
  on_picture_ = [this](const DecodedPicture& picture) { OnPicture(picture); };
  return true;
}

StreamSession::Next StreamSession::Dispatch(const Frame& frame) {
  switch (frame.type) {
    case kVideo:
      return OnVideo(frame.payload);
    case kPing:
      if (frame.payload.size() <= kMaxEchoedPing) (void)SendFrame(channel_, kPong, frame.payload);
      return Next::kContinue;
    case kStatus:
      return OnStatus(frame.payload);
    case kState:
      return OnState(frame.payload);
    case kAck:
      return OnAck(frame.payload);
    case kMode:
      return OnMode(frame.payload);
    case kFileBegin:
    case kFileChunk:
    case kFileEnd:
    case kText:
      return OnScanMessage(frame);
    default:
      return Next::kContinue;
  }
}

// At most 60 VIDEO messages and 20,000,000 bits of their payloads in a window.
bool StreamSession::PassesRateLimit(size_t payload_size) {
  const uint64_t now = Now();
  if (now - rate_window_start_ < kRateWindowMs) {
    ++rate_count_;
    rate_bits_ += 8ull * payload_size;
  } else {
    rate_window_start_ = now;
    rate_count_ = 1;
    rate_bits_ = 8ull * payload_size;
  }
  return rate_count_ <= kRateMaxMessages && rate_bits_ <= kRateMaxBits;
}

StreamSession::Next StreamSession::OnVideo(const Bytes& payload) {
  if (!PassesRateLimit(payload.size())) {
    LogLine("[net] video rate limit exceeded, closing\n");
    return Next::kClose;
  }
  if (payload.size() < 14) return Next::kClose;
  NotePictureArrival();
  ActiveSession& active = context_.active;
  ++active.video_received;
  const uint32_t epoch = ReadBe32(payload.data());
  const uint64_t timestamp = ReadBe64(payload.data() + 4);
  if (timestamp >= kMaxTimestamp) {
    LogLine("[net] VIDEO with an impossible timestamp, closing\n");
    return Next::kClose;
  }
  const bool keyframe_flag = payload[12] & 1;
  const uint8_t* data = payload.data() + kVideoHeader;
  const size_t size = payload.size() - kVideoHeader;
  if (!active.VideoGateOpen(*connection_) || !ready_ || epoch != epoch_ || !decoder_ok_) {
    ++active.video_dropped;
    return Next::kContinue;
  }
  const bool keyframe = IsKeyframeAccessUnit(data, size, keyframe_flag);
  if (!synced_) {
    if (!keyframe) {
      ++active.video_dropped;
      RequestKeyframe();
      return Next::kContinue;
    }
    synced_ = true;
  }
  if (context_.monitor) {
    StageScope monitor(Stage::kMonitor);
    if (context_.monitor->OnAccessUnit(key(), {data, size}, static_cast<int64_t>(timestamp),
                                       keyframe)) {
      RequestKeyframe();
    }
  }
  const int32_t decoded = [&] {
    StageScope decode(Stage::kDecode);
    return decoder_.Decode(data, size, static_cast<int64_t>(timestamp) * 10, on_picture_);
  }();
  if (decoded < 0) {
    LogLine("[decoder] decode failed 0x%08X, waiting for next keyframe\n", decoded);
    decoder_.Flush();
    synced_ = false;
    RequestKeyframe();
  }
  return Next::kContinue;
}

void StreamSession::OnPicture(const DecodedPicture& picture) {
  NotePictureDecoded();
  ++context_.active.frames_decoded;
  CountStagePicture();
  if (ready_ && context_.active.DeliverPicture(*connection_, picture) && context_.monitor) {
    StageScope monitor(Stage::kMonitor);
    context_.monitor->OnPicture(key(), picture);
  }
}

StreamSession::Next StreamSession::OnStatus(const Bytes& payload) {
  JsonParseResult status = JsonParse(AsText(payload));
  if (!status.ok) return Next::kContinue;
  auto battery = JsonGetNumber(status.value, "battery");
  auto thermal = JsonGetString(status.value, "thermal");
  auto model = JsonGetString(status.value, "model");
  if (thermal) {
    thermal = thermal->size() <= kMaxThermalBytes ? std::optional(CleanPhoneText(*thermal))
                                                  : std::nullopt;
  }
  if (model) {
    model = model->size() <= kMaxModelBytes ? std::optional(CleanPhoneText(*model)) : std::nullopt;
  }
  context_.active.ReportStatus(battery, std::move(thermal), std::move(model));
  return Next::kContinue;
}

StreamSession::Next StreamSession::OnState(const Bytes& payload) {
  JsonParseResult state = JsonParse(AsText(payload));
  if (!state.ok) {
    LogLine("[net] malformed JSON (type 0x%02X), closing\n", kState);
    return Next::kClose;
  }
  auto capture = JsonGetString(state.value, "capture");
  auto epoch = JsonGetUint32(state.value, "epoch");
  auto reason = JsonGetString(state.value, "reason");
  const bool reason_ok = reason || JsonIsNull(state.value, "reason");
  if (!capture || !epoch || !reason_ok || (*capture != "ready" && *capture != "paused")) {
    LogLine("[net] malformed STATE, closing\n");
    return Next::kClose;
  }
  if (*capture == "ready") {
    ready_ = true;
    StartEpoch(*epoch);
  } else {
    ready_ = false;
    if (context_.monitor) context_.monitor->Interrupt(key());
    context_.active.ClearPictureOf(*connection_);
  }
  const std::string cleaned_reason = reason ? CleanPhoneText(*reason) : std::string();
  LogLine("[state] phone %s%s%s (epoch %u)\n", capture->c_str(), reason ? ": " : "",
          cleaned_reason.c_str(), *epoch);
  return Next::kContinue;
}

StreamSession::Next StreamSession::OnAck(const Bytes& payload) {
  JsonParseResult ack = JsonParse(AsText(payload));
  if (!ack.ok) {
    LogLine("[net] malformed JSON (type 0x%02X), closing\n", kAck);
    return Next::kClose;
  }
  auto seq = JsonGetUint32(ack.value, "seq");
  auto epoch = JsonGetUint32(ack.value, "epoch");
  if (!seq || !epoch) {
    LogLine("[net] malformed ACK, closing\n");
    return Next::kClose;
  }
  if (*seq == connection_->awaited_allow.load()) {
    StartEpoch(*epoch);
    connection_->acknowledged_allow = *seq;
    LogLine("[gate] phone acknowledged ALLOW, epoch %u\n", *epoch);
  }
  return Next::kContinue;
}

StreamSession::Next StreamSession::OnMode(const Bytes& payload) {
  JsonParseResult mode_message = JsonParse(AsText(payload));
  auto mode = mode_message.ok ? JsonGetString(mode_message.value, "mode") : std::nullopt;
  if (!mode) {
    LogLine("[net] malformed MODE, closing\n");
    return Next::kClose;
  }
  if (*mode == "webcam" || *mode == "monitor") {
    if (context_.monitor) context_.monitor->SetPhoneMode(key(), *mode == "monitor");
  } else {
    LogLine("[net] unknown mode \"%s\" ignored\n", CleanPhoneText(*mode).c_str());
  }
  return Next::kContinue;
}

// Scans are taken only from the active session; a replaced session answers a
// new transfer as not active, so the phone never waits for it.
StreamSession::Next StreamSession::OnScanMessage(const Frame& frame) {
  if (!scan_ || !context_.active.IsActive(*connection_)) {
    if (frame.type != kFileBegin) return Next::kContinue;
    JsonParseResult begin = JsonParse(AsText(frame.payload));
    auto id = begin.ok ? JsonGetString(begin.value, "id") : std::nullopt;
    if (id) {
      Send(kFileResult,
           JsonObject().String("id", *id).Bool("ok", false).String("error", "not_active").Text());
    }
    return Next::kContinue;
  }
  std::string reply;
  bool go_on = true;
  switch (frame.type) {
    case kFileBegin:
      go_on = scan_->OnFileBegin(AsText(frame.payload), reply);
      break;
    case kFileChunk:
      go_on = scan_->OnFileChunk(frame.payload);
      break;
    case kFileEnd:
      go_on = scan_->OnFileEnd(AsText(frame.payload), reply);
      break;
    default:
      go_on = scan_->OnText(AsText(frame.payload));
      break;
  }
  if (!go_on) return Next::kClose;
  if (!reply.empty()) Send(kFileResult, reply);
  return Next::kContinue;
}

void StreamSession::StartEpoch(uint32_t epoch) {
  epoch_ = epoch;
  synced_ = false;
  decoder_.Flush();
  if (context_.monitor) context_.monitor->Interrupt(key());
}

// At most one request a second; the first of a session always goes out.
void StreamSession::RequestKeyframe() {
  const uint64_t now = Now();
  if (keyframe_requested_ && now - last_keyframe_request_ < kKeyframeRequestMs) return;
  keyframe_requested_ = true;
  last_keyframe_request_ = now;
  Send(kCommand, JsonObject().String("cmd", "request_keyframe").Text());
}

void StreamSession::Close() {
  if (context_.monitor) context_.monitor->EndSession(key());
  // Open transfers are discarded with their temporary files before the line
  // below says the session is over.
  scan_.reset();
  const bool was_active = context_.active.Release(*connection_);
  const char* ending = was_active                  ? "disconnected"
                       : connection_->handed_to_cable ? "handed over to the cable"
                                                       : "replaced by a new session";
  LogLine("[net] \"%s\" %s\n", device_name_.c_str(), ending);
  if (const std::string stages = TakeStageSummary(); !stages.empty()) LogLine("%s", stages.c_str());
}

}  // namespace vistrel
