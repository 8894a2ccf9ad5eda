#include "tests/e2e/e2e_support.h"

#include <future>

#include "platform/files.h"
#include "tools/phone/webcam.h"

namespace vistrel::test {

bool PairAndApprove(ReceiverProcess& receiver, phone::Phone& device,
                    const std::string& device_name) {
  auto url = phone::ParsePairingUrl(receiver.OpenPairing());
  if (!url) return false;
  auto link = device.Connect("127.0.0.1", receiver.port());
  if (!link) return false;
  phone::PairRequest request;
  request.device_name = device_name;
  auto outcome = std::async(
      std::launch::async, [&] { return phone::Pair(*link, *url, device.fingerprint(), request); });
  if (receiver.WaitForLog("\"" + device_name + "\" wants to pair.")) receiver.Send("a");
  return outcome.get().paired;
}

std::optional<PairingPhone> StartPairingFromHook(const ReceiverProcess& receiver,
                                                 const std::string& device_name) {
  const auto text = ReadFileText(receiver.root() / "run" / "vistrel" / "vstl_pair_url.txt");
  auto url = phone::ParsePairingUrl(text.value_or(""));
  if (!url) return std::nullopt;
  PairingPhone pairing;
  pairing.device = phone::Phone::Create(receiver.root() / "phone");
  if (!pairing.device) return std::nullopt;
  pairing.link = pairing.device->Connect("127.0.0.1", receiver.port());
  if (!pairing.link) return std::nullopt;
  phone::PairRequest request;
  request.device_name = device_name;
  pairing.outcome = std::async(
      std::launch::async,
      [link = pairing.link.get(), url = *url, fingerprint = pairing.device->fingerprint(),
       request] { return phone::Pair(*link, url, fingerprint, request); });
  return pairing;
}

bool PairAndStreamWebcam(ReceiverProcess& receiver, double seconds) {
  auto device = phone::Phone::Create(receiver.root() / "phone");
  if (!device || !PairAndApprove(receiver, *device, "Cam")) return false;
  auto link = device->Connect("127.0.0.1", receiver.port());
  if (!link) return false;
  phone::WebcamOptions options;
  options.device_name = "Cam";
  options.seconds = seconds;
  const bool accepted = phone::RunWebcam(*link, options).accepted;
  link->Drop();
  return accepted;
}

}  // namespace vistrel::test
