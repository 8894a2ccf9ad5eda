#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "platform/desktop.h"
#include "platform/thread_annotations.h"
#include "platform/utf.h"
#include "platform/x11_desktop.h"
#include "platform/x_typing.h"

namespace vistrel {
namespace {

using namespace std::chrono_literals;

// How long a caller waits for the GTK thread to take its request: the
// twenty tries of 25 ms that a busy clipboard is given.
constexpr auto kTakeRequestWait = 500ms;
// A request that found GTK gone.
constexpr int kNotRun = -1;

// One request for the GTK thread. The caller gives up on a request that was
// not taken in time; a request that was taken runs to its end.
struct Job {
  std::function<int()> work;
  Mutex mutex;
  std::condition_variable_any changed;
  bool started GUARDED_BY(mutex) = false;
  bool abandoned GUARDED_BY(mutex) = false;
  std::optional<int> result GUARDED_BY(mutex);
};

// The text the clipboard serves while this program owns it.
struct ClipboardText {
  std::string utf8;
};

void ServeText(GtkClipboard*, GtkSelectionData* selection, guint, gpointer data) {
  const std::string& text = static_cast<ClipboardText*>(data)->utf8;
  gtk_selection_data_set_text(selection, text.data(), static_cast<gint>(text.size()));
}

void ForgetText(GtkClipboard*, gpointer data) {
  std::unique_ptr<ClipboardText>(static_cast<ClipboardText*>(data));
}

}  // namespace

bool SetClipboardText(std::string utf8) {
  GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
  GtkTargetList* list = gtk_target_list_new(nullptr, 0);
  gtk_target_list_add_text_targets(list, 0);
  gint count = 0;
  GtkTargetEntry* targets = gtk_target_table_new_from_list(list, &count);
  auto text = std::make_unique<ClipboardText>(ClipboardText{std::move(utf8)});
  const bool owned = gtk_clipboard_set_with_data(clipboard, targets, static_cast<guint>(count),
                                                 ServeText, ForgetText, text.get());
  // Once owned, GTK hands the text to ForgetText when another owner takes over.
  if (owned) (void)text.release();
  // A clipboard manager may keep the text once this program has gone.
  if (owned) gtk_clipboard_set_can_store(clipboard, nullptr, 0);
  gtk_target_table_free(targets, count);
  gtk_target_list_unref(list);
  return owned;
}

void StoreClipboard() {
  // Does nothing unless the text on the clipboard is still ours and a
  // clipboard manager runs; then waits (at most GTK's 10 s) for it to copy.
  gtk_clipboard_store(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD));
}

TypingResult TypeWithKeyboard(std::unique_ptr<XTypist>& typist, std::u16string_view text) {
  GdkDisplay* display = gdk_display_get_default();
  if (!display || !GDK_IS_X11_DISPLAY(display)) return TypingResult::kUnavailable;
  if (!typist) typist = std::make_unique<XTypist>(GDK_DISPLAY_XDISPLAY(display));
  // An X error here (a keymap the server refuses) fails the typing, never the program.
  gdk_x11_display_error_trap_push(display);
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const bool reachable = !wayland || !*wayland || typist->FocusIsInAppWindow();
  const TypingResult typed = reachable                    ? typist->Type(text)
                             : typist->LayoutHasAll(text) ? TypingResult::kFocusedAppNotReachable
                                                          : TypingResult::kNotInLayout;
  return gdk_x11_display_error_trap_pop(display) == 0 ? typed : TypingResult::kUnavailable;
}

void ForgetKeyboard(std::unique_ptr<XTypist>& typist) {
  GdkDisplay* display = gdk_display_get_default();
  if (!typist || !display) return;
  gdk_x11_display_error_trap_push(display);
  typist.reset();
  gdk_x11_display_error_trap_pop_ignored(display);
}

namespace {

class X11Desktop final : public Desktop {
 public:
  explicit X11Desktop(bool own_thread) {
    if (!own_thread) {
      // The caller's thread runs GTK and its loop; requests are queued there.
      const bool ready = gdk_display_get_default() != nullptr;
      MutexLock lock(mutex_);
      on_caller_loop_ = true;
      state_ = ready ? State::kReady : State::kFailed;
      *usable_ = ready;
      return;
    }
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return;
    thread_ = std::thread([this] { RunGtk(); });
  }

  ~X11Desktop() override {
    *usable_ = false;
    if (on_caller_loop_) {
      // On the caller's GTK thread, which is ours to use here.
      StoreClipboard();
      ForgetKeyboard(typist_);
    }
    if (!thread_.joinable()) return;
    {
      MutexLock lock(mutex_);
      stopping_ = true;
      // Queued, never run here: only the GTK thread may touch its loop.
      if (loop_) {
        g_idle_add(
            [](gpointer loop) {
              g_main_loop_quit(static_cast<GMainLoop*>(loop));
              return G_SOURCE_REMOVE;
            },
            loop_);
      }
    }
    thread_.join();
  }

