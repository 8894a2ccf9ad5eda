// H.264 access units in, NV12 pictures out, synchronously: every picture is
// handed to the caller's callback inside the Decode call that produced it.
// One decoder per streaming session, used only from that session's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/unique_handle.h"
#include "video/nv12_view.h"

struct AVCodecContext;
struct AVPacket;
struct AVFrame;

namespace vistrel {

// One decoded picture: the decoder's Y, U and V planes, and on request NV12
// (the UV plane with U first, one pair per 2x2 block, (height + 1) / 2 rows,
// at the luma pitch); width and height are the display size. Valid only
// during the call.
using FrameCallback = std::function<void(const DecodedPicture& picture)>;

namespace detail {
void FreeCodecContext(AVCodecContext* context);
void FreePacket(AVPacket* packet);
void FreeFrame(AVFrame* frame);
}  // namespace detail

class H264Decoder {
 public:
  H264Decoder();
  ~H264Decoder();
  H264Decoder(const H264Decoder&) = delete;
  H264Decoder& operator=(const H264Decoder&) = delete;

  // Opens the decoder; a second call replaces the previous one. 0 on success,
  // else a negative error code. Logs the output line with the hinted size; the
  // first picture logs the stream's size, and later pictures a change of it.
  [[nodiscard]] int32_t Initialize();

  // Decodes one access unit in Annex B form. `on_frame` is called for each
  // picture the unit completes, before Decode returns. 0 on success (also when
  // no picture came out), else a negative error code; the decoder's own
  // refusals are logged.
  [[nodiscard]] int32_t Decode(const uint8_t* data, size_t size, int64_t sample_time_100ns,
                               const FrameCallback& on_frame);

  // Drops every queued input and output; the stream must restart at a keyframe.
  void Flush();

 private:
  int32_t DrainOutput(const FrameCallback& on_frame);
  int32_t DeliverFrame(const FrameCallback& on_frame);
  void NoteOutputSize();

  UniqueHandle<AVCodecContext*, detail::FreeCodecContext> context_;
  UniqueHandle<AVPacket*, detail::FreePacket> packet_;
  UniqueHandle<AVFrame*, detail::FreeFrame> frame_;
  std::vector<uint8_t> chroma_;  // the NV12 UV plane when asked for, reused
  std::vector<uint8_t> grey_;    // neutral chroma for grey pictures
  // The sizes last logged: coded width/height, display width/height.
  bool stream_format_known_ = false;  // a picture has been delivered since Initialize
  int coded_width_ = 0;
  int coded_height_ = 0;
  int display_width_ = 0;
  int display_height_ = 0;
};

// True when the phone flags the unit as a keyframe and it really holds an IDR
// slice: at least 4 bytes and somewhere a start code 00 00 01 followed by a
// NAL header byte of type 5.
[[nodiscard]] bool IsKeyframeAccessUnit(const uint8_t* data, size_t size, bool flag);

}  // namespace vistrel
