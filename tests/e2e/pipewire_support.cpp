#include "tests/e2e/pipewire_support.h"

#include <fcntl.h>
#include <pipewire/pipewire.h>
#include <signal.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

#include "platform/files.h"
#include "tests/e2e/host_process.h"
#include "tools/phone/frame_pattern.h"

extern char** environ;

namespace vistrel::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kW = 1280;
constexpr int kH = 720;

// Enough for clients to connect, make nodes and link them, and for WirePlumber
// when a test starts it: no devices, no D-Bus.
constexpr char kConfig[] = R"(context.properties = {
    core.daemon = true
    core.name = pipewire-0
    support.dbus = false
}
context.spa-libs = {
    support.* = support/libspa-support
}
context.modules = [
    # As on a desktop: the graph's thread is real-time where that is allowed.
    { name = libpipewire-module-rt args = { nice.level = -11 } flags = [ ifexists nofail ] }
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-access }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-client-device }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
    { name = libpipewire-module-session-manager }
]
)";

// WirePlumber's own scripts, less the device monitors and the portal's
// permission store (which needs D-Bus). These replace the packaged files of
// the same name.
constexpr char kSessionManagerMain[] = R"(default_access.properties["enable-flatpak-portal"] = false
load_module("metadata")
default_access.enable()
device_defaults.enable()
stream_defaults.enable()
)";
constexpr char kSessionManagerBluetooth[] = "-- no Bluetooth monitor\n";

int64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

uint32_t SpaFormat(const std::string& name) {
  if (name == "I420") return SPA_VIDEO_FORMAT_I420;
  if (name == "YUY2") return SPA_VIDEO_FORMAT_YUY2;
  if (name == "RGB") return SPA_VIDEO_FORMAT_RGB;
  return SPA_VIDEO_FORMAT_NV12;
}

// The test's environment for a program of the daemon in `runtime`: none of
// the caller's own PipeWire, D-Bus or XDG folders.
std::vector<std::string> ChildEnvironment(const fs::path& runtime) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (entry.rfind("XDG_", 0) != 0 && entry.rfind("PIPEWIRE_", 0) != 0 &&
        entry.rfind("WIREPLUMBER_", 0) != 0 && entry.rfind("DBUS_", 0) != 0) {
      env.push_back(entry);
    }
  }
  env.push_back("XDG_RUNTIME_DIR=" + runtime.string());
  return env;
}

// SIGTERM, then SIGKILL when it has not ended within 5 s.
void EndChild(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  const auto end = std::chrono::steady_clock::now() + 5s;
  while (::waitpid(pid, nullptr, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() > end) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  pid = -1;
}

const char* FormatName(uint32_t format) {
  switch (format) {
    case SPA_VIDEO_FORMAT_NV12:
      return "NV12";
    case SPA_VIDEO_FORMAT_I420:
      return "I420";
    case SPA_VIDEO_FORMAT_YUY2:
      return "YUY2";
    default:
      return "other";
  }
}

}  // namespace

std::unique_ptr<PipeWireDaemon> PipeWireDaemon::Start(const fs::path& runtime, std::string& why) {
  const fs::path config = runtime / "pipewire-test.conf";
  if (!ReplaceFileContents(config, kConfig)) {
    why = "cannot write " + config.string();
    return nullptr;
  }
  const std::vector<std::string> env = ChildEnvironment(runtime);
  pid_t pid = -1;
  const int spawned =
      SpawnQuiet({"pipewire", "-c", config.string()}, env, runtime / "pipewire.err", O_APPEND, pid);
  if (spawned != 0) {
    why = "the pipewire program could not be started (" + std::string(std::strerror(spawned)) +
          ")";
    return nullptr;
  }
  std::unique_ptr<PipeWireDaemon> daemon(new PipeWireDaemon(pid));
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (!fs::exists(runtime / "pipewire-0")) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      daemon->pid_ = -1;
      why = "pipewire ended at once: " +
            ReadFileText(runtime / "pipewire.err").value_or("(no output)");
      return nullptr;
    }
    if (std::chrono::steady_clock::now() > end) {
      why = "pipewire made no socket within 10 s";
      return nullptr;
    }
    std::this_thread::sleep_for(10ms);
  }
  return daemon;
}