  bool CopyTextToClipboard(std::u16string_view text) override {
    return Run([utf8 = WideToUtf8(text)]() mutable {
             return SetClipboardText(std::move(utf8)) ? 1 : 0;
           }).value_or(0) == 1;
  }

  TypingResult TypeIntoFocusedApp(std::u16string_view text) override {
    const std::optional<int> result = Run([this, wide = std::u16string(text)] {
      return static_cast<int>(TypeWithKeyboard(typist_, wide));
    });
    return result ? static_cast<TypingResult>(*result) : TypingResult::kUnavailable;
  }

 private:
  enum class State { kStarting, kReady, kFailed };

  void RunGtk() {
    // GTK must not switch the process's locale under the other threads.
    gtk_disable_setlocale();
    gdk_set_allowed_backends("x11");
    const bool ready = gtk_init_check(nullptr, nullptr);
    *usable_ = ready;
    GMainLoop* loop = ready ? g_main_loop_new(nullptr, FALSE) : nullptr;
    {
      MutexLock lock(mutex_);
      state_ = ready ? State::kReady : State::kFailed;
      loop_ = loop;
      if (stopping_ && loop) loop_ = nullptr;
    }
    state_changed_.notify_all();
    if (loop) {
      bool stop_at_once = false;
      {
        MutexLock lock(mutex_);
        stop_at_once = stopping_;
      }
      if (!stop_at_once) g_main_loop_run(loop);
      {
        MutexLock lock(mutex_);
        loop_ = nullptr;
        state_ = State::kFailed;
      }
      StoreClipboard();
      ForgetKeyboard(typist_);
      g_main_loop_unref(loop);
    }
    *usable_ = false;
    // Requests posted while GTK ended are answered (with failure) and freed.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
  }

  // Posts `work` to the GTK thread; nothing when GTK is not there or does not
  // take the request in time.
  std::optional<int> Run(std::function<int()> work) {
    if (!thread_.joinable() && !on_caller_loop_) return std::nullopt;
    auto job = std::make_shared<Job>();
    // A request that outlives this object finds the flag down and touches nothing else.
    job->work = [usable = usable_, work = std::move(work)] {
      return usable->load() ? work() : kNotRun;
    };
    {
      MutexLock lock(mutex_);
      const auto deadline = std::chrono::steady_clock::now() + kTakeRequestWait;
      while (state_ == State::kStarting) {
        if (state_changed_.wait_until(lock, deadline) == std::cv_status::timeout) break;
      }
      if (state_ != State::kReady || stopping_) return std::nullopt;
      // Posted under the lock, so the GTK thread's last drain comes after it.
      // Always queued: g_main_context_invoke would run it on this thread
      // whenever the GTK thread happens not to hold the context.
      auto holder = std::make_unique<std::shared_ptr<Job>>(job);
      g_idle_add_full(G_PRIORITY_DEFAULT, &X11Desktop::RunJob, holder.release(), [](gpointer data) {
        std::unique_ptr<std::shared_ptr<Job>>(static_cast<std::shared_ptr<Job>*>(data));
      });
    }
    MutexLock lock(job->mutex);
    const auto deadline = std::chrono::steady_clock::now() + kTakeRequestWait;
    while (!job->started) {
      if (job->changed.wait_until(lock, deadline) == std::cv_status::timeout && !job->started) {
        job->abandoned = true;
        return std::nullopt;
      }
    }
    while (!job->result) job->changed.wait(lock);
    if (*job->result == kNotRun) return std::nullopt;
    return *job->result;
  }

  static gboolean RunJob(gpointer data) {
    Job& job = **static_cast<std::shared_ptr<Job>*>(data);
    {
      MutexLock lock(job.mutex);
      if (job.abandoned) return G_SOURCE_REMOVE;
      job.started = true;
    }
    job.changed.notify_all();
    const int result = job.work();
    {
      MutexLock lock(job.mutex);
      job.result = result;
    }
    job.changed.notify_all();
    return G_SOURCE_REMOVE;
  }

  std::thread thread_;
  Mutex mutex_;
  std::condition_variable_any state_changed_;
  State state_ GUARDED_BY(mutex_) = State::kStarting;
  bool stopping_ GUARDED_BY(mutex_) = false;
  GMainLoop* loop_ GUARDED_BY(mutex_) = nullptr;
  // GTK is initialised and its loop not ended; shared with queued requests.
  std::shared_ptr<std::atomic<bool>> usable_ = std::make_shared<std::atomic<bool>>(false);
  bool on_caller_loop_ = false;  // set once in the constructor
  std::unique_ptr<XTypist> typist_;  // only on the GTK thread
};

}  // namespace

std::unique_ptr<Desktop> CreateX11Desktop() { return std::make_unique<X11Desktop>(true); }

std::unique_ptr<Desktop> CreateDesktopOnCallerLoop() { return std::make_unique<X11Desktop>(false); }

}  // namespace vistrel
