// "Orlith Cam" as a PipeWire video source: camera apps, the camera portal and
// screen tools find it without a kernel module. Each output node drives its
// own graph (no session manager's driver is needed); it is paced by the
// pictures the host hands in. PipeWire's events run on the sink's own loop
// thread; the host's thread takes the loop's lock, as PipeWire's thread loop
// asks of other threads, writes its picture straight into a free buffer and
// starts the graphs' cycles itself, so no thread in between wakes for a
// picture.
//
// Apps see one node, "Orlith Cam". PipeWire shares a port's buffers among all
// its links, so one app that keeps its buffers would freeze the camera for
// every other. That node is therefore never started: the links made to it
// (by the session manager or the app) stay as they are and carry nothing,
// and the host adds to each app a link from an output node of the app's own.
// Nothing is relinked while an app reads, which some apps do not survive.
#include <pipewire/pipewire.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "camhost/pipewire_output.h"
#include "camhost/sink.h"
#include "camhost/video_format.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/times_file.h"

namespace vistrel {
namespace {

constexpr char kNodeName[] = "Orlith Cam";
constexpr uint64_t kRetryNs = 3'000'000'000ull;

void InitOnce() {
  static const bool done = [] {
    pw_init(nullptr, nullptr);
    return true;
  }();
  (void)done;
}

struct ThreadLoopFree {
  void operator()(pw_thread_loop* loop) const { pw_thread_loop_destroy(loop); }
};
struct ContextFree {
  void operator()(pw_context* context) const { pw_context_destroy(context); }
};
struct CoreFree {
  void operator()(pw_core* core) const { pw_core_disconnect(core); }
};
struct ProxyFree {
  void operator()(pw_proxy* proxy) const { pw_proxy_destroy(proxy); }
};

// An id from an object's properties; SPA_ID_INVALID when absent or not a
// plain number.
uint32_t IdProperty(const spa_dict* props, const char* key) {
  const char* text = props ? spa_dict_lookup(props, key) : nullptr;
  if (!text || *text < '0' || *text > '9') return SPA_ID_INVALID;
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || value >= SPA_ID_INVALID) return SPA_ID_INVALID;
  return static_cast<uint32_t>(value);
}

class PipeWireSink final : public Sink, PipeWireOutput::Owner {
 public:
  PipeWireSink() = default;
  ~PipeWireSink() override;
  PipeWireSink(const PipeWireSink&) = delete;
  PipeWireSink& operator=(const PipeWireSink&) = delete;

