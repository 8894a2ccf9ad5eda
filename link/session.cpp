// The streaming session of a trusted phone: HELLO and the one-phone rule, then
// the message loop with keep-alive, status, state, the camera gate's ALLOW/ACK
// handshake and the video gate.
#include <cstring>

#include "link/framing.h"
#include "link/json.h"
#include "link/server.h"
#include "platform/log.h"
#include "security/phone_text.h"
#include "video/h264_decoder.h"

namespace vistrel {
namespace {

constexpr uint64_t kFirstByteMs = 5000;
constexpr uint64_t kSilenceMs = 15000;
constexpr uint64_t kRateWindowMs = 1000;
constexpr uint32_t kRateMaxMessages = 60;
constexpr uint64_t kRateMaxBits = 20'000'000;
constexpr uint64_t kMaxTimestamp = 1ull << 52;
constexpr size_t kMaxEchoedPing = 64;
constexpr uint64_t kKeyframeRequestMs = 1000;
constexpr size_t kVideoHeader = 13;

uint32_t ReadBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint64_t ReadBe64(const uint8_t* p) {
  return (uint64_t{ReadBe32(p)} << 32) | ReadBe32(p + 4);
}

}  // namespace

// Session variables of one run of Server::Stream; touched only on its thread.
class StreamSession {
 public:
  StreamSession(Server& server, std::shared_ptr<Connection> connection)
      : server_(server), connection_(std::move(connection)), channel_(*connection_->channel) {}

  void Run();

 private:
  enum class Next { kContinue, kClose };

  bool Open();
  bool Accept();
  Next Dispatch(const Frame& frame);
  Next OnVideo(const Bytes& payload);
  Next OnStatus(const Bytes& payload);
  Next OnState(const Bytes& payload);
  Next OnAck(const Bytes& payload);
  Next OnMode(const Bytes& payload);
  void OnScanMessage(const Frame& frame);
  void StartEpoch(uint32_t epoch);
  void RequestKeyframe();
  void OnPicture(const uint8_t* luma, const uint8_t* chroma, int stride, int width, int height);
  void Close();
  uint64_t Now() const { return server_.Now(); }
  void Send(uint8_t type, std::string_view payload) { (void)SendFrame(channel_, type, payload); }

