// VIDEO payloads through the session's video path with the real decoder and
// frame exchange. The input is split into access units at each "VSTL" marker;
// the byte after a marker chooses the keyframe flag.
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstdint>
#include <string_view>

#include "tests/link/fake_channel.h"
#include "tests/link/session_harness.h"
#include "video/exchange/frame_reader.h"

using namespace vistrel;

namespace {

std::string VideoMessage(std::string_view unit, bool keyframe) {
  std::string payload = {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, static_cast<char>(keyframe ? 1 : 0)};
  payload.append(unit);
  return payload;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string name = "/Vistrel_" + std::to_string(::geteuid()) + "_fuzz" + std::to_string(::getpid());
  static FrameReader reader(name, [](const std::string&) {});
  static const bool opened = [] {
    std::atexit([] { SharedMemory::Unlink(name); });
    return reader.Open();
  }();
  (void)opened;
  ManualClock clock;
  FrameWriter writer(name, clock);
  test::SessionHarness session("Fuzz", &writer, clock);

  test::FakeConnection phone(clock, std::string(64, 'a'));
  phone.channel->Queue(kHello, R"({"proto":1,"device_name":"F","video":{"codec":"h264","width":1280,"height":720,"fps":30}})");
  phone.channel->Queue(kState, R"({"capture":"ready","epoch":1,"reason":null})");
  std::string_view input(reinterpret_cast<const char*>(data), size);
  while (!input.empty()) {
    size_t marker = input.find("VSTL");
    std::string_view unit = input.substr(0, marker);
    const bool keyframe = unit.empty() || (unit[0] & 1);
    if (!unit.empty()) unit.remove_prefix(1);
    phone.channel->Queue(kVideo, VideoMessage(unit, keyframe));
    if (marker == std::string_view::npos) break;
    input.remove_prefix(marker + 4);
  }
  session.Stream(phone.connection);
  return 0;
}
