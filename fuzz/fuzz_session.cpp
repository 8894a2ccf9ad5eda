// The streaming session fed with hostile bytes: either the raw stream from the
// first byte on (HELLO handling), or a valid HELLO followed by raw frames.
#include <cstddef>
#include <cstdint>

#include "link/server.h"
#include "tests/link/fake_channel.h"
#include "tests/support/temp_folder.h"

using namespace vistrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static test::TempFolder folder;
  static TrustStore trust(folder / "trusted_phones.tsv");
  ManualClock clock;
  PairingState pairing(clock);
  ServerContext context;
  context.receiver_name = "Fuzz";
  context.trust = &trust;
  context.pairing = &pairing;
  context.clock = &clock;
  Server server(std::move(context));

  test::FakeConnection phone(clock, std::string(64, 'a'), data[0] & 1);
  if (data[0] & 2) {
    phone.channel->Queue(kHello, R"({"proto":1,"device_name":"F","video":{"codec":"h264","width":1280,"height":720,"fps":30}})");
  }
  if (data[0] & 4) phone.channel->SetIdleTimeouts(3);
  phone.channel->QueueRaw(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  server.Stream(phone.connection);
  return 0;
}
