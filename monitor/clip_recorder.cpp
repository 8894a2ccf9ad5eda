#include "monitor/clip_recorder.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include <cstring>
#include <system_error>

#include "monitor/h264_sps.h"

namespace vistrel {
namespace {

constexpr int64_t kMicroseconds = 1'000'000;
constexpr int64_t kAverageBitRate = 6'000'000;

}  // namespace

struct ClipRecorder::Muxer {
  ~Muxer() {
    if (context) {
      if (context->pb) avio_closep(&context->pb);
      avformat_free_context(context);
    }
  }
  AVFormatContext* context = nullptr;
  AVStream* stream = nullptr;
};

ClipRecorder::ClipRecorder() = default;

ClipRecorder::~ClipRecorder() { Close(true); }

bool ClipRecorder::open() const { return muxer_ != nullptr; }

int32_t ClipRecorder::Create(const std::filesystem::path& path, std::span<const uint8_t> unit,
                             int64_t timestamp_us, int width, int height, int fps) {
  if (muxer_) return kRecorderUnexpected;
  const ParameterSets sets = FindParameterSets(unit);
  if (sets.sps.size() < 4) return kRecorderInvalidArg;
  // The track says what the phone really sends: portrait and 1080p included.
  if (std::optional<SpsInfo> info = ParseSps(sets.sps)) {
    width = static_cast<int>(info->width);
    height = static_cast<int>(info->height);
  }

  auto muxer = std::make_unique<Muxer>();
  int result = avformat_alloc_output_context2(&muxer->context, nullptr, "mp4", nullptr);
  if (result < 0) return result;
  muxer->stream = avformat_new_stream(muxer->context, nullptr);
  if (!muxer->stream) return AVERROR(ENOMEM);
  AVCodecParameters* parameters = muxer->stream->codecpar;
  parameters->codec_type = AVMEDIA_TYPE_VIDEO;
  parameters->codec_id = AV_CODEC_ID_H264;
  parameters->width = width;
  parameters->height = height;
  parameters->bit_rate = kAverageBitRate;
  parameters->profile = sets.sps[1];
  parameters->level = sets.sps[3];
  parameters->extradata = static_cast<uint8_t*>(
      av_mallocz(sets.sequence_header.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!parameters->extradata) return AVERROR(ENOMEM);
  std::memcpy(parameters->extradata, sets.sequence_header.data(), sets.sequence_header.size());
  parameters->extradata_size = static_cast<int>(sets.sequence_header.size());
  muxer->stream->time_base = AVRational{1, kMicroseconds};
  muxer->stream->avg_frame_rate = AVRational{fps > 0 ? fps : 30, 1};
  muxer->stream->sample_aspect_ratio = AVRational{1, 1};

  result = avio_open(&muxer->context->pb, path.c_str(), AVIO_FLAG_WRITE);
  if (result < 0) return result;
  // Each fragment reaches the file as it is completed, not when a buffer fills.
  muxer->context->flags |= AVFMT_FLAG_FLUSH_PACKETS;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
  av_dict_set(&options, "video_track_timescale", "1000000", 0);
  result = avformat_write_header(muxer->context, &options);
  av_dict_free(&options);
  if (result < 0) {
    muxer.reset();
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    return result;
  }

  muxer_ = std::move(muxer);
  path_ = path;
  first_timestamp_ = timestamp_us;
  frame_duration_ = fps > 0 ? kMicroseconds / fps : 33'333;
  written_duration_ = 0;
  pending_.assign(unit.begin(), unit.end());
  pending_timestamp_ = timestamp_us;
  pending_keyframe_ = true;
  has_pending_ = true;
  return 0;
}

int32_t ClipRecorder::Write(std::span<const uint8_t> unit, int64_t timestamp_us, bool keyframe) {
  if (!muxer_) return kRecorderUnexpected;
  if (has_pending_) {
    // Time stamps that do not increase are pushed 1 ms past the previous one.
    if (timestamp_us <= pending_timestamp_) timestamp_us = pending_timestamp_ + 1000;
    if (const int32_t result = WritePending(timestamp_us - pending_timestamp_); result < 0) {
      return result;
    }
  }
  pending_.assign(unit.begin(), unit.end());
  pending_timestamp_ = timestamp_us;
  pending_keyframe_ = keyframe;
  has_pending_ = true;
  return 0;
}

int32_t ClipRecorder::WritePending(int64_t duration_us) {
  has_pending_ = false;  // a failed unit is not tried again
  AVPacket* packet = av_packet_alloc();
  if (!packet) return AVERROR(ENOMEM);
  int result = av_new_packet(packet, static_cast<int>(pending_.size()));
  if (result >= 0) {
    std::memcpy(packet->data, pending_.data(), pending_.size());
    packet->stream_index = muxer_->stream->index;
    const AVRational microseconds{1, kMicroseconds};
    const AVRational track = muxer_->stream->time_base;
    packet->pts = packet->dts =
        av_rescale_q(pending_timestamp_ - first_timestamp_, microseconds, track);
    packet->duration = av_rescale_q(duration_us, microseconds, track);
    if (pending_keyframe_) packet->flags |= AV_PKT_FLAG_KEY;
    result = av_write_frame(muxer_->context, packet);
    // A full disk shows on the output, not always in the result.
    if (result >= 0 && muxer_->context->pb->error < 0) result = muxer_->context->pb->error;
  }
  av_packet_free(&packet);
  if (result < 0) return result;
  written_duration_ = pending_timestamp_ - first_timestamp_ + duration_us;
  return 0;
}

int32_t ClipRecorder::Finish() {
  if (!muxer_) return kRecorderUnexpected;
  int32_t result = has_pending_ ? WritePending(frame_duration_) : 0;
  if (result >= 0) result = av_write_trailer(muxer_->context);
  if (result >= 0) {
    avio_flush(muxer_->context->pb);
    if (muxer_->context->pb->error < 0) result = muxer_->context->pb->error;
  }
  if (result >= 0) result = avio_closep(&muxer_->context->pb);
  muxer_.reset();
  return result < 0 ? result : 0;
}

void ClipRecorder::Close(bool remove_file) {
  if (!muxer_) return;
  muxer_.reset();
  if (remove_file) {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
}

std::optional<ClipFacts> ReadClipFacts(const std::filesystem::path& path) {
  AVFormatContext* context = nullptr;
  if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0) return std::nullopt;
  std::optional<ClipFacts> facts;
  if (avformat_find_stream_info(context, nullptr) >= 0 && context->nb_streams > 0) {
    const AVStream* stream = context->streams[0];
    int64_t duration_us = 0;
    if (stream->duration > 0) {
      duration_us = av_rescale_q(stream->duration, stream->time_base, AVRational{1, kMicroseconds});
    } else if (context->duration > 0) {
      duration_us = context->duration;  // AV_TIME_BASE is microseconds
    }
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(path, ec);
    facts = ClipFacts{duration_us / 1000, ec ? 0 : static_cast<uint64_t>(size)};
  }
  avformat_close_input(&context);
  return facts;
}

}  // namespace vistrel
