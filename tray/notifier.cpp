#include "tray/notifier.h"

#include <libnotify/notify.h>

#include <list>

#include "tray/i18n.h"

namespace vistrel::tray {
namespace {

// Notifications kept for their click; the oldest are let go first.
constexpr size_t kKept = 8;

struct Entry {
  NotifyNotification* notification = nullptr;
  std::function<void()> on_click;
};

void Clicked(NotifyNotification*, char*, gpointer data) {
  auto* entry = static_cast<Entry*>(data);
  if (entry->on_click) entry->on_click();
}

}  // namespace

struct Notifier::Shown {
  std::list<Entry> entries;
};

Notifier::Notifier() : shown_(std::make_unique<Shown>()) {
  ready_ = notify_init("Orlith Cam");
}

Notifier::~Notifier() {
  for (Entry& entry : shown_->entries) g_object_unref(entry.notification);
  if (ready_) notify_uninit();
}

void Notifier::Show(const std::string& title, const std::string& text,
                    std::function<void()> on_click) {
  if (!ready_) return;
  if (shown_->entries.size() >= kKept) {
    // Its callback data goes with the entry, so no late click may reach it.
    notify_notification_clear_actions(shown_->entries.front().notification);
    g_object_unref(shown_->entries.front().notification);
    shown_->entries.pop_front();
  }
  NotifyNotification* notification =
      notify_notification_new(title.c_str(), text.c_str(), "vistrel");
  Entry& entry = shown_->entries.emplace_back(Entry{notification, std::move(on_click)});
  notify_notification_add_action(notification, "default", _("Open Orlith Cam"), Clicked, &entry,
                                 nullptr);
  notify_notification_set_urgency(notification, NOTIFY_URGENCY_NORMAL);
  GError* error = nullptr;
  if (!notify_notification_show(notification, &error) && error) g_error_free(error);
}

}  // namespace vistrel::tray