  Server& server_;
  std::shared_ptr<Connection> connection_;
  Channel& channel_;
  std::string device_name_;
  uint32_t fps_ = 0;
  uint32_t epoch_ = 0;
  bool ready_ = false;
  bool synced_ = false;
  H264Decoder decoder_;
  bool decoder_ok_ = false;
  FrameCallback on_picture_;
  bool keyframe_requested_ = false;
  uint64_t last_keyframe_request_ = 0;
  uint64_t last_message_ = 0;
  uint64_t rate_window_start_ = 0;
  uint32_t rate_count_ = 0;
  uint64_t rate_bits_ = 0;
};

void Server::Stream(const std::shared_ptr<Connection>& connection) {
  StreamSession(*this, connection).Run();
}

void StreamSession::Run() {
  if (!Open()) return;
  const uint64_t start = Now();
  epoch_ = 0;
  ready_ = false;
  synced_ = false;
  last_message_ = start;
  rate_window_start_ = start;
  for (;;) {
    Frame frame = ReadFrame(channel_, Now() + kFirstByteMs, FrameContext::kSession,
                            *server_.context_.clock);
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
    server_.bytes_received_ += frame.payload.size() + 5;
    if (Dispatch(frame) == Next::kClose) break;
  }
  Close();
}

bool StreamSession::Open() {
  Frame frame = ReadFrame(channel_, Now() + kFirstByteMs, FrameContext::kFirst,
                          *server_.context_.clock);
  if (frame.result != ReadResult::kOk || frame.type != kHello) return false;
  JsonParseResult hello = JsonParse(AsText(frame.payload));
  auto name = hello.ok ? JsonGetString(hello.value, "device_name") : std::nullopt;
  if (!hello.ok || JsonGetUint32(hello.value, "proto") != 1u || !name) {
    Send(kHelloReply, "{\"ok\":false,\"error\":\"proto\"}");
    return false;
  }
  const JsonValue* video = JsonFind(hello.value, "video");
  auto fps = video ? JsonGetUint32(*video, "fps") : std::nullopt;
  if (!video || video->kind != JsonValue::kObject || JsonGetString(*video, "codec") != "h264" ||
      JsonGetUint32(*video, "width") != 1280u || JsonGetUint32(*video, "height") != 720u ||
      (fps != 15u && fps != 30u)) {
    Send(kHelloReply, "{\"ok\":false,\"error\":\"format\"}");
    return false;
  }
  device_name_ = CleanPhoneText(*name);
  fps_ = *fps;
  if (!Accept()) return false;

  {
    std::lock_guard status(server_.status_mutex_);
    server_.phone_.phone_name = device_name_;
    server_.phone_.link_kind = connection_->wired ? "wired" : "wifi";
    server_.phone_.battery = -1.0;
    server_.phone_.thermal_state.clear();
    server_.phone_.phone_model.clear();
  }
  server_.session_state_ = 1;
  LogLine("[net] %s session with \"%s\" (%s)\n", connection_->wired ? "wired" : "streaming",
          device_name_.c_str(), connection_->peer.c_str());
  const int32_t initialized = decoder_.Initialize();
  decoder_ok_ = initialized >= 0;
  if (!decoder_ok_) LogLine("[decoder] initialization failed 0x%08X\n", initialized);
  on_picture_ = [this](const uint8_t* luma, const uint8_t* chroma, int stride, int width,
                       int height) { OnPicture(luma, chroma, stride, width, height); };
  return true;
}

// The one-phone rule, under the server lock.
bool StreamSession::Accept() {
  std::lock_guard lock(server_.mutex_);
  const std::shared_ptr<Connection>& active = server_.active_session_;
  bool busy = false;
  if (active && active->fingerprint == connection_->fingerprint) {
    if (!connection_->wired && active->wired) {
      busy = true;  // the cable wins
    } else {
      if (connection_->wired && !active->wired) {
        active->handed_to_cable = true;
        LogLine("[usb] wired session replaces the Wi-Fi session\n");
      } else {
        LogLine("[net] the phone reconnected; its old session is closed\n");
      }
      active->Shutdown();
    }
  } else if (active) {
    busy = true;
  }
  if (busy) {
    {
      std::lock_guard status(server_.status_mutex_);
      server_.phone_.refused_phone = device_name_;
      server_.phone_.refused_at = Now();
    }
    LogLine("[net] \"%s\" refused: another phone is streaming\n", device_name_.c_str());
    Send(kHelloReply, "{\"ok\":false,\"error\":\"busy\"}");
    return false;
  }
  server_.active_session_ = connection_;
  Send(kHelloReply, "{\"ok\":true,\"receiver_name\":" + JsonQuote(server_.context_.receiver_name) +
                        ",\"allowed\":" + (server_.camera_allowed_ ? "true" : "false") +
                        ",\"video\":{\"codec\":\"h264\",\"width\":1280,\"height\":720,\"fps\":" +
                        std::to_string(fps_) +
                        "},\"proto\":1,\"features\":[\"wired\",\"monitor\",\"files\"]}");
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
      OnScanMessage(frame);
      return Next::kContinue;
    default:
      return Next::kContinue;
  }
}

StreamSession::Next StreamSession::OnVideo(const Bytes& payload) {
  const uint64_t now = Now();
  if (now - rate_window_start_ < kRateWindowMs) {
    ++rate_count_;
    rate_bits_ += 8ull * payload.size();
  } else {
    rate_window_start_ = now;
    rate_count_ = 1;
    rate_bits_ = 8ull * payload.size();
  }
  if (rate_count_ > kRateMaxMessages || rate_bits_ > kRateMaxBits) {
    LogLine("[net] video rate limit exceeded, closing\n");
    return Next::kClose;
  }
  if (payload.size() < 14) return Next::kClose;
  ++server_.video_received_;
  const uint32_t epoch = ReadBe32(payload.data());
  const uint64_t timestamp = ReadBe64(payload.data() + 4);
  if (timestamp >= kMaxTimestamp) {
    LogLine("[net] VIDEO with an impossible timestamp, closing\n");
    return Next::kClose;
  }
  const bool keyframe_flag = payload[12] & 1;
  const uint8_t* data = payload.data() + kVideoHeader;
  const size_t size = payload.size() - kVideoHeader;
  if (!server_.camera_allowed_ ||
      connection_->acknowledged_allow.load() != connection_->awaited_allow.load() || !ready_ ||
      epoch != epoch_ || connection_->closing || !decoder_ok_) {
    ++server_.video_dropped_;
    return Next::kContinue;
  }
  const bool keyframe = IsKeyframeAccessUnit(data, size, keyframe_flag);
  if (!synced_) {
    if (!keyframe) {
      ++server_.video_dropped_;
      RequestKeyframe();
      return Next::kContinue;
    }
    synced_ = true;
  }
  const int32_t decoded =
      decoder_.Decode(data, size, static_cast<int64_t>(timestamp) * 10, on_picture_);
  if (decoded < 0) {
    LogLine("[decoder] decode failed 0x%08X, waiting for next keyframe\n", decoded);
    decoder_.Flush();
    synced_ = false;
    RequestKeyframe();
  }
  return Next::kContinue;
}