void PipeWireDaemon::Stop() { EndChild(pid_); }

PipeWireDaemon::~PipeWireDaemon() { Stop(); }

std::unique_ptr<SessionManager> SessionManager::Start(const fs::path& runtime, std::string& why) {
  const fs::path config = runtime / "wireplumber-config";
  const fs::path scripts = config / "wireplumber";
  std::error_code ec;
  fs::create_directories(scripts / "main.lua.d", ec);
  fs::create_directories(scripts / "bluetooth.lua.d", ec);
  if (!ReplaceFileContents(scripts / "main.lua.d/90-enable-all.lua", kSessionManagerMain) ||
      !ReplaceFileContents(scripts / "bluetooth.lua.d/90-enable-all.lua",
                           kSessionManagerBluetooth)) {
    why = "cannot write WirePlumber's configuration in " + scripts.string();
    return nullptr;
  }
  std::vector<std::string> env = ChildEnvironment(runtime);
  env.push_back("XDG_CONFIG_HOME=" + config.string());
  env.push_back("XDG_STATE_HOME=" + (runtime / "wireplumber-state").string());
  const fs::path log = runtime / "wireplumber.err";
  pid_t pid = -1;
  const int spawned = SpawnQuiet({"wireplumber"}, env, log, O_APPEND, pid);
  if (spawned != 0) {
    why = "the wireplumber program could not be started (" + std::string(std::strerror(spawned)) +
          ")";
    return nullptr;
  }
  std::unique_ptr<SessionManager> manager(new SessionManager(pid));
  // It ends at once when it cannot connect or load its scripts.
  std::this_thread::sleep_for(300ms);
  int status = 0;
  if (::waitpid(pid, &status, WNOHANG) == pid) {
    manager->pid_ = -1;
    why = "wireplumber ended at once: " + ReadFileText(log).value_or("(no output)");
    return nullptr;
  }
  return manager;
}

SessionManager::~SessionManager() { EndChild(pid_); }

// PipeWire runs everything on the loop's thread with its lock held, except
// Process, which runs on its data thread.
struct PipeWireConsumer::Impl {
  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_registry* registry = nullptr;
  pw_stream* stream = nullptr;
  pw_proxy* link = nullptr;
  spa_hook registry_listener{};
  spa_hook stream_listener{};
  pw_registry_events registry_events{};
  pw_stream_events stream_events{};
  uint32_t producer = SPA_ID_INVALID;  // loop lock
  // Output ports by their node (loop lock): a video port takes a second
  // link only when it is named.
  std::map<uint32_t, uint32_t> output_ports;
  uint32_t wanted_format = SPA_VIDEO_FORMAT_NV12;
  bool holds = false;  // returns no buffer

  mutable Mutex mutex;
  std::vector<ConsumedBuffer> buffers GUARDED_BY(mutex);
  std::string format GUARDED_BY(mutex);
  // Set on the loop thread, read on the data thread.
  std::atomic<uint32_t> spa_format{SPA_VIDEO_FORMAT_UNKNOWN};

  ~Impl() {
    if (loop) pw_thread_loop_stop(loop);
    if (link) pw_proxy_destroy(link);
    if (stream) pw_stream_destroy(stream);
    if (registry) {
      spa_hook_remove(&registry_listener);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
    }
    if (core) pw_core_disconnect(core);
    if (context) pw_context_destroy(context);
    if (loop) pw_thread_loop_destroy(loop);
  }

