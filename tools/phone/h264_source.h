// The simulator's camera: encodes the test picture of frame_pattern.h with
// libx264 as the phone does, Annex B with SPS/PPS ahead of every IDR, no
// B-frames, one access unit per picture, an IDR every two seconds and on request.
// Two encodings: the light one that the tests use, whose smooth picture costs
// little to encode and to decode, and a camera's, for benchmarks that weigh
// the receiver against its decoding.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/unique_handle.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace vistrel::phone {

struct AccessUnit {
  std::vector<uint8_t> bytes;  // Annex B
  bool keyframe = false;       // the unit holds an IDR picture
  uint32_t frame_number = 0;
  int64_t pts_us = 0;
};

namespace detail {
void FreeEncoderContext(AVCodecContext* context);
void FreeEncoderFrame(AVFrame* frame);
void FreeEncoderPacket(AVPacket* packet);
}  // namespace detail

class H264Source {
 public:
  enum class Encoding {
    kLight,   // x264's quickest settings: CAVLC, no deblocking filter
    kCamera,  // sensor grain on the picture, High profile with CABAC and the
              // deblocking filter at 6 Mbit/s, as a phone's hardware encoder
  };
  // Even width and height (2..8192) and 1..120 pictures per second; nothing
  // when the encoder is missing or refuses the settings.
  static std::unique_ptr<H264Source> Create(int width = 1280, int height = 720, int fps = 30,
                                            Encoding encoding = Encoding::kLight);

  // Encodes the next picture. False when the encoder fails.
  [[nodiscard]] bool NextAccessUnit(AccessUnit& out);
  // The next picture becomes an IDR with its parameter sets.
  void RequestKeyframe() { keyframe_requested_ = true; }
  // What the camera sees: the numbered test picture (the default), or the
  // monitor's still scene with or without something moving through it.
  enum class Scene { kTestPicture, kStill, kMotion };
  void SetScene(Scene scene) { scene_ = scene; }

  int width() const { return width_; }
  int height() const { return height_; }
  int fps() const { return fps_; }

 private:
  struct Key {
    explicit Key() = default;
  };

 public:
  explicit H264Source(Key) {}  // through Create only

 private:
  UniqueHandle<AVCodecContext*, detail::FreeEncoderContext> context_;
  UniqueHandle<AVFrame*, detail::FreeEncoderFrame> frame_;
  UniqueHandle<AVPacket*, detail::FreeEncoderPacket> packet_;
  int width_ = 0;
  int height_ = 0;
  int fps_ = 0;
  uint32_t next_frame_ = 0;
  bool keyframe_requested_ = false;
  Encoding encoding_ = Encoding::kLight;
  uint32_t grain_state_ = 0x9E3779B9u;
  Scene scene_ = Scene::kTestPicture;
};

}  // namespace vistrel::phone
