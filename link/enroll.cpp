// The pairing exchange on one network connection: PAIR in, the code out, the
// user's decision, and the phone added to the trusted phones on approval.
#include "link/framing.h"
#include "link/json.h"
#include "link/server.h"
#include "platform/log.h"
#include "platform/socket.h"

namespace vistrel {
namespace {

constexpr uint64_t kFirstByteMs = 5000;
constexpr uint64_t kApprovalMs = 60000;

const char* RefusalReason(SubmitResult result) {
  switch (result) {
    case SubmitResult::kExpired:
      return "expired";
    case SubmitResult::kAlreadyPending:
      return "used";
    default:
      return "bad_secret";
  }
}

void SendFailure(Channel& channel, const char* reason) {
  (void)SendFrame(channel, kPairResult,
                  std::string("{\"ok\":false,\"error\":\"") + reason + "\"}");
}

// Counts this worker in the enrolments for as long as it lives.
class EnrolmentCount {
 public:
  explicit EnrolmentCount(std::atomic<uint32_t>& count) : count_(count) { ++count_; }
  ~EnrolmentCount() { --count_; }
  EnrolmentCount(const EnrolmentCount&) = delete;
  EnrolmentCount& operator=(const EnrolmentCount&) = delete;

 private:
  std::atomic<uint32_t>& count_;
};

}  // namespace

void Server::Enroll(Connection& connection) {
  EnrolmentCount counted(enrolments_);
  Channel& channel = *connection.channel;
  const char* peer = connection.peer.c_str();

  Frame frame = ReadFrame(channel, Now() + kFirstByteMs, FrameContext::kFirst, *context_.clock);
  if (frame.result != ReadResult::kOk || frame.type != kPair) {
    LogLine("[pair] %s: no PAIR message, closing\n", peer);
    return;
  }
  JsonParseResult parsed = JsonParse(AsText(frame.payload));
  auto secret = parsed.ok ? JsonGetString(parsed.value, "secret") : std::nullopt;
  auto device_id = parsed.ok ? JsonGetString(parsed.value, "device_id") : std::nullopt;
  auto device_name = parsed.ok ? JsonGetString(parsed.value, "device_name") : std::nullopt;
  auto proto = parsed.ok ? JsonGetUint32(parsed.value, "proto") : std::nullopt;
  if (!secret || !device_id || !device_name || proto != 1u) {
    LogLine("[pair] %s: malformed PAIR, closing\n", peer);
    return;
  }

  std::string code;
  SubmitResult submitted =
      context_.pairing->Submit(*secret, connection.certificate_digest, *device_name, code);
  if (submitted != SubmitResult::kOk) {
    const char* reason = RefusalReason(submitted);
    LogLine("[pair] %s: pairing refused (%s)\n", peer, reason);
    SendFailure(channel, reason);
    return;
  }
  (void)SendFrame(channel, kPairCode, "{\"code\":\"" + code + "\"}");
  LogLine("\n[pair] \"%s\" wants to pair. Confirm the phone shows code %s, then type 'a' to "
          "approve or 'r' to reject.\n",
          device_name->c_str(), code.c_str());

  // The phone must stay silent while it waits: data, end of stream or an error
  // all count as leaving, and once it left it stays gone.
  bool left = false;
  auto phone_left = [&] {
    if (!left) left = channel.HasBufferedInput() || PollReadable(connection.socket.Get(), 0) != 0;
    return left;
  };
  Decision decision = context_.pairing->WaitForDecision(Now() + kApprovalMs, phone_left);
  if (left) {
    LogLine("[pair] the phone left before approval; request withdrawn\n");
    return;
  }
  if (decision == Decision::kApproved) {
    if (context_.trust->Add({connection.fingerprint, *device_id, *device_name})) {
      (void)SendFrame(channel, kPairResult,
                      "{\"ok\":true,\"receiver_id\":" + JsonQuote(context_.receiver_id) +
                          ",\"receiver_name\":" + JsonQuote(context_.receiver_name) + "}");
      LogLine("[pair] paired with \"%s\" (%.12s...)\n", device_name->c_str(),
              connection.fingerprint.c_str());
    } else {
      SendFailure(channel, "storage");
      LogLine("[pair] approved, but the phone list could not be saved; pairing failed\n");
    }
    return;
  }
  const char* reason = decision == Decision::kRejected ? "rejected" : "timeout";
  SendFailure(channel, reason);
  LogLine("[pair] pairing %s\n", reason);
}

}  // namespace vistrel
