#include "app/receiver.h"

#include <gtest/gtest.h>

namespace vistrel {
namespace {

TEST(InstanceName, HashesTheDataFolderAsWritten) {
  EXPECT_EQ(InstanceName(""), "Vistrel-Receiver");
  // FNV-1a over the UTF-16LE bytes of the path, low 24 bits in decimal.
  EXPECT_EQ(InstanceName("/home/ana/Vistrel"), "Vistrel-Receiver-16473680");
  EXPECT_EQ(InstanceName("/home/ana/vistrel"), "Vistrel-Receiver-10328624");
  EXPECT_EQ(InstanceName("/home/ana/Vistrel/"), "Vistrel-Receiver-704343");
  EXPECT_EQ(InstanceName("/home/ana/Vistr\xC3\xA9l"), "Vistrel-Receiver-14766492");
}

}  // namespace
}  // namespace vistrel
