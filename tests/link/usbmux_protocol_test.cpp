// The usbmux wire format: the exact bytes of the two requests, the header
// checks, the property-list rule, the service address and the backoff.
#include "link/usbmux_protocol.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vistrel {
namespace {

// Hands out a fixed byte string, then fails.
class BytesReader final : public ByteReader {
 public:
  explicit BytesReader(std::string bytes) : bytes_(std::move(bytes)) {}
  ReadResult ReadExact(uint8_t* buffer, size_t n, uint64_t) override {
    if (bytes_.size() - at_ < n) return ReadResult::kFailed;
    std::memcpy(buffer, bytes_.data() + at_, n);
    at_ += n;
    return ReadResult::kOk;
  }

 private:
  std::string bytes_;
  size_t at_ = 0;
};

std::string Header(uint32_t length, uint32_t type) {
  std::string header;
  for (uint32_t field : {length, 1u, type, 7u}) {
    for (int i = 0; i < 4; ++i) header += static_cast<char>(field >> (8 * i));
  }
  return header;
}

TEST(UsbmuxProtocol, RequestsAreTheExactBytes) {
  EXPECT_EQ(kUsbmuxPlistHeader.size(), 169u);
  EXPECT_EQ(UsbmuxWirePort(47801), 47546);
  EXPECT_EQ(UsbmuxConnectBody(3, 47801),
            "<key>MessageType</key><string>Connect</string><key>DeviceID</key><integer>3"
            "</integer><key>PortNumber</key><integer>47546</integer>");

  const std::string packet = UsbmuxPacket(0x01020304, UsbmuxListenBody());
  const std::string payload = std::string(kUsbmuxPlistHeader) +
                              "<key>MessageType</key><string>Listen</string>" +
                              std::string(kUsbmuxPlistTrailer);
  ASSERT_EQ(packet.size(), 16 + payload.size());
  EXPECT_EQ(packet.substr(0, 16), Header(static_cast<uint32_t>(packet.size()), 8).substr(0, 12) +
                                      std::string("\x04\x03\x02\x01", 4));
  EXPECT_EQ(packet.substr(16), payload);
  EXPECT_EQ(packet.substr(16, 39), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  EXPECT_EQ(packet.substr(packet.size() - 16), "</dict></plist>\n");
}

TEST(UsbmuxProtocol, PacketsOutsideTheLimitsAreRefused) {
  const std::string body = "<key>Number</key><integer>0</integer>";
  std::string payload;
  uint32_t tag = 0;
  BytesReader good(Header(16 + body.size(), 8) + body);
  ASSERT_TRUE(ReadUsbmuxPacket(good, 0, payload, &tag));
  EXPECT_EQ(payload, body);
  EXPECT_EQ(tag, 7u);
  BytesReader empty(Header(16, 8));
  EXPECT_TRUE(ReadUsbmuxPacket(empty, 0, payload));
  EXPECT_EQ(payload, "");

  for (const std::string& bad : {
           Header(15, 8),                                 // shorter than its header
           Header(16 + 1048561, 8),                       // payload of 0xFFFF1 bytes
           Header(UINT32_MAX, 8),                         // and far beyond
           Header(16 + body.size(), 1) + body,            // not a property list
           Header(16 + body.size(), 8) + body.substr(1),  // the stream ends inside
           Header(20, 8).substr(0, 9),                    // ... or inside the header
       }) {
    BytesReader reader(bad);
    EXPECT_FALSE(ReadUsbmuxPacket(reader, 0, payload)) << bad.size();
    EXPECT_EQ(payload, "");
  }
  // The largest payload allowed is still read.
  uint8_t header[16];
  std::memcpy(header, Header(16 + 1048560, 8).data(), 16);
  EXPECT_EQ(UsbmuxPayloadLength(header), 1048560);
}

TEST(UsbmuxProtocol, PlistValueFindsTheFirstKeyAnywhere) {
  const std::string attached =
      "<dict><key>DeviceID</key><integer>12</integer><key>MessageType</key><string>Attached"
      "</string><key>Properties</key><dict><key>ConnectionType</key><string>USB</string>"
      "<key>SerialNumber</key><string>00008110-ABC</string></dict></dict>";
  EXPECT_EQ(PlistValue(attached, "MessageType"), "Attached");
  EXPECT_EQ(PlistValue(attached, "DeviceID"), "12");
  EXPECT_EQ(PlistValue(attached, "SerialNumber"), "00008110-ABC");  // in the nested dict
  EXPECT_EQ(PlistValue(attached, "ConnectionType"), "USB");
  EXPECT_EQ(PlistValue(attached, "Properties"),  // the inside of the nested dict
            "<key>ConnectionType</key><string>USB</string><key>SerialNumber</key><string>"
            "00008110-ABC</string>");
  EXPECT_EQ(PlistValue(attached, "Number"), "");
  EXPECT_EQ(PlistValue("<key>Number</key>", "Number"), "");                     // no element
  EXPECT_EQ(PlistValue("<key>Number</key><integer", "Number"), "");             // unterminated tag
  EXPECT_EQ(PlistValue("<key>Number</key><integer>0", "Number"), "");           // no closing tag
  EXPECT_EQ(PlistValue("<key>Number</key><integer>0</string>", "Number"), "");  // another one
  EXPECT_EQ(PlistValue("<key>Ok</key><true/>", "Ok"), "");
  EXPECT_EQ(PlistValue("<key>Number</key><integer></integer>", "Number"), "");
  // The rule is textual: a key written inside a string counts where it stands.
  EXPECT_EQ(PlistValue("<string><key>Number</key><integer>0</integer></string>"
                       "<key>Number</key><integer>3</integer>",
                       "Number"),
            "0");
  EXPECT_EQ(PlistValue("<key>Num</key><integer>1</integer>", "Number"), "");
}

TEST(UsbmuxProtocol, ServiceAddressFromTheEnvironment) {
  EXPECT_EQ(UsbmuxServiceFrom(nullptr).Describe(), "/var/run/usbmuxd");
  EXPECT_EQ(UsbmuxServiceFrom("").Describe(), "/var/run/usbmuxd");
  EXPECT_EQ(UsbmuxServiceFrom("no-colon").Describe(), "/var/run/usbmuxd");
  EXPECT_EQ(UsbmuxServiceFrom("/run/other/usbmuxd").path, "/run/other/usbmuxd");

  const UsbmuxService tcp = UsbmuxServiceFrom("127.0.0.1:27016");
  EXPECT_FALSE(tcp.unix_socket());
  EXPECT_EQ(tcp.host, "127.0.0.1");
  EXPECT_EQ(tcp.port, 27016);
  EXPECT_EQ(UsbmuxServiceFrom("a:b:70000").Describe(), "a:b:4464");  // last colon; 16 bits
  EXPECT_EQ(UsbmuxServiceFrom("h: 12x").port, 12);                   // atoi rules
  EXPECT_EQ(UsbmuxServiceFrom("h:").port, 0);

  const std::string long63 = "127.0.0.1:" + std::string(53, '1');
  EXPECT_FALSE(UsbmuxServiceFrom(long63.c_str()).unix_socket());
  const std::string long64 = "127.0.0.1:" + std::string(54, '1');
  EXPECT_TRUE(UsbmuxServiceFrom(long64.c_str()).unix_socket());  // 64 or more: ignored
}

TEST(UsbmuxProtocol, TunnelBackoffDoublesAndRestartsAfterALongOne) {
  std::vector<uint64_t> waits;
  uint64_t backoff = kFirstTunnelBackoffMs;
  for (int i = 0; i < 8; ++i) waits.push_back(backoff = NextTunnelBackoffMs(backoff, 1000));
  EXPECT_EQ(waits, (std::vector<uint64_t>{1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000}));
  EXPECT_EQ(NextTunnelBackoffMs(30000, 4999), 30000u);
  EXPECT_EQ(NextTunnelBackoffMs(30000, 5000), 1000u);
  EXPECT_EQ(NextTunnelBackoffMs(kFirstTunnelBackoffMs, 60000), 1000u);
}

}  // namespace
}  // namespace vistrel
