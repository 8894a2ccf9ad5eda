#include "link/enroll.h"

#include "link/framing.h"
#include "link/json.h"
#include "link/timing.h"
#include "platform/log.h"
#include "platform/socket.h"
#include "security/phone_text.h"

namespace vistrel {
namespace {

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
                  JsonObject().Bool("ok", false).String("error", reason).Text());
}

}  // namespace

void Enroll(const EnrollContext& context, Connection& connection) {
  Channel& channel = *connection.channel;
  const char* peer = connection.peer.c_str();

  const Clock& clock = context.clock;
  Frame frame =
      ReadFrame(channel, clock.NowMs() + kFirstByteMs, FrameContext::kFirst, clock);
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

  const std::string name = CleanPhoneText(*device_name);
  const SubmitOutcome submitted =
      context.pairing.Submit(*secret, connection.certificate_digest, *device_name);
  if (submitted.result != SubmitResult::kOk) {
    const char* reason = RefusalReason(submitted.result);
    LogLine("[pair] %s: pairing refused (%s)\n", peer, reason);
    SendFailure(channel, reason);
    return;
  }
  (void)SendFrame(channel, kPairCode, JsonObject().String("code", submitted.code).Text());
  LogLine("\n[pair] \"%s\" wants to pair. Confirm the phone shows code %s, then type 'a' to "
          "approve or 'r' to reject.\n",
          name.c_str(), submitted.code.c_str());

  // The phone must stay silent while it waits: data, end of stream or an error
  // all count as leaving, and once it left it stays gone.
  bool left = false;
  auto phone_left = [&] {
    if (!left) left = channel.HasBufferedInput() || PollReadable(connection.socket.Get(), 0).value_or(true);
    return left;
  };
  Decision decision =
      context.pairing.WaitForDecision(submitted.invitation, clock.NowMs() + kApprovalMs, phone_left);
  if (left) {
    LogLine("[pair] the phone left before approval; request withdrawn\n");
    return;
  }
  if (decision == Decision::kApproved) {
    if (context.trust.Add({connection.fingerprint, *device_id, *device_name})) {
      (void)SendFrame(channel, kPairResult,
                      JsonObject()
                          .Bool("ok", true)
                          .String("receiver_id", context.receiver_id)
                          .String("receiver_name", context.receiver_name)
                          .Text());
      LogLine("[pair] paired with \"%s\" (%.12s...)\n", name.c_str(),
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
