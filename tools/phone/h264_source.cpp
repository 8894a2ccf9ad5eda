// libx264 through libavcodec, tuned as a phone's hardware encoder behaves:
// zero latency (one picture in, its access unit out), no B-frames, repeated
// headers, and forced keyframes as real IDRs.
#include "tools/phone/h264_source.h"

#include <cerrno>
#include <cstddef>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include "tools/phone/frame_pattern.h"

namespace vistrel::phone {
namespace detail {
void FreeEncoderContext(AVCodecContext* context) {
  avcodec_free_context(&context);
}
void FreeEncoderFrame(AVFrame* frame) {
  av_frame_free(&frame);
}
void FreeEncoderPacket(AVPacket* packet) {
  av_packet_free(&packet);
}
}  // namespace detail

namespace {
constexpr int kMaxSide = 8192;
constexpr int kMaxFps = 120;
// The rate the phone's encoder holds, and the one clip files declare.
constexpr int64_t kCameraBitRate = 6'000'000;

// A camera sensor's grain: each luma byte moved by up to 6 either way, new in
// every picture, so that no two pictures repeat a block.
void AddGrain(uint8_t* luma, int stride, int width, int height, uint32_t& state) {
  for (int row = 0; row < height; ++row) {
    uint8_t* line = luma + static_cast<ptrdiff_t>(row) * stride;
    for (int col = 0; col < width; ++col) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      const int value = line[col] + static_cast<int>(state % 13) - 6;
      line[col] = static_cast<uint8_t>(value < 16 ? 16 : value > 235 ? 235 : value);
    }
  }
}
}  // namespace

std::unique_ptr<H264Source> H264Source::Create(int width, int height, int fps,
                                               Encoding encoding) {
  if (width < 2 || height < 2 || width > kMaxSide || height > kMaxSide || width % 2 != 0 ||
      height % 2 != 0 || fps < 1 || fps > kMaxFps) {
    return nullptr;
  }
  // x264 announces its settings on standard error at every open; keep errors.
  if (av_log_get_level() > AV_LOG_ERROR) av_log_set_level(AV_LOG_ERROR);
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (codec == nullptr) return nullptr;

  auto source = std::make_unique<H264Source>(Key{});
  source->context_.Reset(avcodec_alloc_context3(codec));
  source->frame_.Reset(av_frame_alloc());
  source->packet_.Reset(av_packet_alloc());
  if (!source->context_ || !source->frame_ || !source->packet_) return nullptr;

  AVCodecContext* context = source->context_.Get();
  context->width = width;
  context->height = height;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->time_base = AVRational{1, fps};
  context->framerate = AVRational{fps, 1};
  context->gop_size = 2 * fps;
  context->max_b_frames = 0;
  context->thread_count = 1;
  // No global header: the parameter sets travel in-band before every IDR.
  context->flags &= ~AV_CODEC_FLAG_GLOBAL_HEADER;
  if (encoding == Encoding::kCamera) {
    context->bit_rate = kCameraBitRate;
    context->rc_max_rate = kCameraBitRate;
    context->rc_buffer_size = static_cast<int>(kCameraBitRate / 2);
    av_opt_set(context->priv_data, "preset", "veryfast", 0);
    av_opt_set(context->priv_data, "profile", "high", 0);
  } else {
    av_opt_set(context->priv_data, "preset", "ultrafast", 0);
  }
  av_opt_set(context->priv_data, "tune", "zerolatency", 0);
  av_opt_set(context->priv_data, "forced-idr", "1", 0);
  av_opt_set(context->priv_data, "x264-params", "repeat-headers=1:annexb=1:scenecut=0", 0);
  if (avcodec_open2(context, codec, nullptr) < 0) return nullptr;

  AVFrame* frame = source->frame_.Get();
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = width;
  frame->height = height;
  if (av_frame_get_buffer(frame, 0) < 0) return nullptr;
  source->width_ = width;
  source->height_ = height;
  source->fps_ = fps;
  source->encoding_ = encoding;
  return source;
}

bool H264Source::NextAccessUnit(AccessUnit& out) {
  AVCodecContext* context = context_.Get();
  AVFrame* frame = frame_.Get();
  AVPacket* packet = packet_.Get();
  // The encoder may still hold a reference to the previous picture's planes.
  if (av_frame_make_writable(frame) < 0) return false;
  const uint32_t number = next_frame_++;
  if (scene_ == Scene::kTestPicture) {
    DrawTestPicture(number, frame->data[0], frame->linesize[0], frame->data[1],
                    frame->linesize[1], frame->data[2], frame->linesize[2], width_, height_);
  } else {
    DrawMonitorScene(number, scene_ == Scene::kMotion, frame->data[0], frame->linesize[0],
                     frame->data[1], frame->linesize[1], frame->data[2], frame->linesize[2],
                     width_, height_);
  }
  if (encoding_ == Encoding::kCamera) {
    AddGrain(frame->data[0], frame->linesize[0], width_, height_, grain_state_);
  }
  frame->pts = number;
  frame->pict_type = keyframe_requested_ ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  frame->key_frame = keyframe_requested_ ? 1 : 0;
  keyframe_requested_ = false;
  if (avcodec_send_frame(context, frame) < 0) return false;

  const int result = avcodec_receive_packet(context, packet);
  if (result < 0) return false;  // zero latency: every picture yields its unit at once
  out.bytes.assign(packet->data, packet->data + packet->size);
  out.keyframe = (packet->flags & AV_PKT_FLAG_KEY) != 0;
  out.frame_number = static_cast<uint32_t>(packet->pts);
  out.pts_us = packet->pts * 1'000'000 / fps_;
  av_packet_unref(packet);
  return true;
}

}  // namespace vistrel::phone
