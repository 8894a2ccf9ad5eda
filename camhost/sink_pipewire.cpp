// "Orlith Cam" as a PipeWire video source: camera apps, the camera portal and
// screen tools find it without a kernel module. The stream drives its own
// graph (no session manager's driver is needed); it is paced by the pictures
// the host hands in. PipeWire's events run on the sink's own loop thread; the
// host's thread takes the loop's lock, as PipeWire's thread loop asks of other
// threads, writes its picture straight into a free buffer and starts the
// graph's cycle itself, so no thread in between wakes for a picture.
#include <pipewire/pipewire.h>
#include <sys/mman.h>
#include <unistd.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstring>
#include <map>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "camhost/sink.h"
#include "camhost/video_format.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/times_file.h"

namespace vistrel {
namespace {

constexpr char kNodeName[] = "Orlith Cam";
constexpr uint64_t kRetryNs = 3'000'000'000ull;
constexpr uint32_t kBuffers = 4;

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
struct StreamFree {
  void operator()(pw_stream* stream) const { pw_stream_destroy(stream); }
};

std::optional<VideoFormat> FromSpa(uint32_t format) {
  switch (format) {
    case SPA_VIDEO_FORMAT_NV12:
      return VideoFormat::kNv12;
    case SPA_VIDEO_FORMAT_I420:
      return VideoFormat::kI420;
    case SPA_VIDEO_FORMAT_YUY2:
      return VideoFormat::kYuy2;
    default:
      return std::nullopt;
  }
}

// A buffer's memory, made by us (a memfd that PipeWire passes on to the
// consumer), so that it stays valid while the camera library writes a picture
// into it, even when PipeWire takes the buffer away meanwhile.
class Memory {
 public:
  static std::shared_ptr<Memory> Make(size_t size) {
    const int fd = memfd_create("vistrel-camera", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    void* base = MAP_FAILED;
    if (ftruncate(fd, static_cast<off_t>(size)) == 0) {
      base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    if (base == MAP_FAILED) {
      close(fd);
      return nullptr;
    }
    return std::shared_ptr<Memory>(new Memory(fd, {static_cast<uint8_t*>(base), size}));
  }
  ~Memory() {
    munmap(bytes_.data(), bytes_.size());
    close(fd_);
  }
  Memory(const Memory&) = delete;
  Memory& operator=(const Memory&) = delete;
  int fd() const { return fd_; }
  std::span<uint8_t> bytes() const { return bytes_; }

 private:
  Memory(int fd, std::span<uint8_t> bytes) : fd_(fd), bytes_(bytes) {}
  int fd_;
  std::span<uint8_t> bytes_;
};

class PipeWireSink final : public Sink {
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
  // Everything below runs on the loop thread with the loop's lock held.
  void Connect();
  // `lost`: the daemon went away, which is worth a line.
  void Disconnect(bool lost);
  void Retry(uint64_t after_ns);
  void OnStateChanged(pw_stream_state state, const char* error);
  void OnFormat(const spa_pod* param);
  // The host's thread, with the loop's lock held.
  std::optional<Place> Lendable();
  void Send(const Nv12View& picture, int64_t time_100ns);

  static void StateChanged(void* self, pw_stream_state, pw_stream_state state, const char* error) {
    static_cast<PipeWireSink*>(self)->OnStateChanged(state, error);
  }
  static void ParamChanged(void* self, uint32_t id, const spa_pod* param) {
    if (id == SPA_PARAM_Format) static_cast<PipeWireSink*>(self)->OnFormat(param);
  }
  // The stream asks us for the buffers' memory (ALLOC_BUFFERS); a buffer we
  // cannot back stays without data and is sent empty.
  static void AddBuffer(void* self, pw_buffer* buffer) {
    auto* sink = static_cast<PipeWireSink*>(self);
    if (buffer->buffer->n_datas < 1) return;
    spa_data& data = buffer->buffer->datas[0];
    // `data.type` holds the kinds of memory that may be used, as bits.
    if (!sink->layout_ || (data.type & (1u << SPA_DATA_MemFd)) == 0) return;
    std::shared_ptr<Memory> memory = Memory::Make(sink->layout_->size);
    if (!memory) {
      LogLine("[camhost] no memory for a PipeWire buffer (%d)\n", errno);
      return;
    }
    data.type = SPA_DATA_MemFd;
    data.flags = SPA_DATA_FLAG_READWRITE;
    data.fd = memory->fd();
    data.mapoffset = 0;
    data.maxsize = sink->layout_->size;
    data.data = memory->bytes().data();
    sink->memory_[buffer] = std::move(memory);
  }
  static void RemoveBuffer(void* self, pw_buffer* buffer) {
    auto* sink = static_cast<PipeWireSink*>(self);
    sink->memory_.erase(buffer);
    if (sink->borrowed_ == buffer) sink->borrowed_ = nullptr;
  }
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

  std::unique_ptr<pw_thread_loop, ThreadLoopFree> loop_;
  std::unique_ptr<pw_context, ContextFree> context_;
  spa_source* timer_ = nullptr;  // owned by the loop
  std::atomic<bool> streaming_{false};
  // Wakes the host when a consumer comes; taken after the loop's lock.
  std::mutex wanted_mutex_;
  std::condition_variable wanted_changed_;

  // With the loop's lock held.
  std::unique_ptr<pw_core, CoreFree> core_;
  std::unique_ptr<pw_stream, StreamFree> stream_;
  spa_hook core_listener_{};
  spa_hook stream_listener_{};
  pw_core_events core_events_{};
  pw_stream_events stream_events_{};
  std::optional<VideoLayout> layout_;
  std::map<pw_buffer*, std::shared_ptr<Memory>> memory_;
  // Dequeued for the next picture; the library may be writing into it.
  pw_buffer* borrowed_ = nullptr;
  bool core_lost_ = false;
  bool connected_before_ = false;
  bool absent_logged_ = false;
  bool was_streaming_ = false;
  uint64_t sequence_ = 0;
};

PipeWireSink::~PipeWireSink() {
  if (!loop_) return;
  pw_thread_loop_stop(loop_.get());
  Disconnect(false);
  pw_loop* loop = pw_thread_loop_get_loop(loop_.get());
  if (timer_) pw_loop_destroy_source(loop, timer_);
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
  if (!timer_) {
    error = "pipewire: cannot add a loop timer";
    return false;
  }
  core_events_.version = PW_VERSION_CORE_EVENTS;
  core_events_.error = &PipeWireSink::CoreError;
  stream_events_.version = PW_VERSION_STREAM_EVENTS;
  stream_events_.state_changed = &PipeWireSink::StateChanged;
  stream_events_.param_changed = &PipeWireSink::ParamChanged;
  stream_events_.add_buffer = &PipeWireSink::AddBuffer;
  stream_events_.remove_buffer = &PipeWireSink::RemoveBuffer;
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
  stream_.reset();  // destroying removes its listener
  memory_.clear();
  borrowed_ = nullptr;
  spa_hook_remove(&core_listener_);
  core_.reset();
  layout_.reset();
  streaming_ = false;
  if (was_streaming_) LogLine("[camhost] no PipeWire consumer is reading; pulling no samples\n");
  was_streaming_ = false;
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
  pw_core_add_listener(core_.get(), &core_listener_, &core_events_, this);
  stream_.reset(pw_stream_new(
      core_.get(), kNodeName,
      pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                        PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_MEDIA_CLASS, "Video/Source",
                        PW_KEY_NODE_NAME, kNodeName, PW_KEY_NODE_DESCRIPTION, kNodeName,
                        nullptr)));
  if (!stream_) {
    LogLine("[camhost] PipeWire refused the stream (%d)\n", errno);
    core_.reset();
    Retry(kRetryNs);
    return;
  }
  pw_stream_add_listener(stream_.get(), &stream_listener_, &stream_events_, this);

  uint8_t storage[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_rectangle size = SPA_RECTANGLE(kSinkWidth, kSinkHeight);
  const spa_fraction rate = SPA_FRACTION(kSinkRateNum, kSinkRateDen);
  const spa_pod* params[1];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
      SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(4, SPA_VIDEO_FORMAT_NV12, SPA_VIDEO_FORMAT_NV12,
                             SPA_VIDEO_FORMAT_I420, SPA_VIDEO_FORMAT_YUY2),
      SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
      SPA_POD_Fraction(&rate)));
  const int result = pw_stream_connect(
      stream_.get(), PW_DIRECTION_OUTPUT, PW_ID_ANY,
      // Without RT_PROCESS, each pw_stream_trigger_process would also post a
      // process call to the loop thread and wake it for every picture.
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_ALLOC_BUFFERS |
                                   PW_STREAM_FLAG_RT_PROCESS),
      params, 1);
  if (result < 0) {
    LogLine("[camhost] PipeWire refused the stream's connection (%d)\n", result);
    Disconnect(false);
    Retry(kRetryNs);
    return;
  }
  LogLine("[camhost] %s PipeWire; \"%s\" is a video source\n",
          connected_before_ ? "reconnected to" : "connected to", kNodeName);
  connected_before_ = true;
}

void PipeWireSink::OnStateChanged(pw_stream_state state, const char* error) {
  const bool streaming = state == PW_STREAM_STATE_STREAMING;
  {
    const std::lock_guard lock(wanted_mutex_);
    streaming_.store(streaming, std::memory_order_release);
  }
  wanted_changed_.notify_all();
  if (streaming && !was_streaming_) {
    LogLine("[camhost] a PipeWire consumer is reading (%s)\n",
            layout_ ? VideoFormatName(layout_->format) : "no format");
  } else if (!streaming && was_streaming_) {
    LogLine("[camhost] no PipeWire consumer is reading; pulling no samples\n");
  }
  was_streaming_ = streaming;
  if (state == PW_STREAM_STATE_ERROR) {
    LogLine("[camhost] the PipeWire stream failed: %s\n", error ? error : "unknown");
    Retry(kRetryNs);
  }
}

void PipeWireSink::OnFormat(const spa_pod* param) {
  layout_.reset();
  if (!param) return;
  uint32_t media_type = 0;
  uint32_t media_subtype = 0;
  spa_video_info_raw info{};
  AskedFormat asked;
  if (spa_format_parse(param, &media_type, &media_subtype) >= 0 &&
      media_type == SPA_MEDIA_TYPE_video && media_subtype == SPA_MEDIA_SUBTYPE_raw &&
      spa_format_video_raw_parse(param, &info) >= 0) {
    asked = {FromSpa(info.format), info.size.width, info.size.height, info.framerate.num,
             info.framerate.denom};
  }
  std::string why;
  layout_ = ChooseLayout(asked, why);
  if (!layout_) {
    LogLine("[camhost] a PipeWire consumer asked for %s\n", why.c_str());
    pw_stream_set_error(stream_.get(), -EINVAL, "unsupported format");
    return;
  }
  uint8_t storage[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_pod* params[2];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(kBuffers, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
      SPA_PARAM_BUFFERS_size, SPA_POD_Int(static_cast<int32_t>(layout_->size)),
      SPA_PARAM_BUFFERS_stride, SPA_POD_Int(static_cast<int32_t>(layout_->stride)),
      // A memfd per buffer, made by us (ALLOC_BUFFERS).
      SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd)));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
      SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
  pw_stream_update_params(stream_.get(), params, 2);
}