  bool Start(std::string& error);
  bool Write(const Nv12View& picture, int64_t time_100ns) override;
  bool Wanted() const override { return streaming_.load(std::memory_order_acquire); }
  void AwaitWanted(uint32_t ms) override {
    std::unique_lock lock(wanted_mutex_);
    wanted_changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return Wanted(); });
  }
  std::optional<Place> Borrow() override;
  std::string Describe() const override { return "pipewire"; }

 private:
  // One app's input port and the output node that feeds it alone.
  struct Delivery {
    PipeWireSink* sink = nullptr;
    uint32_t app_node = SPA_ID_INVALID;
    uint32_t app_port = SPA_ID_INVALID;
    // The app's link to "Orlith Cam"; the delivery ends with it when the
    // app goes before its own link is made.
    uint32_t shown_link = SPA_ID_INVALID;
    std::unique_ptr<PipeWireOutput> output;
    std::unique_ptr<pw_proxy, ProxyFree> link;
    spa_hook link_listener{};
    bool streamed = false;
    bool ended = false;
  };

  // Everything below runs on the loop thread with the loop's lock held.
  void Connect();
  // `lost`: the daemon went away, which is worth a line.
  void Disconnect(bool lost);
  void Retry(uint64_t after_ns);
  void OutputStateChanged(PipeWireOutput& output, pw_stream_state state,
                          const char* error) override;
  void LinkAppeared(uint32_t id, const spa_dict* props);
  void LinkGone(uint32_t id);
  // Links the app's own node to it, once the daemon knows that node.
  void LinkApp(Delivery& delivery);
  // The fallback when PipeWire cannot make an app a node or a link at all:
  // the shown node runs, and the apps linked to it share its buffers.
  void ShareShown(const char* what, const char* detail, int res);
  // The delivery goes at the next sweep, outside any of its callbacks.
  void End(Delivery& delivery);
  void ScheduleSweep();
  // Before a delivery goes: none of its proxies' events may reach it.
  static void Unhook(Delivery& delivery);
  void Sweep();
  void UpdateReading();
  // The host's thread, with the loop's lock held.
  std::optional<Place> Lendable();

  static void CoreError(void* self, uint32_t id, int, int res, const char* message) {
    auto* sink = static_cast<PipeWireSink*>(self);
    if (id != PW_ID_CORE) return;
    LogLine("[camhost] PipeWire: %s (%d)\n", message ? message : "error", res);
    // The core cannot be torn down inside its own callback; the timer does it.
    if (res == -EPIPE) {
      sink->core_lost_ = true;
      sink->Retry(1);
    }
  }
  static void TimerFired(void* self, uint64_t) {
    auto* sink = static_cast<PipeWireSink*>(self);
    sink->Disconnect(std::exchange(sink->core_lost_, false));
    sink->Connect();
  }
  static void SweepFired(void* self, uint64_t) { static_cast<PipeWireSink*>(self)->Sweep(); }
  static void Global(void* self, uint32_t id, uint32_t, const char* type, uint32_t,
                     const spa_dict* props) {
    if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
      static_cast<PipeWireSink*>(self)->LinkAppeared(id, props);
    }
  }
  static void GlobalRemoved(void* self, uint32_t id) {
    static_cast<PipeWireSink*>(self)->LinkGone(id);
  }
  static void LinkRemoved(void* self) {
    auto* delivery = static_cast<Delivery*>(self);
    delivery->sink->End(*delivery);
  }
  // Most often an app that takes no format we offer; that app alone goes
  // without pictures.
  static void LinkError(void* self, int, int res, const char* message) {
    auto* delivery = static_cast<Delivery*>(self);
    LogLine("[camhost] PipeWire could not link a camera app to its own node: %s (%d)\n",
            message ? message : "error", res);
    delivery->sink->End(*delivery);
  }

  std::unique_ptr<pw_thread_loop, ThreadLoopFree> loop_;
  std::unique_ptr<pw_context, ContextFree> context_;
  spa_source* timer_ = nullptr;        // owned by the loop
  spa_source* sweep_timer_ = nullptr;  // owned by the loop
  std::atomic<bool> streaming_{false};
  // Wakes the host when a consumer comes; taken after the loop's lock.
  std::mutex wanted_mutex_;
  std::condition_variable wanted_changed_;

  // With the loop's lock held.
  std::unique_ptr<pw_core, CoreFree> core_;
  std::unique_ptr<pw_proxy, ProxyFree> registry_;
  spa_hook core_listener_{};
  spa_hook registry_listener_{};
  pw_core_events core_events_{};
  pw_registry_events registry_events_{};
  pw_proxy_events link_events_{};
  // The node apps and pickers see.
  std::unique_ptr<PipeWireOutput> shown_;
  // By the app's input port.
  std::map<uint32_t, std::unique_ptr<Delivery>> deliveries_;
  uint32_t app_nodes_made_ = 0;
  // The shown node runs for everyone (the fallback).
  bool shared_ = false;
  bool core_lost_ = false;
  bool connected_before_ = false;
  bool absent_logged_ = false;
  bool reading_ = false;
};

PipeWireSink::~PipeWireSink() {
  if (!loop_) return;
  pw_thread_loop_stop(loop_.get());
  Disconnect(false);
  pw_loop* loop = pw_thread_loop_get_loop(loop_.get());
  if (timer_) pw_loop_destroy_source(loop, timer_);
  if (sweep_timer_) pw_loop_destroy_source(loop, sweep_timer_);
  context_.reset();
  loop_.reset();
}

