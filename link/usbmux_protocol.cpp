#include "link/usbmux_protocol.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vistrel {
namespace {

void PutLe32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint32_t GetLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

constexpr size_t kMaxEnvironmentValue = 64;
constexpr uint64_t kLongTunnelMs = 5000;
constexpr uint64_t kBackoffAfterLongTunnelMs = 1000;
constexpr uint64_t kMaxBackoffMs = 30000;

}  // namespace

const std::string_view kUsbmuxPlistHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\"><dict>";

const std::string_view kUsbmuxPlistTrailer =
    "<key>ClientVersionString</key><string>Orlith Cam</string><key>ProgName</key><string>Orlith "
    "Cam</string><key>kLibUSBMuxVersion</key><integer>3</integer></dict></plist>\n";

std::string UsbmuxListenBody() {
  return "<key>MessageType</key><string>Listen</string>";
}

std::string UsbmuxConnectBody(int device_id, uint16_t phone_port) {
  return "<key>MessageType</key><string>Connect</string><key>DeviceID</key><integer>" +
         std::to_string(device_id) + "</integer><key>PortNumber</key><integer>" +
         std::to_string(UsbmuxWirePort(phone_port)) + "</integer>";
}

uint16_t UsbmuxWirePort(uint16_t port) {
  return static_cast<uint16_t>((port >> 8) | (port << 8));
}

std::string UsbmuxPacket(uint32_t tag, std::string_view body) {
  const size_t payload = kUsbmuxPlistHeader.size() + body.size() + kUsbmuxPlistTrailer.size();
  std::string packet;
  packet.reserve(kUsbmuxHeaderSize + payload);
  PutLe32(packet, static_cast<uint32_t>(kUsbmuxHeaderSize + payload));
  PutLe32(packet, 1);
  PutLe32(packet, kUsbmuxPlistMessage);
  PutLe32(packet, tag);
  packet += kUsbmuxPlistHeader;
  packet += body;
  packet += kUsbmuxPlistTrailer;
  return packet;
}

int64_t UsbmuxPayloadLength(const uint8_t (&header)[kUsbmuxHeaderSize]) {
  const uint32_t length = GetLe32(header);
  if (length < kUsbmuxHeaderSize) return -1;
  if (length - kUsbmuxHeaderSize >= kUsbmuxPayloadLimit) return -1;
  if (GetLe32(header + 8) != kUsbmuxPlistMessage) return -1;
  return length - kUsbmuxHeaderSize;
}

bool ReadUsbmuxPacket(ByteReader& reader, uint64_t deadline_ms, std::string& payload,
                      uint32_t* tag) {
  payload.clear();
  uint8_t header[kUsbmuxHeaderSize];
  if (reader.ReadExact(header, sizeof header, deadline_ms) != ReadResult::kOk) return false;
  const int64_t length = UsbmuxPayloadLength(header);
  if (length < 0) return false;
  if (tag) *tag = GetLe32(header + 12);
  payload.resize(static_cast<size_t>(length));
  if (length > 0 && reader.ReadExact(reinterpret_cast<uint8_t*>(payload.data()), payload.size(),
                                     deadline_ms) != ReadResult::kOk) {
    payload.clear();
    return false;
  }
  return true;
}

std::string PlistValue(std::string_view xml, std::string_view key) {
  const std::string key_element = "<key>" + std::string(key) + "</key>";
  const size_t key_at = xml.find(key_element);
  if (key_at == std::string_view::npos) return {};
  const size_t open = xml.find('<', key_at + key_element.size());
  if (open == std::string_view::npos) return {};
  const size_t name_end = xml.find('>', open + 1);
  if (name_end == std::string_view::npos) return {};
  const std::string close = "</" + std::string(xml.substr(open + 1, name_end - open - 1)) + ">";
  const size_t value_end = xml.find(close, name_end + 1);
  if (value_end == std::string_view::npos) return {};
  return std::string(xml.substr(name_end + 1, value_end - name_end - 1));
}

int AtoiLike(std::string_view text) {
  // glibc's atoi is (int)strtol; the conversion cuts to 32 bits.
  return static_cast<int>(std::strtol(std::string(text).c_str(), nullptr, 10));
}

std::string UsbmuxService::Describe() const {
  return unix_socket() ? path : host + ":" + std::to_string(port);
}

UsbmuxService UsbmuxServiceFrom(const char* environment_value) {
  UsbmuxService service;
  if (!environment_value) return service;
  const std::string_view value(environment_value, strnlen(environment_value, kMaxEnvironmentValue));
  if (value.empty() || value.size() >= kMaxEnvironmentValue) return service;
  if (value.front() == '/') {
    service.path = std::string(value);
    return service;
  }
  const size_t colon = value.rfind(':');
  if (colon == std::string_view::npos) return service;
  service.host = std::string(value.substr(0, colon));
  service.port = static_cast<uint16_t>(AtoiLike(value.substr(colon + 1)));
  return service;
}

uint64_t NextTunnelBackoffMs(uint64_t backoff_ms, uint64_t lasted_ms) {
  if (lasted_ms >= kLongTunnelMs) return kBackoffAfterLongTunnelMs;
  return std::min(backoff_ms * 2, kMaxBackoffMs);
}

}  // namespace vistrel
