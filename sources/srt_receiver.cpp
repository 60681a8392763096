#include "sources/srt_receiver.h"

#include <chrono>
#include <cstdarg>
#include <cstring>
#include <optional>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "core/steady_clock.h"
#include "platform/thread_name.h"

namespace tessvark {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t kLargestAllocation = 100663296;      // 96 MiB
constexpr int kLargestPacket = 8388608;                    // 8 MiB
constexpr std::int64_t kPublishSpacingNs = 50000000;       // at most 20 pictures a second
constexpr auto kPacketSilence = std::chrono::seconds(5);
constexpr int kMaxConsecutiveSendFailures = 60;

// What the listener can and cannot check through FFmpeg, said in the status instead of claiming
// checks that do not happen. libsrt refuses a caller whose passphrase differs inside its own
// handshake, so FFmpeg's listener only ever sees no caller; and FFmpeg accepts any caller's stream
// id without handing it on.
constexpr char kPassphraseNote[] =
    "SRT encryption is on: a sender with another passphrase cannot connect and shows only as waiting";
constexpr char kStreamIdNote[] = "SRT stream ID is not checked: any caller is accepted";

// FFmpeg's interrupt and log callbacks carry no context of ours.
std::atomic<bool> g_interrupt{false};
std::atomic<bool> g_passphrase_mismatch{false};

int InterruptCallback(void*) { return g_interrupt.load() ? 1 : 0; }

void LogCallback(void* avcl, int level, const char* format, va_list args) {
  char line[512];
  int print_prefix = 1;
  av_log_format_line2(avcl, level, format, args, line, sizeof(line), &print_prefix);
  if (std::strstr(line, "Incorrect passphrase") != nullptr || std::strstr(line, "SRTO_PASSPHRASE") != nullptr) {
    g_passphrase_mismatch.store(true);
  }
}

AVPixelFormat FirstOfferedFormat(AVCodecContext*, const AVPixelFormat* formats) {
  return formats == nullptr ? AV_PIX_FMT_NONE : formats[0];
}

std::string FfmpegErrorText(int code) {
  char text[160] = {};
  av_strerror(code, text, sizeof(text));
  return text;
}

// Zeroes a secret held by an FFmpeg option dictionary before the dictionary is freed.
void WipeDictionaryValue(AVDictionary* options, const char* key) {
  AVDictionaryEntry* entry = av_dict_get(options, key, nullptr, 0);
  if (entry != nullptr && entry->value != nullptr) {
    volatile char* bytes = entry->value;
    for (std::size_t i = 0; bytes[i] != 0; ++i) bytes[i] = 0;
  }
}

bool OpenDecoder(const AVCodecParameters* parameters, bool retry, AVCodecContext*& codec) {
  for (int attempt = 0; attempt < (retry ? 2 : 1); ++attempt) {
    avcodec_free_context(&codec);
    const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (decoder == nullptr) return false;
    codec = avcodec_alloc_context3(decoder);
    if (codec == nullptr) return false;
    if (avcodec_parameters_to_context(codec, parameters) < 0) {
      avcodec_free_context(&codec);
      return false;
    }
    codec->get_format = FirstOfferedFormat;
    if (avcodec_open2(codec, decoder, nullptr) == 0) return true;
  }
  avcodec_free_context(&codec);
  return false;
}

}  // namespace

// The FFmpeg objects and pacing of one accepted caller.
struct SrtReceiver::Session {
  AVFormatContext* input = nullptr;
  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  SwsContext* scaler = nullptr;
  int scaler_width = 0;
  int scaler_height = 0;
  int scaler_format = AV_PIX_FMT_NONE;
  int stream_index = -1;
  int send_failures = 0;
  bool published = false;
  std::int64_t last_published_at = 0;
  std::int64_t generation = 0;
  std::string label;
  std::string live_note;   // what the status says while this caller is live
  LatestFrameSlot* slot = nullptr;

  ~Session() {
    sws_freeContext(scaler);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&input);
  }
};

SrtReceiver::~SrtReceiver() {
  Stop();
  MutexLock lock(mutex_);
  WipeString(settings_.passphrase);
}

bool SrtReceiver::Start(const SrtSettings& settings, LatestFrameSlot* slot, const std::string& label,
                        SrtSessionCallback begin_session) {
  ValidatedSrtSettings checked = ValidateSrtSettings(settings);
  if (!checked.ok) {
    SetError(checked.message);
    return false;
  }
  Stop();
  {
    MutexLock lock(mutex_);
    WipeString(settings_.passphrase);
    settings_ = checked.settings;
    label_ = label;
    begin_session_ = std::move(begin_session);
    slot_ = slot;
    status_ = SrtStatus{};
    status_.state = "connecting";
    status_.active = true;
  }
  WipeString(checked.settings.passphrase);
  stop_.store(false);
  g_interrupt.store(false);
  thread_ = std::thread(&SrtReceiver::Run, this);
  return true;
}