bool PipeWireSink::Start(std::string& error) {
  InitOnce();
  loop_.reset(pw_thread_loop_new("vistrel-pipewire", nullptr));
  if (!loop_) {
    error = "pipewire: cannot make a loop (" + std::string(std::strerror(errno)) + ")";
    return false;
  }
  pw_loop* loop = pw_thread_loop_get_loop(loop_.get());
  context_.reset(pw_context_new(loop, nullptr, 0));
  if (!context_) {
    error = "pipewire: cannot make a context (" + std::string(std::strerror(errno)) + ")";
    return false;
  }
  timer_ = pw_loop_add_timer(loop, &PipeWireSink::TimerFired, this);
  sweep_timer_ = pw_loop_add_timer(loop, &PipeWireSink::SweepFired, this);
  if (!timer_ || !sweep_timer_) {
    error = "pipewire: cannot add a loop timer";
    return false;
  }
  core_events_.version = PW_VERSION_CORE_EVENTS;
  core_events_.error = &PipeWireSink::CoreError;
  registry_events_.version = PW_VERSION_REGISTRY_EVENTS;
  registry_events_.global = &PipeWireSink::Global;
  registry_events_.global_remove = &PipeWireSink::GlobalRemoved;
  link_events_.version = PW_VERSION_PROXY_EVENTS;
  link_events_.removed = &PipeWireSink::LinkRemoved;
  link_events_.error = &PipeWireSink::LinkError;
  if (pw_thread_loop_start(loop_.get()) != 0) {
    error = "pipewire: cannot start the loop thread";
    return false;
  }
  pw_thread_loop_lock(loop_.get());
  Connect();
  pw_thread_loop_unlock(loop_.get());
  return true;
}

