// One receiver per user: a lock file in the runtime folder, and a socket
// beside it on which a second start asks the running one to show itself.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "platform/unique_handle.h"

namespace vistrel {

class SingleInstance {
 public:
  enum class Outcome { kFirst, kOtherRunning, kNoRuntimeFolder };

  // Takes the lock. When another instance holds it, sends it "show" (if it
  // answers) and returns kOtherRunning with no object.
  static Outcome Acquire(const std::filesystem::path& runtime_folder,
                         std::unique_ptr<SingleInstance>& out);

  // Starts listening for "show"; `on_show` runs on the listening thread.
  void Listen(std::function<void()> on_show);

  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

 private:
  SingleInstance(UniqueFd lock, std::filesystem::path socket_path);
  void Serve();

  UniqueFd lock_;
  std::filesystem::path socket_path_;
  UniqueFd listener_;
  UniqueFd wake_;  // eventfd that ends Serve
  std::function<void()> on_show_;
  std::thread thread_;
};

}  // namespace vistrel
