// The streaming session fed with hostile bytes: either the raw stream from the
// first byte on (HELLO handling), or a valid HELLO followed by raw frames.
#include <cstddef>
#include <cstdint>

#include "tests/link/fake_channel.h"
#include "tests/link/session_harness.h"

using namespace vistrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  ManualClock clock;
  test::SessionHarness session("Fuzz", nullptr, clock);

  test::FakeConnection phone(clock, std::string(64, 'a'), data[0] & 1);
  if (data[0] & 2) {
    phone.channel->Queue(kHello, R"({"proto":1,"device_name":"F","video":{"codec":"h264","width":1280,"height":720,"fps":30}})");
  }
  if (data[0] & 4) phone.channel->SetIdleTimeouts(3);
  phone.channel->QueueRaw(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  session.Stream(phone.connection);
  return 0;
}
