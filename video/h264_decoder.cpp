// libavcodec's H.264 decoder in low-delay mode: one access unit in, its picture
// out in the same call. The planes go to the callback as the decoder left them;
// U and V are interleaved into one reused buffer only for a caller that asks
// for NV12.
#include "video/h264_decoder.h"

#include "video/picture.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "platform/log.h"

namespace vistrel {
namespace detail {
void FreeCodecContext(AVCodecContext* context) {
  avcodec_free_context(&context);
}
void FreePacket(AVPacket* packet) {
  av_packet_free(&packet);
}
void FreeFrame(AVFrame* frame) {
  av_frame_free(&frame);
}
}  // namespace detail

namespace {

std::shared_ptr<const void> RetainFrame(const void* context) {
  AVFrame* clone = av_frame_clone(static_cast<const AVFrame*>(context));
  if (!clone) return nullptr;
  return std::shared_ptr<const void>(clone, [](AVFrame* frame) { av_frame_free(&frame); });
}

// Up to 4096x2304 (4K in either orientation): the phone's parameter sets are
// untrusted, and a huge declared size would otherwise cost gigabytes of
// reference pictures.
constexpr int64_t kMaxPixels = int64_t{4096} * 2304;

// Concealment notes on damaged input would otherwise go to standard error for
// every broken unit; our own failure lines say what matters.
void QuietLibraryLog() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_FATAL); });
}

void LogOutput(int coded_width, int coded_height, int display_width, int display_height) {
  LogLine("[decoder] output NV12 %ux%u (display %ux%u)\n", static_cast<unsigned>(coded_width),
          static_cast<unsigned>(coded_height), static_cast<unsigned>(display_width),
          static_cast<unsigned>(display_height));
}

void LogOutputFailure(int error, unsigned long status) {
  LogLine("[decoder] ProcessOutput failed 0x%08X (status 0x%lX)\n", static_cast<unsigned>(error),
          status);
}

}  // namespace

H264Decoder::H264Decoder() = default;
H264Decoder::~H264Decoder() = default;

int32_t H264Decoder::Initialize() {
  QuietLibraryLog();
  frame_.Reset();
  packet_.Reset();
  context_.Reset();
  coded_width_ = coded_height_ = display_width_ = display_height_ = 0;
  stream_format_known_ = false;

  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (codec == nullptr) return AVERROR_DECODER_NOT_FOUND;
  UniqueHandle<AVCodecContext*, detail::FreeCodecContext> context(avcodec_alloc_context3(codec));
  if (!context) return AVERROR(ENOMEM);
  // Low delay gives each picture back at once; the session's thread is the
  // decoding thread, so no frame or slice threads.
  context.Get()->flags |= AV_CODEC_FLAG_LOW_DELAY;
  context.Get()->thread_count = 1;
  context.Get()->thread_type = 0;
  context.Get()->max_pixels = kMaxPixels;
  // A size hint only; the stream's parameter sets decide.
  context.Get()->width = static_cast<int>(kPictureWidth);
  context.Get()->height = static_cast<int>(kPictureHeight);
  if (const int result = avcodec_open2(context.Get(), codec, nullptr); result < 0) return result;

  UniqueHandle<AVPacket*, detail::FreePacket> packet(av_packet_alloc());
  UniqueHandle<AVFrame*, detail::FreeFrame> frame(av_frame_alloc());
  if (!packet || !frame) return AVERROR(ENOMEM);
  context_ = std::move(context);
  packet_ = std::move(packet);
  frame_ = std::move(frame);
  // The output is negotiated here, with the hinted size, as a decoder that is
  // given its output type at set-up reports it; the stream's own size follows
  // with its first picture.
  const AVCodecContext* opened = context_.Get();
  coded_width_ = opened->coded_width > 0 ? opened->coded_width : opened->width;
  coded_height_ = opened->coded_height > 0 ? opened->coded_height : opened->height;
  display_width_ = opened->width;
  display_height_ = opened->height;
  LogOutput(coded_width_, coded_height_, display_width_, display_height_);
  return 0;
}

