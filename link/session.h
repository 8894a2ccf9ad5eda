// The streaming session of a trusted phone: HELLO and the one-phone rule, then
// the message loop with keep-alive, status, state, the camera gate's ALLOW/ACK
// handshake, the video path (gate, rate limit, keyframe sync, decoder) and the
// hand-off of scan messages to the connection's ScanReceiver.
//
// One StreamSession runs on its connection's worker thread from HELLO to the
// end of the connection; its variables, the decoder and its picture callback
// and the ScanReceiver are touched only there. Everything it changes outside
// itself goes through the ActiveSession record, the monitor and the ScanContext.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "link/active_session.h"
#include "link/connection.h"
#include "link/framing.h"
#include "platform/clock.h"
#include "scan/scan_receiver.h"
#include "video/h264_decoder.h"

namespace vistrel {

// What a session reaches outside itself; owned by the server, outlives it.
struct SessionContext {
  ActiveSession& active;
  const std::string& receiver_name;
  const Clock& clock;
  SessionMonitor* monitor = nullptr;  // null: no monitoring
  ScanContext* scan = nullptr;        // null: scans are refused as not active
};

class StreamSession {
 public:
  StreamSession(const SessionContext& context, std::shared_ptr<Connection> connection);
  StreamSession(const StreamSession&) = delete;
  StreamSession& operator=(const StreamSession&) = delete;

  // The whole session; returns when the connection has ended.
  void Run();

 private:
  enum class Next { kContinue, kClose };

  bool Open();
  Next Dispatch(const Frame& frame);
  Next OnVideo(const Bytes& payload);
  Next OnStatus(const Bytes& payload);
  Next OnState(const Bytes& payload);
  Next OnAck(const Bytes& payload);
  Next OnMode(const Bytes& payload);
  Next OnScanMessage(const Frame& frame);
  bool PassesRateLimit(size_t payload_size);
  void StartEpoch(uint32_t epoch);
  void RequestKeyframe();
  void OnPicture(const DecodedPicture& picture);
  void Close();
  SessionKey key() const { return connection_.get(); }
  uint64_t Now() const { return context_.clock.NowMs(); }
  void Send(uint8_t type, std::string_view payload) { (void)SendFrame(channel_, type, payload); }

  const SessionContext context_;
  std::shared_ptr<Connection> connection_;
  Channel& channel_;
  std::string device_name_;  // cleaned for logs and the tray
  uint32_t fps_ = 0;
  uint32_t epoch_ = 0;
  bool ready_ = false;
  bool synced_ = false;
  H264Decoder decoder_;
  std::optional<ScanReceiver> scan_;  // from acceptance to the closing
  bool decoder_ok_ = false;
  FrameCallback on_picture_;
  bool keyframe_requested_ = false;
  uint64_t last_keyframe_request_ = 0;
  uint64_t last_message_ = 0;
  uint64_t rate_window_start_ = 0;
  uint32_t rate_count_ = 0;
  uint64_t rate_bits_ = 0;
};

}  // namespace vistrel
