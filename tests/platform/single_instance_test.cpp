#include "platform/single_instance.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "tests/support/temp_folder.h"

namespace vistrel {
namespace {

TEST(SingleInstance, SecondStartAsksTheFirstToShow) {
  test::TempFolder folder;
  std::unique_ptr<SingleInstance> first;
  ASSERT_EQ(SingleInstance::Acquire(folder.path(), first), SingleInstance::Outcome::kFirst);
  std::mutex mutex;
  std::condition_variable shown_cv;
  bool shown = false;
  first->Listen([&] {
    std::lock_guard lock(mutex);
    shown = true;
    shown_cv.notify_all();
  });

  std::unique_ptr<SingleInstance> second;
  EXPECT_EQ(SingleInstance::Acquire(folder.path(), second),
            SingleInstance::Outcome::kOtherRunning);
  EXPECT_EQ(second, nullptr);
  std::unique_lock lock(mutex);
  EXPECT_TRUE(shown_cv.wait_for(lock, std::chrono::seconds(10), [&] { return shown; }));
}

TEST(SingleInstance, LockWithoutListenerIsStillExclusive) {
  test::TempFolder folder;
  std::unique_ptr<SingleInstance> first;
  ASSERT_EQ(SingleInstance::Acquire(folder.path(), first), SingleInstance::Outcome::kFirst);
  std::unique_ptr<SingleInstance> second;
  // Nobody answers on the socket yet: the second start still gives way quietly.
  EXPECT_EQ(SingleInstance::Acquire(folder.path(), second),
            SingleInstance::Outcome::kOtherRunning);
  first.reset();
  EXPECT_EQ(SingleInstance::Acquire(folder.path(), second), SingleInstance::Outcome::kFirst);
}

}  // namespace
}  // namespace vistrel