void PipeWireSink::Retry(uint64_t after_ns) {
  timespec value{static_cast<time_t>(after_ns / 1'000'000'000ull),
                 static_cast<long>(after_ns % 1'000'000'000ull)};
  timespec interval{};
  pw_loop_update_timer(pw_thread_loop_get_loop(loop_.get()), timer_, &value, &interval, false);
}

void PipeWireSink::Disconnect(bool lost) {
  if (!core_) return;
  for (auto& [port, delivery] : deliveries_) Unhook(*delivery);
  deliveries_.clear();
  shown_.reset();
  if (registry_) spa_hook_remove(&registry_listener_);
  registry_.reset();
  spa_hook_remove(&core_listener_);
  core_.reset();
  UpdateReading();
  if (lost) LogLine("[camhost] lost PipeWire; connecting again\n");
}

void PipeWireSink::Connect() {
  core_.reset(pw_context_connect(context_.get(), nullptr, 0));
  if (!core_) {
    if (!absent_logged_) {
      LogLine("[camhost] no PipeWire daemon answers; trying again every %llu seconds\n",
              static_cast<unsigned long long>(kRetryNs / 1'000'000'000ull));
    }
    absent_logged_ = true;
    Retry(kRetryNs);
    return;
  }
  absent_logged_ = false;
  shared_ = false;
  pw_core_add_listener(core_.get(), &core_listener_, &core_events_, this);
  std::string error;
  shown_ = PipeWireOutput::Connect(
      core_.get(),
      pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                        PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_MEDIA_CLASS, "Video/Source",
                        PW_KEY_NODE_NAME, kNodeName, PW_KEY_NODE_DESCRIPTION, kNodeName, nullptr),
      /*active=*/false, *this, error);
  if (!shown_) {
    LogLine("[camhost] %s\n", error.c_str());
    Disconnect(false);
    Retry(kRetryNs);
    return;
  }
  registry_.reset(reinterpret_cast<pw_proxy*>(
      pw_core_get_registry(core_.get(), PW_VERSION_REGISTRY, 0)));
  if (registry_) {
    pw_registry_add_listener(reinterpret_cast<pw_registry*>(registry_.get()), &registry_listener_,
                             &registry_events_, this);
  }
  LogLine("[camhost] %s PipeWire; \"%s\" is a video source\n",
          connected_before_ ? "reconnected to" : "connected to", kNodeName);
  connected_before_ = true;
}

void PipeWireSink::OutputStateChanged(PipeWireOutput& output, pw_stream_state state,
                                      const char* error) {
  if (&output == shown_.get() && state == PW_STREAM_STATE_ERROR) {
    LogLine("[camhost] the PipeWire stream failed: %s\n", error ? error : "unknown");
    Retry(kRetryNs);
  }
  for (auto& [port, delivery] : deliveries_) {
    if (delivery->output.get() != &output) continue;
    if (state == PW_STREAM_STATE_STREAMING) delivery->streamed = true;
    if (state == PW_STREAM_STATE_ERROR) {
      // One app's trouble, such as a format we do not offer: that app alone
      // goes without pictures.
      LogLine("[camhost] a camera app's own PipeWire stream failed: %s\n",
              error ? error : "unknown");
      End(*delivery);
    } else {
      LinkApp(*delivery);
    }
    break;
  }
  UpdateReading();
}

void PipeWireSink::LinkAppeared(uint32_t id, const spa_dict* props) {
  if (shared_ || !shown_ || shown_->node_id() == SPA_ID_INVALID ||
      IdProperty(props, PW_KEY_LINK_OUTPUT_NODE) != shown_->node_id()) {
    return;
  }
  const uint32_t app_node = IdProperty(props, PW_KEY_LINK_INPUT_NODE);
  const uint32_t app_port = IdProperty(props, PW_KEY_LINK_INPUT_PORT);
  if (app_node == SPA_ID_INVALID || app_port == SPA_ID_INVALID) return;
  if (auto found = deliveries_.find(app_port); found != deliveries_.end()) {
    if (!found->second->ended) return;  // a second link to the shown node
    Unhook(*found->second);
    deliveries_.erase(found);  // a new app on a port id used before
  }
  auto delivery = std::make_unique<Delivery>();
  delivery->sink = this;
  delivery->app_node = app_node;
  delivery->app_port = app_port;
  delivery->shown_link = id;
  const std::string name = std::string(kNodeName) + " " + std::to_string(++app_nodes_made_);
  std::string error;
  delivery->output = PipeWireOutput::Connect(
      core_.get(),
      // Not a source of its own: pickers list only "Orlith Cam", and the
      // session manager links nothing to it.
      pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                        PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_MEDIA_CLASS, "Stream/Output/Video",
                        PW_KEY_NODE_NAME, name.c_str(), PW_KEY_NODE_DESCRIPTION, kNodeName,
                        PW_KEY_NODE_AUTOCONNECT, "false", nullptr),
      /*active=*/true, *this, error);
  if (!delivery->output) {
    ShareShown("a stream", error.c_str(), -EIO);
    return;
  }
  Delivery& added = *deliveries_.emplace(app_port, std::move(delivery)).first->second;
  LinkApp(added);
  UpdateReading();
}

void PipeWireSink::LinkGone(uint32_t id) {
  for (auto& [port, delivery] : deliveries_) {
    if (delivery->shown_link != id) continue;
    delivery->shown_link = SPA_ID_INVALID;
    if (!delivery->link) End(*delivery);  // the app went before its link was made
    return;
  }
}

void PipeWireSink::LinkApp(Delivery& delivery) {
  if (delivery.link || delivery.ended || !delivery.output ||
      delivery.output->node_id() == SPA_ID_INVALID) {
    return;
  }
  pw_properties* props = pw_properties_new(nullptr, nullptr);
  pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", delivery.output->node_id());
  pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", delivery.app_node);
  pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", delivery.app_port);
  // The link goes with this process.
  pw_properties_set(props, PW_KEY_OBJECT_LINGER, "false");
  delivery.link.reset(static_cast<pw_proxy*>(pw_core_create_object(
      core_.get(), "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0)));
  pw_properties_free(props);
  if (delivery.link) {
    pw_proxy_add_listener(delivery.link.get(), &delivery.link_listener, &link_events_, &delivery);
  } else {
    ShareShown("a link", std::strerror(errno), -errno);
    End(delivery);
  }
}

void PipeWireSink::ShareShown(const char* what, const char* detail, int res) {
  if (shared_ || !shown_) return;
  LogLine("[camhost] PipeWire refused a camera app %s of its own: %s (%d); apps share the "
          "camera's buffers\n",
          what, detail ? detail : "error", res);
  shared_ = true;
  shown_->SetActive(true);
}

void PipeWireSink::End(Delivery& delivery) {
  delivery.ended = true;
  ScheduleSweep();
}

void PipeWireSink::Unhook(Delivery& delivery) {
  if (delivery.link) spa_hook_remove(&delivery.link_listener);
}

void PipeWireSink::ScheduleSweep() {
  timespec soon{0, 1};
  timespec interval{};
  pw_loop_update_timer(pw_thread_loop_get_loop(loop_.get()), sweep_timer_, &soon, &interval,
                       false);
}

void PipeWireSink::Sweep() {
  for (auto it = deliveries_.begin(); it != deliveries_.end();) {
    Delivery& delivery = *it->second;
    if (!delivery.ended) {
      ++it;
      continue;
    }
    Unhook(delivery);
    it = deliveries_.erase(it);
  }
  UpdateReading();
}

void PipeWireSink::UpdateReading() {
  bool streaming = shown_ && shown_->streaming();
  const PipeWireOutput* first = streaming ? shown_.get() : nullptr;
  // An app whose own node has not streamed yet is on its way, not gone.
  bool joining = false;
  for (const auto& [port, delivery] : deliveries_) {
    if (delivery->ended || !delivery->output) continue;
    if (delivery->output->streaming()) {
      streaming = true;
      if (!first) first = delivery->output.get();
    } else if (!delivery->streamed) {
      joining = true;
    }
  }
  {
    const std::lock_guard lock(wanted_mutex_);
    streaming_.store(streaming, std::memory_order_release);
  }
  wanted_changed_.notify_all();
  if (streaming && !reading_) {
    const std::optional<VideoFormat> format = first->format();
    LogLine("[camhost] a PipeWire consumer is reading (%s)\n",
            format ? VideoFormatName(*format) : "no format");
    reading_ = true;
  } else if (!streaming && !joining && reading_) {
    LogLine("[camhost] no PipeWire consumer is reading; pulling no samples\n");
    reading_ = false;
  }
}

std::optional<Sink::Place> PipeWireSink::Lendable() {
  for (const auto& [port, delivery] : deliveries_) {
    if (!delivery->output) continue;
    if (std::optional<Place> place = delivery->output->Lendable()) return place;
  }
  return shown_ ? shown_->Lendable() : std::nullopt;
}

std::optional<Sink::Place> PipeWireSink::Borrow() {
  pw_thread_loop_lock(loop_.get());
  std::optional<Place> place = Lendable();
  pw_thread_loop_unlock(loop_.get());
  return place;
}

bool PipeWireSink::Write(const Nv12View& picture, int64_t time_100ns) {
  // The loop thread holds the lock only while it handles an event, and none
  // of them waits for this thread. An app that still has every buffer of its
  // own misses this picture; the others get it.
  pw_thread_loop_lock(loop_.get());
  for (const auto& [port, delivery] : deliveries_) {
    if (delivery->output) delivery->output->Send(picture, time_100ns);
  }
  if (shown_) shown_->Send(picture, time_100ns);
  pw_thread_loop_unlock(loop_.get());
  // For the glass-to-app benchmark: "sample time, queued", in nanoseconds.
  static const std::unique_ptr<TimesFile> times = TimesFile::FromEnvironment("VISTREL_SAMPLE_TIMES");
  if (times) times->Line({static_cast<uint64_t>(time_100ns) * 100, MonotonicNs()});
  return true;
}

}  // namespace

std::unique_ptr<Sink> OpenPipeWireSink(std::string& error) {
  if (!PipeWireInstalled()) {
    error = "pipewire: PipeWire is not installed here (no client.conf); install the pipewire "
            "package";
    return nullptr;
  }
  auto sink = std::make_unique<PipeWireSink>();
  if (!sink->Start(error)) return nullptr;
  return sink;
}

bool PipeWireInstalled() {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (const char* dir = std::getenv("PIPEWIRE_CONFIG_DIR"); dir && *dir) {
    return fs::exists(fs::path(dir) / "client.conf", ec);
  }
  std::vector<fs::path> folders;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') {
    folders.push_back(fs::path(config) / "pipewire");
  } else if (const char* home = std::getenv("HOME"); home && *home == '/') {
    folders.push_back(fs::path(home) / ".config/pipewire");
  }
  folders.insert(folders.end(), {"/etc/pipewire", "/usr/share/pipewire"});
  for (const fs::path& folder : folders) {
    if (fs::exists(folder / "client.conf", ec)) return true;
  }
  return false;
}

bool PipeWireAnswers() {
  // Without its configuration PipeWire's library only logs errors.
  if (!PipeWireInstalled()) return false;
  InitOnce();
  pw_loop* loop = pw_loop_new(nullptr);
  if (!loop) return false;
  bool answers = false;
  if (pw_context* context = pw_context_new(loop, nullptr, 0)) {
    if (pw_core* core = pw_context_connect(context, nullptr, 0)) {
      answers = true;
      pw_core_disconnect(core);
    }
    pw_context_destroy(context);
  }
  pw_loop_destroy(loop);
  return answers;
}

}  // namespace vistrel