void SrtReceiver::Stop() {
  {
    // Taken so a pause that has just checked the flag cannot miss the wake-up.
    MutexLock lock(mutex_);
    stop_.store(true);
    g_interrupt.store(true);
  }
  stop_wake_.SignalAll();
  if (thread_.joinable()) thread_.join();
  MutexLock lock(mutex_);
  WipeString(settings_.passphrase);
  if (status_.state != "error") {
    status_.state = "stopped";
    status_.message.clear();
  }
  status_.active = false;
}

SrtStatus SrtReceiver::GetStatus() const {
  MutexLock lock(mutex_);
  return status_;
}

void SrtReceiver::SetError(const std::string& message) {
  MutexLock lock(mutex_);
  status_.state = "error";
  status_.message = message;
  status_.active = false;
}

void SrtReceiver::BeginListening(const std::string& note) {
  MutexLock lock(mutex_);
  status_.state = "connecting";
  status_.message = note;
  status_.active = true;
  ++status_.listen_attempts;
}

void SrtReceiver::PauseUnlessStopped(int milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  MutexLock lock(mutex_);
  while (!stop_.load() && stop_wake_.WaitUntil(deadline)) {
  }
}

void SrtReceiver::Run() {
  NameThisThread("srt");
  av_max_alloc(kLargestAllocation);
  av_log_set_callback(LogCallback);
  avformat_network_init();

  std::string url;
  std::string passphrase;
  std::string stream_id;
  std::int32_t key_length = 0;
  bool retry_decoder_open = true;
  {
    MutexLock lock(mutex_);
    url = BuildSrtListenerUrl(settings_);
    passphrase = settings_.passphrase;
    stream_id = settings_.stream_id;
    key_length = settings_.key_length;
    retry_decoder_open = settings_.retry_decoder_open;
  }
  std::string waiting_note;
  if (!passphrase.empty()) waiting_note = kPassphraseNote;
  if (!stream_id.empty()) waiting_note += (waiting_note.empty() ? "" : "; ") + std::string(kStreamIdNote);

  while (!stop_.load()) {
    g_passphrase_mismatch.store(false);
    BeginListening(waiting_note);

    Session session;
    session.input = avformat_alloc_context();
    if (session.input == nullptr) {
      SetError("out of memory");
      break;
    }
    session.input->interrupt_callback.callback = InterruptCallback;
    session.input->interrupt_callback.opaque = nullptr;
    if (av_opt_set(session.input, "format_whitelist", "mpegts", 0) < 0 ||
        av_opt_set(session.input, "codec_whitelist", "h264", 0) < 0) {
      SetError("could not restrict the incoming stream");
      break;
    }
    AVDictionary* options = nullptr;
    av_dict_set(&options, "probesize", "1000000", 0);
    av_dict_set(&options, "analyzeduration", "1000000", 0);
    if (!passphrase.empty()) {
      av_dict_set(&options, "passphrase", passphrase.c_str(), 0);
      av_dict_set(&options, "pbkeylen", std::to_string(key_length).c_str(), 0);
    }
    if (!stream_id.empty()) av_dict_set(&options, "streamid", stream_id.c_str(), 0);

    const int opened = avformat_open_input(&session.input, url.c_str(), nullptr, &options);
    if (opened < 0) session.input = nullptr;  // a failed open frees the context itself
    const bool listen_timed_out = opened == AVERROR(ETIMEDOUT) || opened == AVERROR(EAGAIN);
    if (listen_timed_out) {
      MutexLock lock(mutex_);
      ++status_.listen_timeouts;
    }
    // A failed open (a listen time-out among them) hands the options back untouched, so only a
    // successful one shows whether the SRT protocol took the security options.
    const bool security_ignored =
        opened >= 0 && ((!passphrase.empty() && (av_dict_get(options, "passphrase", nullptr, 0) != nullptr ||
                                                 av_dict_get(options, "pbkeylen", nullptr, 0) != nullptr)) ||
                        (!stream_id.empty() && av_dict_get(options, "streamid", nullptr, 0) != nullptr));
    WipeDictionaryValue(options, "passphrase");
    av_dict_free(&options);
    if (security_ignored) {
      SetError("Can't read this source");
      break;
    }
    if (g_passphrase_mismatch.load()) {
      SetError("SRT encryption settings do not match the sender");
      break;
    }
    if (opened < 0) {
      if (stop_.load() || opened == AVERROR_EXIT) break;
      if (listen_timed_out) continue;
      SetError("cannot listen for SRT: " + FfmpegErrorText(opened));
      PauseUnlessStopped(300);
      continue;
    }

    session.stream_index = av_find_best_stream(session.input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVStream* stream = session.stream_index >= 0 ? session.input->streams[session.stream_index] : nullptr;
    if (stream == nullptr || stream->codecpar == nullptr || stream->codecpar->codec_id != AV_CODEC_ID_H264) {
      SetError("expected H.264 video");
      avformat_close_input(&session.input);
      PauseUnlessStopped(1000);
      continue;
    }
    if (!OpenDecoder(stream->codecpar, retry_decoder_open, session.codec)) {
      SetError("could not open the H.264 decoder");
      break;
    }
    SrtSessionCallback begin_session;
    {
      MutexLock lock(mutex_);
      begin_session = begin_session_;
      session.label = label_;
      session.slot = slot_;
    }
    session.generation = begin_session ? static_cast<std::int64_t>(begin_session()) : 0;
    {
      MutexLock lock(mutex_);
      status_.decoder = "native";
    }
    // A connected caller holds the passphrase; only the stream id note still applies.
    session.live_note = stream_id.empty() ? "" : kStreamIdNote;
    ReceiveSession(session);
  }

  WipeString(passphrase);
  av_log_set_callback(av_log_default_callback);
  MutexLock lock(mutex_);
  if (status_.state != "error") {
    status_.state = "stopped";
    status_.message.clear();
  }
  status_.active = false;
}

void SrtReceiver::ReceiveSession(Session& session) {
  session.packet = av_packet_alloc();
  session.frame = av_frame_alloc();
  if (session.packet == nullptr || session.frame == nullptr) return;
  SteadyClock::time_point last_packet = SteadyClock::now();

  while (!stop_.load()) {
    if (SteadyClock::now() - last_packet >= kPacketSilence) return;
    const int read = av_read_frame(session.input, session.packet);
    if (read == AVERROR(EAGAIN) || read == AVERROR_EXIT) {
      av_packet_unref(session.packet);
      continue;
    }
    if (read < 0) return;
    last_packet = SteadyClock::now();
    if (session.packet->stream_index != session.stream_index || session.packet->size > kLargestPacket) {
      av_packet_unref(session.packet);
      continue;
    }
    {
      MutexLock lock(mutex_);
      ++status_.video_packets;
    }
    const int sent = avcodec_send_packet(session.codec, session.packet);
    av_packet_unref(session.packet);
    if (sent < 0 && sent != AVERROR(EAGAIN)) {
      MutexLock lock(mutex_);
      ++status_.decode_errors;
      if (++session.send_failures >= kMaxConsecutiveSendFailures) {
        status_.state = "error";
        status_.message = "could not decode H.264 video";
        status_.active = false;
      }
      continue;
    }
    while (!stop_.load()) {
      const int received = avcodec_receive_frame(session.codec, session.frame);
      if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) break;
      if (received < 0) {
        MutexLock lock(mutex_);
        ++status_.decode_errors;
        break;
      }
      HandlePicture(session);
    }
    MutexLock lock(mutex_);
    if (status_.state == "error" && !status_.message.empty()) return;
  }
}