  static void Global(void* self, uint32_t id, uint32_t, const char* type, uint32_t,
                     const spa_dict* props) {
    auto* impl = static_cast<Impl*>(self);
    if (!props) return;
    if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
      const char* node = spa_dict_lookup(props, PW_KEY_NODE_ID);
      const char* direction = spa_dict_lookup(props, PW_KEY_PORT_DIRECTION);
      if (node && direction && std::strcmp(direction, "out") == 0) {
        impl->output_ports[static_cast<uint32_t>(std::strtoul(node, nullptr, 10))] = id;
      }
      return;
    }
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0) return;
    const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
    if (name && std::strcmp(name, "Orlith Cam") == 0) impl->producer = id;
  }

  static void ParamChanged(void* self, uint32_t id, const spa_pod* param) {
    auto* impl = static_cast<Impl*>(self);
    if (id != SPA_PARAM_Format || !param) return;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) return;
    impl->spa_format = info.format;
    // Time stamps travel in the header meta, which both ends must name.
    uint8_t storage[256];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* meta = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    pw_stream_update_params(impl->stream, &meta, 1);
    MutexLock lock(impl->mutex);
    impl->format = std::string(FormatName(info.format)) + " " + std::to_string(info.size.width) +
                   "x" + std::to_string(info.size.height) + " " +
                   std::to_string(info.framerate.num) + "/" + std::to_string(info.framerate.denom);
  }

  static void Process(void* self) {
    auto* impl = static_cast<Impl*>(self);
    pw_buffer* buffer = pw_stream_dequeue_buffer(impl->stream);
    if (!buffer) return;
    ConsumedBuffer seen;
    seen.received_ns = MonotonicNs();
    spa_buffer* spa = buffer->buffer;
    if (auto* header = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(spa, SPA_META_Header, sizeof(spa_meta_header)))) {
      seen.sample_time_ns = header->pts;
    }
    const spa_data& data = spa->datas[0];
    const uint8_t* y = static_cast<const uint8_t*>(data.data);
    const uint32_t format = impl->spa_format.load();
    const bool planar = format == SPA_VIDEO_FORMAT_NV12 || format == SPA_VIDEO_FORMAT_I420;
    if (planar && y && data.chunk && data.chunk->size >= kW * kH * 3 / 2 &&
        data.chunk->offset == 0 && data.maxsize >= kW * kH * 3 / 2) {
      const uint8_t* chroma = y + kW * kH;
      const uint8_t u = chroma[0];
      const uint8_t v = format == SPA_VIDEO_FORMAT_NV12 ? chroma[1] : chroma[kW * kH / 4];
      seen.waiting = u == 150 && v == 120 &&
                     std::all_of(y, y + kW, [](uint8_t b) { return b == 40 || b == 110; });
      if (!seen.waiting) seen.number = phone::ReadFrameNumber(y, kW, kW, kH);
    }
    if (!impl->holds) pw_stream_queue_buffer(impl->stream, buffer);
    MutexLock lock(impl->mutex);
    impl->buffers.push_back(seen);
  }
};

PipeWireConsumer::PipeWireConsumer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeWireConsumer::~PipeWireConsumer() = default;

