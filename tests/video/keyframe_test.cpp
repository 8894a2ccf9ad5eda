#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "video/h264_decoder.h"

namespace vistrel {
namespace {

struct Case {
  const char* name;
  std::vector<uint8_t> data;
  bool flag;
  bool keyframe;
};

TEST(IsKeyframeAccessUnitTest, Table) {
  const Case cases[] = {
      {"IDR with flag", {0, 0, 0, 1, 0x65, 0x88}, true, true},
      {"IDR without flag", {0, 0, 0, 1, 0x65, 0x88}, false, false},
      {"flag without IDR (P slice)", {0, 0, 0, 1, 0x41, 0x9A}, true, false},
      {"SPS PPS then IDR",
       {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE, 0, 0, 1, 0x65},
       true,
       true},
      {"IDR with high ref bits", {0, 0, 1, 0x25}, true, true},
      {"type in the low five bits only", {0, 0, 1, 0xE5}, true, true},
      {"start code at the very end, no header byte", {0x41, 0x00, 0x00, 0x01}, true, false},
      {"start code and header byte at the very end", {0x41, 0x00, 0x00, 0x01, 0x65}, true, true},
      {"3-byte data", {0x00, 0x01, 0x65}, true, false},
      {"start code without the NAL byte", {0x00, 0x00, 0x01}, true, false},
      {"empty", {}, true, false},
      {"type 25 is not 5", {0, 0, 1, 0x19}, true, false},
      {"00 01 05 is no start code", {0x00, 0x01, 0x00, 0x01, 0x05}, true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsKeyframeAccessUnit(c.data.data(), c.data.size(), c.flag), c.keyframe) << c.name;
  }
  EXPECT_FALSE(IsKeyframeAccessUnit(nullptr, 8, true));
}

}  // namespace
}  // namespace vistrel
