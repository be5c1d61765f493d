#include "engine/FFmpeg.h"

extern "C" {
#include <libavutil/opt.h>
}

#include "engine/EngineHost.h"
#include "engine/FFmpegException.h"
#include "engine/OptionParse.h"

namespace quenza {

namespace {
constexpr AVMediaType kKindMediaType[mkCount] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO,
                                                  AVMEDIA_TYPE_DATA, AVMEDIA_TYPE_SUBTITLE,
                                                  AVMEDIA_TYPE_ATTACHMENT};
}

TCustomFFmpeg::TCustomFFmpeg() = default;

TCustomFFmpeg::~TCustomFFmpeg() {
  AbortConvert(true);
  if (worker_.joinable()) worker_.join();
  if (terminateThread_.joinable()) terminateThread_.join();
  ReleaseFiles(error_);
  ReleaseOptionState();
}

void TCustomFFmpeg::Log(TLogLevel level, const std::string& msg) const {
  if (TEngineHost* host = GetEngineHost()) host->Log(this, level, msg);
}

void TCustomFFmpeg::ReleaseOptionState() {
  hooks_.clear();
  for (auto& chain : bsfs_) chain.clear();
  for (auto& d : encoderPrivate_) d.clear();
  formatPrivate_.clear();
  for (auto& c : encoderProbe_) c.reset();
  for (auto& n : encoderProbeName_) n.clear();
  formatProbe_.reset();
  formatProbeName_.clear();
  for (auto& c : codecOpts_) c.reset();
  formatOpts_.reset();
  scalerOpts_.reset();
  recordedOptions_.clear();
}

void TCustomFFmpeg::Reset() {
  TEngineHost* host = GetEngineHost();
  if (!host || !host->EngineLibrariesLoaded() || running_) return;

  ReleaseFiles(false);
  ReleaseOptionState();
  s_ = TEngineSettings{};
  expectedDuration_ = -1;
  lastError_.clear();
  videoSize_ = audioSize_ = extraSize_ = 0;
  nbFramesDup_ = nbFramesDrop_ = 0;
  dupDropFlagged_ = false;
  qpHistogram_.fill(0);
  stopRequested_ = false;
  completed_ = false;
  running_ = false;
  terminated_ = false;
  error_ = false;
  {
    std::lock_guard<std::mutex> g(errorLock_);
    errorMessage_.clear();
  }
  pauseGate_.Open();
  frameCounter_ = 0;
  preFrames_.clear();
  hookConverter_.Reset();
  previewConverter_.Reset();
  lastPreviewTime_ = 0;
  SetPreviewFlags(0);

  for (int k = 0; k < mkCount; ++k) {
    AVCodecContextPtr ctx(avcodec_alloc_context3(nullptr));
    if (!ctx) throw FFmpegException("avcodec_alloc_context3 failed");
    ctx->codec_type = kKindMediaType[k];
    codecOpts_[k] = std::move(ctx);
  }
  formatOpts_.reset(avformat_alloc_context());
  if (!formatOpts_) throw FFmpegException("avformat_alloc_context failed");
  scalerOpts_.reset(sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16, AV_PIX_FMT_YUV420P,
                                   s_.sws_flags, nullptr, nullptr, nullptr));
  if (!scalerOpts_) throw FFmpegException("sws_getContext failed");
}

void TCustomFFmpeg::SetOptions(const std::string& optionList) {
  for (const auto& [name, value] : ParseOptionList(optionList)) SetOption(name, value);
}


// --- typed setters ---------------------------------------------------------------

void TCustomFFmpeg::SetInputFormat(const std::string& format) { OptFormat("f", format); }
void TCustomFFmpeg::SetFrameRate(const std::string& rate) { OptFrameRate("r", rate); }
void TCustomFFmpeg::SetFrameSize(const std::string& size) { OptFrameSize("s", size); }
void TCustomFFmpeg::SetAspect(const std::string& aspect) { OptAspect("aspect", aspect); }
void TCustomFFmpeg::SetCropTop(int v) { SetCrop(s_.crop_top, v, true); }
void TCustomFFmpeg::SetCropBottom(int v) { SetCrop(s_.crop_bottom, v, true); }
void TCustomFFmpeg::SetCropLeft(int v) { SetCrop(s_.crop_left, v, false); }
void TCustomFFmpeg::SetCropRight(int v) { SetCrop(s_.crop_right, v, false); }
void TCustomFFmpeg::SetAudioCodec(const std::string& codec) { SetCodecName(s_.audio, codec); }
void TCustomFFmpeg::SetVideoCodec(const std::string& codec) { SetCodecName(s_.video, codec); }
void TCustomFFmpeg::SetSubtitleCodec(const std::string& codec) { SetCodecName(s_.subtitle, codec); }
void TCustomFFmpeg::SetAudioTag(const std::string& tag) { SetTag(s_.audio.codec_tag, tag, "audio"); }
void TCustomFFmpeg::SetVideoTag(const std::string& tag) { SetTag(s_.video.codec_tag, tag, "video"); }
void TCustomFFmpeg::SetVideoFilters(const std::string& filters) { s_.vfilters = filters; }

void TCustomFFmpeg::SetAudioSampleRate(int rate) {
  if (rate > 0) s_.audio_sample_rate = rate;
}
void TCustomFFmpeg::SetAudioChannels(int channels) {
  if (channels > 0) s_.audio_channels = channels;
}
void TCustomFFmpeg::SetVerbosity(int level) { s_.verbose = level; }
void TCustomFFmpeg::AddMetadata(const std::string& key, const std::string& value) {
  s_.metadata.emplace_back(key, value);
}

void TCustomFFmpeg::SetStartTime(int64_t us) {
  if (us != kNoTimestamp) s_.start_time = us;
}
void TCustomFFmpeg::SetRecordingTime(int64_t us) {
  if (us == kNoTimestamp) return;
  s_.recording_time = us;
  expectedDuration_ = us;
}
void TCustomFFmpeg::SetProgramId(int id) {
  if (id >= 0) s_.opt_programid = id;
}
void TCustomFFmpeg::SetAudioVolume(int volume) {
  if (volume >= 0) s_.audio_volume = volume;
}
void TCustomFFmpeg::SetAudioSyncMethod(int method) { s_.audio_sync_method = method; }
void TCustomFFmpeg::SetVideoSyncMethod(int method) { s_.video_sync_method = method; }
void TCustomFFmpeg::SetMuxMaxDelay(double seconds) {
  if (seconds > 0) s_.mux_max_delay = seconds;
}
void TCustomFFmpeg::SetMuxPreload(double seconds) {
  if (seconds > 0) s_.mux_preload = seconds;
}

}  // namespace quenza