std::unique_ptr<PipeWireConsumer> PipeWireConsumer::Connect(const fs::path& runtime,
                                                            const std::string& format,
                                                            std::string& why, Linked linked,
                                                            Returns returns) {
  pw_init(nullptr, nullptr);
  ::setenv("PIPEWIRE_RUNTIME_DIR", runtime.c_str(), 1);
  auto impl = std::make_unique<Impl>();
  impl->wanted_format = SpaFormat(format);
  impl->holds = returns == Returns::kNoBuffer;
  impl->loop = pw_thread_loop_new("test-consumer", nullptr);
  impl->context = pw_context_new(pw_thread_loop_get_loop(impl->loop), nullptr, 0);
  if (!impl->context || pw_thread_loop_start(impl->loop) != 0) {
    why = "no PipeWire context";
    return nullptr;
  }
  pw_thread_loop_lock(impl->loop);
  impl->core = pw_context_connect(impl->context, nullptr, 0);
  if (!impl->core) {
    pw_thread_loop_unlock(impl->loop);
    why = "cannot connect to the daemon in " + runtime.string();
    return nullptr;
  }
  impl->registry_events.version = PW_VERSION_REGISTRY_EVENTS;
  impl->registry_events.global = &Impl::Global;
  impl->registry = pw_core_get_registry(impl->core, PW_VERSION_REGISTRY, 0);
  pw_registry_add_listener(impl->registry, &impl->registry_listener, &impl->registry_events,
                           impl.get());
  impl->stream_events.version = PW_VERSION_STREAM_EVENTS;
  impl->stream_events.param_changed = &Impl::ParamChanged;
  impl->stream_events.process = &Impl::Process;
  impl->stream = pw_stream_new(impl->core, "vistrel-test-consumer",
                               pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                 "Capture", PW_KEY_MEDIA_ROLE, "Camera", nullptr));
  pw_stream_add_listener(impl->stream, &impl->stream_listener, &impl->stream_events, impl.get());
  uint8_t storage[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_rectangle size = SPA_RECTANGLE(kW, kH);
  const spa_rectangle min_size = SPA_RECTANGLE(1, 1);
  const spa_rectangle max_size = SPA_RECTANGLE(4096, 4096);
  const spa_fraction rate = SPA_FRACTION(30, 1);
  const spa_fraction min_rate = SPA_FRACTION(0, 1);
  const spa_fraction max_rate = SPA_FRACTION(120, 1);
  const spa_pod* params[1];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
      SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format, SPA_POD_Id(impl->wanted_format), SPA_FORMAT_VIDEO_size,
      SPA_POD_CHOICE_RANGE_Rectangle(&size, &min_size, &max_size), SPA_FORMAT_VIDEO_framerate,
      SPA_POD_CHOICE_RANGE_Fraction(&rate, &min_rate, &max_rate)));
  const bool by_manager = linked == Linked::kBySessionManager;
  pw_stream_connect(impl->stream, PW_DIRECTION_INPUT, PW_ID_ANY,
                    // Buffers are taken on PipeWire's data thread, as they
                    // arrive, like a camera app that cares for latency does.
                    static_cast<pw_stream_flags>(
                        PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS |
                        (by_manager ? PW_STREAM_FLAG_AUTOCONNECT : PW_STREAM_FLAG_NONE)),
                    params, 1);
  pw_thread_loop_unlock(impl->loop);

  if (by_manager) {
    // Linked once a format was agreed on.
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (impl->spa_format.load() == SPA_VIDEO_FORMAT_UNKNOWN) {
      if (std::chrono::steady_clock::now() > end) {
        why = "the session manager linked the stream to no source within 20 s";
        return nullptr;
      }
      std::this_thread::sleep_for(20ms);
    }
    return std::unique_ptr<PipeWireConsumer>(new PipeWireConsumer(std::move(impl)));
  }

  // Both nodes must exist before the link factory can join their ports.
  const auto end = std::chrono::steady_clock::now() + 10s;
  for (;;) {
    pw_thread_loop_lock(impl->loop);
    const uint32_t producer = impl->producer;
    const uint32_t consumer = pw_stream_get_node_id(impl->stream);
    const pw_stream_state state = pw_stream_get_state(impl->stream, nullptr);
    const auto port = impl->output_ports.find(producer);
    if (producer != SPA_ID_INVALID && port != impl->output_ports.end() &&
        consumer != SPA_ID_INVALID && state == PW_STREAM_STATE_PAUSED) {
      pw_properties* props = pw_properties_new(nullptr, nullptr);
      pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", producer);
      pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", port->second);
      pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", consumer);
      pw_properties_set(props, PW_KEY_OBJECT_LINGER, "false");
      impl->link = static_cast<pw_proxy*>(pw_core_create_object(
          impl->core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
      pw_properties_free(props);
      pw_thread_loop_unlock(impl->loop);
      break;
    }
    pw_thread_loop_unlock(impl->loop);
    if (std::chrono::steady_clock::now() > end) {
      why = producer == SPA_ID_INVALID ? "no node \"Orlith Cam\" appeared within 10 s"
                                       : "the consumer's stream did not get ready within 10 s";
      return nullptr;
    }
    std::this_thread::sleep_for(20ms);
  }
  if (!impl->link) {
    why = "the link factory made no link";
    return nullptr;
  }
  return std::unique_ptr<PipeWireConsumer>(new PipeWireConsumer(std::move(impl)));
}

std::vector<ConsumedBuffer> PipeWireConsumer::Buffers() const {
  MutexLock lock(impl_->mutex);
  return impl_->buffers;
}

size_t PipeWireConsumer::Count() const {
  MutexLock lock(impl_->mutex);
  return impl_->buffers.size();
}

std::string PipeWireConsumer::Format() const {
  MutexLock lock(impl_->mutex);
  return impl_->format;
}

}  // namespace vistrel::test