int32_t H264Decoder::Decode(const uint8_t* data, size_t size, int64_t sample_time_100ns,
                            const FrameCallback& on_frame) {
  if (!context_ || !on_frame) return AVERROR(EINVAL);
  // An empty packet would tell the decoder that the stream has ended, after
  // which it refuses all input; an empty unit simply holds no picture.
  if (size == 0) return 0;
  if (data == nullptr || size > static_cast<size_t>(INT_MAX) - AV_INPUT_BUFFER_PADDING_SIZE) {
    return AVERROR(EINVAL);
  }

  // The decoder reads a little past the end of its input, so the unit is copied
  // into a padded packet.
  AVPacket* packet = packet_.Get();
  av_packet_unref(packet);
  if (const int result = av_new_packet(packet, static_cast<int>(size)); result < 0) return result;
  std::memcpy(packet->data, data, size);
  packet->pts = sample_time_100ns;
  packet->dts = sample_time_100ns;

  int result = avcodec_send_packet(context_.Get(), packet);
  if (result == AVERROR(EAGAIN)) {
    // Output is pending: hand it out first, then offer the unit once more.
    if (const int drained = DrainOutput(on_frame); drained < 0) {
      av_packet_unref(packet);
      return drained;
    }
    result = avcodec_send_packet(context_.Get(), packet);
  }
  av_packet_unref(packet);
  if (result < 0) {
    LogLine("[decoder] ProcessInput failed 0x%08X (%zu bytes)\n", static_cast<unsigned>(result),
            size);
    return result;
  }
  return DrainOutput(on_frame);
}

int32_t H264Decoder::DrainOutput(const FrameCallback& on_frame) {
  for (;;) {
    const int result = avcodec_receive_frame(context_.Get(), frame_.Get());
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return 0;
    if (result < 0) {
      LogOutputFailure(result, 0);
      return result;
    }
    const int delivered = DeliverFrame(on_frame);
    av_frame_unref(frame_.Get());
    if (delivered < 0) return delivered;
  }
}

void H264Decoder::NoteOutputSize() {
  const AVCodecContext* context = context_.Get();
  const AVFrame* frame = frame_.Get();
  // The decoder's buffer size is whole macroblocks; fall back to the picture
  // size when it does not say.
  const int coded_width = context->coded_width > 0 ? context->coded_width : frame->width;
  const int coded_height = context->coded_height > 0 ? context->coded_height : frame->height;
  if (stream_format_known_ && coded_width == coded_width_ && coded_height == coded_height_ &&
      frame->width == display_width_ && frame->height == display_height_) {
    return;
  }
  stream_format_known_ = true;
  coded_width_ = coded_width;
  coded_height_ = coded_height;
  display_width_ = frame->width;
  display_height_ = frame->height;
  LogOutput(coded_width_, coded_height_, display_width_, display_height_);
}

int32_t H264Decoder::DeliverFrame(const FrameCallback& on_frame) {
  const AVFrame* frame = frame_.Get();
  const int width = frame->width;
  const int height = frame->height;
  const int stride = frame->linesize[0];
  const int chroma_width = (width + 1) / 2;
  const int chroma_height = (height + 1) / 2;
  const auto format = static_cast<AVPixelFormat>(frame->format);
  const bool planar_420 = format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P;
  // Only 8-bit 4:2:0 (and grey) maps onto NV12 without resampling; a stride too
  // narrow for the UV pairs cannot be shared by both planes.
  if ((!planar_420 && format != AV_PIX_FMT_GRAY8) || width <= 0 || height <= 0 ||
      frame->data[0] == nullptr || stride < 2 * chroma_width ||
      (planar_420 && (frame->data[1] == nullptr || frame->data[2] == nullptr ||
                      frame->linesize[1] < chroma_width || frame->linesize[2] < chroma_width))) {
    LogOutputFailure(AVERROR_PATCHWELCOME, static_cast<unsigned long>(frame->format));
    return AVERROR_PATCHWELCOME;
  }
  NoteOutputSize();

  Yuv420View planes{frame->data[0], frame->data[1], frame->data[2], stride, frame->linesize[1],
                    width, height};
  if (!planar_420) {
    // Grey: neutral chroma, one plane serving as U and V.
    const size_t grey_size = static_cast<size_t>(chroma_width) * static_cast<size_t>(chroma_height);
    if (grey_.size() != grey_size) grey_.assign(grey_size, 128);
    planes.u = planes.v = grey_.data();
    planes.chroma_pitch = chroma_width;
  } else if (frame->linesize[1] != frame->linesize[2]) {
    LogOutputFailure(AVERROR_PATCHWELCOME, static_cast<unsigned long>(frame->format));
    return AVERROR_PATCHWELCOME;
  }
  DecodedPicture picture(planes, chroma_);
  // The decoder's buffers are counted references: a clone keeps this
  // picture's planes while the decoder goes on with others. Grey's chroma is
  // the decoder's own and goes with the next picture.
  if (planar_420) picture.AllowRetain(&RetainFrame, frame);
  on_frame(picture);
  return 0;
}

void H264Decoder::Flush() {
  if (context_) avcodec_flush_buffers(context_.Get());
}

bool IsKeyframeAccessUnit(const uint8_t* data, size_t size, bool flag) {
  if (!flag || data == nullptr || size < 4) return false;
  for (size_t i = 0; i + 3 < size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && (data[i + 3] & 0x1F) == 5) {
      return true;
    }
  }
  return false;
}

}  // namespace vistrel