std::optional<Sink::Place> PipeWireSink::Lendable() {
  if (!stream_ || !layout_ || !streaming_ || layout_->format != VideoFormat::kNv12) {
    return std::nullopt;
  }
  if (!borrowed_) borrowed_ = pw_stream_dequeue_buffer(stream_.get());
  if (!borrowed_) return std::nullopt;
  const auto mapped = memory_.find(borrowed_);
  if (mapped == memory_.end() || mapped->second->bytes().size() < layout_->size) {
    return std::nullopt;
  }
  return Place{mapped->second->bytes().first(layout_->size),
               static_cast<int32_t>(layout_->stride), mapped->second};
}

std::optional<Sink::Place> PipeWireSink::Borrow() {
  pw_thread_loop_lock(loop_.get());
  std::optional<Place> place = Lendable();
  pw_thread_loop_unlock(loop_.get());
  return place;
}

void PipeWireSink::Send(const Nv12View& picture, int64_t time_100ns) {
  if (!stream_ || !layout_ || !streaming_) return;
  // Every buffer is still with the consumer: this picture is dropped, the
  // next one goes.
  pw_buffer* buffer = std::exchange(borrowed_, nullptr);
  if (!buffer) buffer = pw_stream_dequeue_buffer(stream_.get());
  if (!buffer) return;
  // The library wrote the picture straight into this buffer.
  const auto mapped = memory_.find(buffer);
  const bool in_place = mapped != memory_.end() && layout_->format == VideoFormat::kNv12 &&
                        picture.luma == mapped->second->bytes().data() &&
                        picture.pitch == static_cast<int>(layout_->stride) &&
                        picture.chroma == picture.luma + size_t{layout_->stride} * kSinkHeight;
  spa_buffer* spa = buffer->buffer;
  spa_data& data = spa->datas[0];
  if (spa->n_datas < 1 || !data.chunk ||
      (!in_place &&
       !WritePicture(*layout_, picture, static_cast<uint8_t*>(data.data), data.maxsize))) {
    if (spa->n_datas >= 1 && data.chunk) data.chunk->size = 0;
  } else {
    data.chunk->offset = 0;
    data.chunk->size = layout_->size;
    data.chunk->stride = static_cast<int32_t>(layout_->stride);
    data.chunk->flags = 0;
  }
  if (auto* header = static_cast<spa_meta_header*>(
          spa_buffer_find_meta_data(spa, SPA_META_Header, sizeof(spa_meta_header)))) {
    header->flags = 0;
    header->offset = 0;
    header->pts = time_100ns * 100;  // the sample's time, in nanoseconds
    header->dts_offset = 0;
    header->seq = sequence_++;
  }
  pw_stream_queue_buffer(stream_.get(), buffer);
  pw_stream_trigger_process(stream_.get());
  // For the glass-to-app benchmark: "sample time, queued", in nanoseconds.
  static const std::unique_ptr<TimesFile> times = TimesFile::FromEnvironment("VISTREL_SAMPLE_TIMES");
  if (times) times->Line({static_cast<uint64_t>(time_100ns) * 100, MonotonicNs()});
}

bool PipeWireSink::Write(const Nv12View& picture, int64_t time_100ns) {
  // The loop thread holds the lock only while it handles an event, and none
  // of them waits for this thread.
  pw_thread_loop_lock(loop_.get());
  Send(picture, time_100ns);
  pw_thread_loop_unlock(loop_.get());
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
