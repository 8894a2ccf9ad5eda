#include "camhost/pipewire_output.h"

#include <sys/mman.h>
#include <unistd.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/log.h"

namespace vistrel {
namespace {

constexpr uint32_t kBuffers = 4;

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

}  // namespace

// A buffer's memory, made by us (a memfd that PipeWire passes on to the
// app), so that it stays valid while the camera library writes a picture
// into it, even when PipeWire takes the buffer away meanwhile.
class PipeWireOutput::Memory {
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

std::unique_ptr<PipeWireOutput> PipeWireOutput::Connect(pw_core* core, pw_properties* properties,
                                                        bool active, Owner& owner,
                                                        std::string& error) {
  const char* name = pw_properties_get(properties, PW_KEY_NODE_NAME);
  pw_stream* stream = pw_stream_new(core, name ? name : "camera", properties);
  if (!stream) {
    error = "PipeWire refused the stream (" + std::to_string(errno) + ")";
    return nullptr;
  }
  std::unique_ptr<PipeWireOutput> output(new PipeWireOutput(stream, owner));
  output->events_.version = PW_VERSION_STREAM_EVENTS;
  output->events_.state_changed = &PipeWireOutput::StateChanged;
  output->events_.param_changed = &PipeWireOutput::ParamChanged;
  output->events_.add_buffer = &PipeWireOutput::AddBuffer;
  output->events_.remove_buffer = &PipeWireOutput::RemoveBuffer;
  pw_stream_add_listener(stream, &output->listener_, &output->events_, output.get());

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
      stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
      // Without RT_PROCESS, each pw_stream_trigger_process would also post a
      // process call to the loop thread and wake it for every picture.
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_ALLOC_BUFFERS |
                                   PW_STREAM_FLAG_RT_PROCESS |
                                   (active ? PW_STREAM_FLAG_NONE : PW_STREAM_FLAG_INACTIVE)),
      params, 1);
  if (result < 0) {
    error = "PipeWire refused the stream's connection (" + std::to_string(result) + ")";
    return nullptr;
  }
  return output;
}

PipeWireOutput::~PipeWireOutput() {
  // No state change reaches the owner while it may be tearing down its own
  // records.
  spa_hook_remove(&listener_);
  pw_stream_destroy(stream_);
}

std::optional<VideoFormat> PipeWireOutput::format() const {
  if (!layout_) return std::nullopt;
  return layout_->format;
}

void PipeWireOutput::StateChanged(void* self, pw_stream_state, pw_stream_state state,
                                  const char* error) {
  auto* output = static_cast<PipeWireOutput*>(self);
  output->state_ = state;
  output->owner_.OutputStateChanged(*output, state, error);
}

void PipeWireOutput::ParamChanged(void* self, uint32_t id, const spa_pod* param) {
  if (id == SPA_PARAM_Format) static_cast<PipeWireOutput*>(self)->OnFormat(param);
}

// The stream asks us for the buffers' memory (ALLOC_BUFFERS); a buffer we
// cannot back stays without data and is sent empty.
void PipeWireOutput::AddBuffer(void* self, pw_buffer* buffer) {
  auto* output = static_cast<PipeWireOutput*>(self);
  if (buffer->buffer->n_datas < 1) return;
  spa_data& data = buffer->buffer->datas[0];
  // `data.type` holds the kinds of memory that may be used, as bits.
  if (!output->layout_ || (data.type & (1u << SPA_DATA_MemFd)) == 0) return;
  std::shared_ptr<Memory> memory = Memory::Make(output->layout_->size);
  if (!memory) {
    LogLine("[camhost] no memory for a PipeWire buffer (%d)\n", errno);
    return;
  }
  data.type = SPA_DATA_MemFd;
  data.flags = SPA_DATA_FLAG_READWRITE;
  data.fd = memory->fd();
  data.mapoffset = 0;
  data.maxsize = output->layout_->size;
  data.data = memory->bytes().data();
  output->memory_[buffer] = std::move(memory);
}

void PipeWireOutput::RemoveBuffer(void* self, pw_buffer* buffer) {
  auto* output = static_cast<PipeWireOutput*>(self);
  output->memory_.erase(buffer);
  if (output->borrowed_ == buffer) output->borrowed_ = nullptr;
}

void PipeWireOutput::OnFormat(const spa_pod* param) {
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
    pw_stream_set_error(stream_, -EINVAL, "unsupported format");
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
  pw_stream_update_params(stream_, params, 2);
}

std::optional<Sink::Place> PipeWireOutput::Lendable() {
  if (!layout_ || !streaming() || layout_->format != VideoFormat::kNv12) return std::nullopt;
  if (!borrowed_) borrowed_ = pw_stream_dequeue_buffer(stream_);
  if (!borrowed_) return std::nullopt;
  const auto mapped = memory_.find(borrowed_);
  if (mapped == memory_.end() || mapped->second->bytes().size() < layout_->size) {
    return std::nullopt;
  }
  return Sink::Place{mapped->second->bytes().first(layout_->size),
                     static_cast<int32_t>(layout_->stride), mapped->second};
}

void PipeWireOutput::Send(const Nv12View& picture, int64_t time_100ns) {
  if (!layout_ || !streaming()) return;
  pw_buffer* buffer = std::exchange(borrowed_, nullptr);
  if (!buffer) buffer = pw_stream_dequeue_buffer(stream_);
  if (!buffer) return;
  // The library may have written the picture straight into this buffer.
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
  pw_stream_queue_buffer(stream_, buffer);
  pw_stream_trigger_process(stream_);
}

}  // namespace vistrel
