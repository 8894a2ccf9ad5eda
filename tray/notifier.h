// Desktop notifications through libnotify. A click on one ("default" action)
// runs its callback on the UI thread. Failures (no notification service)
// are ignored.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace vistrel::tray {

class Notifier {
 public:
  Notifier();
  ~Notifier();
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  // UI thread only.
  void Show(const std::string& title, const std::string& text, std::function<void()> on_click);

 private:
  struct Shown;
  bool ready_ = false;
  std::unique_ptr<Shown> shown_;
};

}  // namespace vistrel::tray
