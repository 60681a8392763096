#include "sources/ffmpeg_video_decoder.h"

#include <cmath>
#include <cstdint>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libswscale/swscale.h>
}

namespace tessvark {

namespace {

// Pictures larger than this on a side are refused rather than allocated.
constexpr int kMaxSide = 8192;

class FfmpegVideoDecoder final : public VideoDecoder {
 public:
  FfmpegVideoDecoder() = default;
  FfmpegVideoDecoder(const FfmpegVideoDecoder&) = delete;
  FfmpegVideoDecoder& operator=(const FfmpegVideoDecoder&) = delete;
  ~FfmpegVideoDecoder() override { Close(); }

  bool Open(const std::string& path, std::string& error) override;
  void Close() override;
  bool IsOpen() const override { return open_; }
  std::int32_t Width() const override { return width_; }
  std::int32_t Height() const override { return height_; }
  double FramesPerSecond() const override { return frames_per_second_; }
  std::int32_t FrameCount() const override { return frame_count_; }
  double DurationSeconds() const override { return duration_; }
  std::string CodecName() const override { return codec_name_; }
  bool ReservedQueryA() const override { return false; }
  bool ReservedQueryB() const override { return reserved_; }
  bool ReadFrame(cv::Mat& image, double& pts_seconds, std::string& error) override;

 private:
  bool Fail(std::string& error) {
    Close();
    error = kExampleDecodeError;
    return false;
  }
  // Turns the decoded picture in frame_ into a BGR image; false when it cannot be converted.
  bool ConvertFrame(cv::Mat& image, double& pts_seconds);

