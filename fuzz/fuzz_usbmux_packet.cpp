// Packets from an untrusted usbmux service, read and taken apart as the USB
// watcher does: the header checks, then the values it looks up.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "link/usbmux_protocol.h"
#include "security/phone_text.h"

namespace {

using vistrel::ReadResult;

class InputReader final : public vistrel::ByteReader {
 public:
  explicit InputReader(std::span<const uint8_t> data) : data_(data) {}
  ReadResult ReadExact(uint8_t* buffer, size_t n, uint64_t) override {
    if (data_.size() < n) return ReadResult::kFailed;
    std::memcpy(buffer, data_.data(), n);
    data_ = data_.subspan(n);
    return ReadResult::kOk;
  }

 private:
  std::span<const uint8_t> data_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader reader(std::span(data, size));
  std::string payload;
  uint32_t tag = 0;
  for (int i = 0; i < 64 && vistrel::ReadUsbmuxPacket(reader, UINT64_MAX, payload, &tag); ++i) {
    if (payload.size() >= vistrel::kUsbmuxPayloadLimit) __builtin_trap();
    for (const char* key : {"MessageType", "Number", "ConnectionType"}) {
      if (vistrel::PlistValue(payload, key).size() > payload.size()) __builtin_trap();
    }
    (void)vistrel::AtoiLike(vistrel::PlistValue(payload, "DeviceID"));
    const std::string serial =
        vistrel::CleanPhoneText(vistrel::PlistValue(payload, "SerialNumber"));
    if (serial.size() > vistrel::kMaxPhoneTextBytes) __builtin_trap();
  }
  return 0;
}