void StreamSession::OnPicture(const uint8_t* luma, const uint8_t* chroma, int stride, int width,
                              int height) {
  ++server_.frames_decoded_;
  std::lock_guard lock(server_.mutex_);
  if (!server_.camera_allowed_ || !ready_ || server_.active_session_ != connection_ ||
      connection_->closing) {
    return;
  }
  FrameWriter* writer = server_.context_.frame_writer;
  if (writer && writer->WriteFrame(luma, chroma, stride, width, height)) ++server_.frames_delivered_;
  std::lock_guard preview_lock(server_.preview_mutex_);
  PreviewFrame& preview = server_.preview_;
  const size_t w = static_cast<size_t>(width);
  const size_t h = static_cast<size_t>(height);
  preview.pixels.resize(w * h * 3 / 2);
  for (size_t row = 0; row < h; ++row) {
    std::memcpy(preview.pixels.data() + row * w, luma + row * stride, w);
  }
  uint8_t* preview_chroma = preview.pixels.data() + w * h;
  for (size_t row = 0; row < h / 2; ++row) {
    std::memcpy(preview_chroma + row * w, chroma + row * stride, w);
  }
  preview.width = static_cast<uint32_t>(width);
  preview.height = static_cast<uint32_t>(height);
  ++preview.sequence;
  preview.tick = Now();
}

StreamSession::Next StreamSession::OnStatus(const Bytes& payload) {
  JsonParseResult status = JsonParse(AsText(payload));
  if (!status.ok) return Next::kContinue;
  auto battery = JsonGetNumber(status.value, "battery");
  auto thermal = JsonGetString(status.value, "thermal");
  auto model = JsonGetString(status.value, "model");
  std::lock_guard lock(server_.status_mutex_);
  if (battery && *battery >= 0.0 && *battery <= 1.0) server_.phone_.battery = *battery;
  if (thermal && thermal->size() <= 32) server_.phone_.thermal_state = CleanPhoneText(*thermal);
  if (model && model->size() <= 64) server_.phone_.phone_model = CleanPhoneText(*model);
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
    // A replaced session must leave the picture of the one that replaced it.
    std::lock_guard lock(server_.mutex_);
    if (server_.active_session_ == connection_) server_.ClearPictureLocked();
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
  if (*mode != "webcam" && *mode != "monitor") {
    LogLine("[net] unknown mode \"%s\" ignored\n", CleanPhoneText(*mode).c_str());
  }
  return Next::kContinue;
}

// Scans are accepted only from the active session; until scan delivery exists
// every transfer is answered as not active, so the phone never waits for one.
void StreamSession::OnScanMessage(const Frame& frame) {
  if (frame.type != kFileBegin) return;
  JsonParseResult begin = JsonParse(AsText(frame.payload));
  auto id = begin.ok ? JsonGetString(begin.value, "id") : std::nullopt;
  if (!id) return;
  Send(kFileResult, "{\"id\":" + JsonQuote(*id) + ",\"ok\":false,\"error\":\"not_active\"}");
}

void StreamSession::StartEpoch(uint32_t epoch) {
  epoch_ = epoch;
  synced_ = false;
  decoder_.Flush();
}

// At most one request a second; the first of a session always goes out.
void StreamSession::RequestKeyframe() {
  const uint64_t now = Now();
  if (keyframe_requested_ && now - last_keyframe_request_ < kKeyframeRequestMs) return;
  keyframe_requested_ = true;
  last_keyframe_request_ = now;
  Send(kCommand, "{\"cmd\":\"request_keyframe\"}");
}

void StreamSession::Close() {
  bool was_active = false;
  {
    std::lock_guard lock(server_.mutex_);
    if (server_.active_session_ == connection_) {
      was_active = true;
      server_.ClearPictureLocked();
      server_.active_session_.reset();
      server_.session_state_ = 0;
    }
  }
  const char* ending = was_active                  ? "disconnected"
                       : connection_->handed_to_cable ? "handed over to the cable"
                                                       : "replaced by a new session";
  LogLine("[net] \"%s\" %s\n", device_name_.c_str(), ending);
}

void Server::SetCameraAllowed(bool allowed) {
  std::shared_ptr<Connection> active;
  uint32_t sequence = 0;
  {
    std::lock_guard lock(mutex_);
    active = active_session_;
    // The awaited ALLOW is in place before the gate opens, so no picture of
    // the old epoch slips through in between.
    if (active) {
      sequence = ++sequence_;
      if (allowed) active->awaited_allow = sequence;
    }
    camera_allowed_ = allowed;
    if (!allowed) ClearPictureLocked();
  }
  if (active) {
    (void)SendFrame(*active->channel, allowed ? kAllow : kBlock,
                    "{\"seq\":" + std::to_string(sequence) + "}");
  }
  LogLine("[gate] camera %s\n", allowed ? "allowed" : "blocked");
}

}  // namespace vistrel