  AVFormatContext* format_ = nullptr;
  AVCodecContext* codec_ = nullptr;
  SwsContext* scaler_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  int stream_index_ = -1;
  bool flushed_ = false;      // the decoder was told that no more packets come
  bool open_ = false;
  bool reserved_ = true;
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
  std::int32_t frame_count_ = 0;
  double frames_per_second_ = 0.0;
  double duration_ = 0.0;
  std::string codec_name_;
};

bool FfmpegVideoDecoder::Open(const std::string& path, std::string& error) {
  Close();
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  const int opened = path.empty() ? -1 : avformat_open_input(&format_, path.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (opened < 0) {
    format_ = nullptr;  // a failed open frees the context itself
    return Fail(error);
  }
  if (avformat_find_stream_info(format_, nullptr) < 0) return Fail(error);

  const AVCodec* decoder = nullptr;
  stream_index_ = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
  if (stream_index_ < 0 || decoder == nullptr) return Fail(error);
  const AVStream* stream = format_->streams[stream_index_];

  codec_ = avcodec_alloc_context3(decoder);
  if (codec_ == nullptr || avcodec_parameters_to_context(codec_, stream->codecpar) < 0 ||
      avcodec_open2(codec_, decoder, nullptr) < 0) {
    return Fail(error);
  }
  packet_ = av_packet_alloc();
  frame_ = av_frame_alloc();
  if (packet_ == nullptr || frame_ == nullptr) return Fail(error);

  width_ = codec_->width;
  height_ = codec_->height;
  if (width_ <= 0 || height_ <= 0 || width_ > kMaxSide || height_ > kMaxSide) return Fail(error);

  const AVRational rate = stream->avg_frame_rate.den != 0 ? stream->avg_frame_rate : stream->r_frame_rate;
  if (rate.num > 0 && rate.den > 0) frames_per_second_ = av_q2d(rate);

  // The video stream's own length: the container's may include a longer audio track, and
  // counting it would promise pictures that do not exist.
  if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
    duration_ = static_cast<double>(stream->duration) * av_q2d(stream->time_base);
  } else if (format_->duration != AV_NOPTS_VALUE && format_->duration > 0) {
    duration_ = static_cast<double>(format_->duration) / AV_TIME_BASE;
  }
  if (stream->nb_frames > 0 && stream->nb_frames <= INT32_MAX) {
    frame_count_ = static_cast<std::int32_t>(stream->nb_frames);
  } else if (frames_per_second_ > 0.0 && duration_ > 0.0) {
    const double count = std::floor(duration_ * frames_per_second_ + 0.5);
    frame_count_ = count < INT32_MAX ? static_cast<std::int32_t>(count) : INT32_MAX;
  }
  codec_name_ = decoder->id == AV_CODEC_ID_H264 ? "H.264" : "video";
  open_ = true;
  reserved_ = true;
  error.clear();
  return true;
}

void FfmpegVideoDecoder::Close() {
  sws_freeContext(scaler_);
  scaler_ = nullptr;
  av_frame_free(&frame_);
  av_packet_free(&packet_);
  avcodec_free_context(&codec_);
  avformat_close_input(&format_);
  stream_index_ = -1;
  flushed_ = false;
  open_ = false;
  width_ = 0;
  height_ = 0;
  frame_count_ = 0;
  frames_per_second_ = 0.0;
  duration_ = 0.0;
  codec_name_.clear();
}

bool FfmpegVideoDecoder::ConvertFrame(cv::Mat& image, double& pts_seconds) {
  const int width = frame_->width;
  const int height = frame_->height;
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return false;
  scaler_ = sws_getCachedContext(scaler_, width, height, static_cast<AVPixelFormat>(frame_->format),
                                 width, height, AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr, nullptr,
                                 nullptr);
  if (scaler_ == nullptr) return false;
  cv::Mat picture(height, width, CV_8UC3);
  std::uint8_t* planes[1] = {picture.data};
  const int strides[1] = {static_cast<int>(picture.step[0])};
  if (sws_scale(scaler_, frame_->data, frame_->linesize, 0, height, planes, strides) != height) {
    return false;
  }
  const AVStream* stream = format_->streams[stream_index_];
  std::int64_t timestamp = frame_->best_effort_timestamp;
  if (timestamp == AV_NOPTS_VALUE) timestamp = frame_->pts;
  if (timestamp != AV_NOPTS_VALUE) {
    // Presentation time from the start of the clip, as the clip's own player would show it.
    if (stream->start_time != AV_NOPTS_VALUE) timestamp -= stream->start_time;
    pts_seconds = static_cast<double>(timestamp) * av_q2d(stream->time_base);
  } else {
    pts_seconds = 0.0;
  }
  image = picture;
  return true;
}

bool FfmpegVideoDecoder::ReadFrame(cv::Mat& image, double& pts_seconds, std::string& error) {
  error.clear();
  if (!open_) {
    error = kExampleDecodeError;
    return false;
  }
  for (;;) {
    const int received = avcodec_receive_frame(codec_, frame_);
    if (received == 0) {
      const bool converted = ConvertFrame(image, pts_seconds);
      av_frame_unref(frame_);
      if (!converted) error = kExampleDecodeError;
      return converted;
    }
    if (received == AVERROR_EOF) return false;  // end of stream: empty error, still open
    if (received != AVERROR(EAGAIN)) {
      error = kExampleDecodeError;
      return false;
    }
    const int read = av_read_frame(format_, packet_);
    if (read == AVERROR_EOF) {
      if (flushed_) return false;
      flushed_ = true;
      if (avcodec_send_packet(codec_, nullptr) < 0) {
        error = kExampleDecodeError;
        return false;
      }
      continue;
    }
    if (read < 0) {
      error = kExampleDecodeError;
      return false;
    }
    if (packet_->stream_index != stream_index_) {
      av_packet_unref(packet_);
      continue;
    }
    const int sent = avcodec_send_packet(codec_, packet_);
    av_packet_unref(packet_);
    if (sent < 0 && sent != AVERROR(EAGAIN)) {
      error = kExampleDecodeError;
      return false;
    }
  }
}

}  // namespace

std::unique_ptr<VideoDecoder> MakeFfmpegVideoDecoder() { return std::make_unique<FfmpegVideoDecoder>(); }

}  // namespace tessvark