void SrtReceiver::HandlePicture(Session& session) {
  AVFrame* picture = session.frame;
  session.send_failures = 0;
  const std::optional<SrtOutputSize> size = ComputeSrtOutputSize(picture->width, picture->height);
  {
    MutexLock lock(mutex_);
    status_.decoder = "native";
    if (size) {
      status_.width = size->width;
      status_.height = size->height;
    }
  }
  const std::int64_t received_at = SteadyClockNanoseconds();
  if (!size || (session.published && received_at - session.last_published_at < kPublishSpacingNs)) {
    av_frame_unref(picture);
    return;
  }
  if (session.scaler == nullptr || picture->width != session.scaler_width ||
      picture->height != session.scaler_height || picture->format != session.scaler_format) {
    sws_freeContext(session.scaler);
    session.scaler = sws_getContext(picture->width, picture->height, static_cast<AVPixelFormat>(picture->format),
                                    size->width, size->height, AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr,
                                    nullptr, nullptr);
    session.scaler_width = picture->width;
    session.scaler_height = picture->height;
    session.scaler_format = picture->format;
  }
  if (session.scaler == nullptr) {
    av_frame_unref(picture);
    return;
  }
  cv::Mat image(size->height, size->width, CV_8UC3);
  std::uint8_t* planes[1] = {image.data};
  const int strides[1] = {static_cast<int>(image.step[0])};
  const int rows = sws_scale(session.scaler, picture->data, picture->linesize, 0, picture->height, planes, strides);
  av_frame_unref(picture);
  if (rows != size->height || session.slot == nullptr) return;

  VideoFrame frame;
  frame.image = image;
  frame.width = size->width;
  frame.height = size->height;
  frame.row_stride = static_cast<std::int32_t>(image.step[0]);
  frame.received_at = received_at;
  frame.source = session.label;
  frame.source_generation = session.generation;
  if (!session.slot->Publish(std::move(frame))) return;
  session.published = true;
  session.last_published_at = received_at;
  MutexLock lock(mutex_);
  ++status_.frames_published;
  status_.has_frame = true;
  status_.last_frame_at = received_at;
  status_.state = "live";
  status_.message = session.live_note;
  status_.active = true;
}

}  // namespace tessvark
