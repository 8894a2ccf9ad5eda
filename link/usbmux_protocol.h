// The usbmux protocol as the USB watcher speaks it: 16-byte little-endian
// headers with XML property-list payloads, the two requests it sends, the one
// rule by which it reads a value out of a reply, and where the service is.
// Everything read here comes from another process and is checked, never trusted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "link/tls_channel.h"

namespace vistrel {

inline constexpr size_t kUsbmuxHeaderSize = 16;
// A payload must be shorter than this (0xFFFF1).
inline constexpr uint32_t kUsbmuxPayloadLimit = 1048561;
inline constexpr uint32_t kUsbmuxPlistMessage = 8;

// The XML declaration, the DOCTYPE of Apple's property-list DTD, and the
// opening plist and dict elements: 169 bytes.
extern const std::string_view kUsbmuxPlistHeader;
extern const std::string_view kUsbmuxPlistTrailer;

std::string UsbmuxListenBody();
std::string UsbmuxConnectBody(int device_id, uint16_t phone_port);
// The port as usbmuxd reads it: network byte order taken as a little-endian
// 16-bit number (47801 goes out as 47546).
uint16_t UsbmuxWirePort(uint16_t port);
// Header, plist header text, `body`, trailer: one packet ready to send.
std::string UsbmuxPacket(uint32_t tag, std::string_view body);

// The payload length of a header that may be accepted, or -1: the length must
// be at least 16, the payload below the limit, the message type 8.
int64_t UsbmuxPayloadLength(const uint8_t (&header)[kUsbmuxHeaderSize]);
// One whole packet: header, then exactly its payload, before `deadline_ms`
// (UINT64_MAX: no limit). False for a time-out, a short read or a packet
// that is not accepted.
[[nodiscard]] bool ReadUsbmuxPacket(ByteReader& reader, uint64_t deadline_ms, std::string& payload,
                                    uint32_t* tag = nullptr);

// The text of the element after the first "<key>KEY</key>" anywhere in `xml`
// (nested dicts included), up to its closing tag; empty when anything is missing.
std::string PlistValue(std::string_view xml, std::string_view key);

// C library atoi: leading blanks, a sign, digits up to the first other character.
int AtoiLike(std::string_view text);

// Where the usbmux service listens: a Unix socket path, or an IPv4 host and port.
struct UsbmuxService {
  std::string path = "/var/run/usbmuxd";
  std::string host;
  uint16_t port = 0;
  bool unix_socket() const { return host.empty(); }
  // For the log: the path, or host:port.
  std::string Describe() const;
};

// The service named by "VSTL_USBMUXD" (null when unset): a value of 64
// characters or more, empty, or with neither a leading "/" nor a ":" is
// ignored; "/..." is a socket path; otherwise host before the last ":" and
// the port after it (atoi, cut to 16 bits).
UsbmuxService UsbmuxServiceFrom(const char* environment_value);

inline constexpr uint64_t kFirstTunnelBackoffMs = 500;
// The wait after a tunnel that lasted `lasted_ms`: 1000 ms after one of 5 s or
// more, otherwise double the last one, at most 30000 ms.
uint64_t NextTunnelBackoffMs(uint64_t backoff_ms, uint64_t lasted_ms);

}  // namespace vistrel
