// The generic fallback into the libraries' option system.

extern "C" {
#include <libavutil/opt.h>
}

#include "engine/EngineHost.h"
#include "engine/FFmpeg.h"
#include "engine/OptionCompat.h"
#include "engine/OptionParse.h"

namespace quenza {

namespace {
// Type flag masks of the codec option contexts, in TMediaKind order.
constexpr int kKindMask[mkCount] = {AV_OPT_FLAG_VIDEO_PARAM, AV_OPT_FLAG_AUDIO_PARAM, 0,
                                    AV_OPT_FLAG_SUBTITLE_PARAM, 0};
}  // namespace

bool TCustomFFmpeg::SetLibraryOptionInt(const std::string& name, int64_t number) {
  return SetLibraryOption(name, std::to_string(number));
}

std::string TCustomFFmpeg::PendingEncoderName(TMediaKind kind) const {
  const TKindSettings* k = kind == mkVideo ? &s_.video : kind == mkAudio ? &s_.audio
                           : kind == mkSubtitle                 ? &s_.subtitle
                                                                : nullptr;
  return k && !k->codec_name.empty() ? CompatEncoderName(k->codec_name) : std::string();
}

bool TCustomFFmpeg::SetLibraryOption(const std::string& name, const std::string& value) {
  const std::string n = Trim(name), v = Trim(value);
  if (n.empty() || v.empty() || !codecOpts_[mkVideo]) return false;

  TCompatOption legacy = TranslateLegacyOption(n, v, PendingEncoderName(mkVideo));
  if (legacy.kind == TCompatOption::None) return ApplyLibraryOption(n, v);
  if (!legacy.dropped.empty())
    Log(llVerbose, "Option " + legacy.dropped + " has no meaning for the installed encoder; dropped");
  for (const auto& [ln, lv] : legacy.options)
    if (!ApplyLibraryOption(ln, lv)) return false;
  return true;
}

bool TCustomFFmpeg::ApplyLibraryOption(const std::string& n, const std::string& v) {
  const AVOption* found = nullptr;
  int ret = 0;
  AVCodecContext* videoOpts = codecOpts_[mkVideo].get();

  for (int t = 0; t < mkCount; ++t) {
    const AVOption* o = av_opt_find(videoOpts, n.c_str(), nullptr, kKindMask[t], 0);
    if (!o) continue;
    found = o;
    ret = av_opt_set(codecOpts_[t].get(), n.c_str(), v.c_str(), 0);
    if (ret < 0) break;
  }
  if (!found) {
    if (const AVOption* o = av_opt_find(formatOpts_.get(), n.c_str(), nullptr, 0, 0)) {
      found = o;
      ret = av_opt_set(formatOpts_.get(), n.c_str(), v.c_str(), 0);
    } else if (const AVOption* o2 = av_opt_find(scalerOpts_.get(), n.c_str(), nullptr, 0, 0)) {
      found = o2;
      ret = av_opt_set(scalerOpts_.get(), n.c_str(), v.c_str(), 0);
    }
  }
  if (!found && n.size() > 1 && (n[0] == 'a' || n[0] == 'v' || n[0] == 's')) {
    TMediaKind kind = n[0] == 'a' ? mkAudio : n[0] == 'v' ? mkVideo : mkSubtitle;
    const std::string rest = n.substr(1);
    if (const AVOption* o = av_opt_find(codecOpts_[kind].get(), rest.c_str(), nullptr, 0, 0)) {
      found = o;
      ret = av_opt_set(codecOpts_[kind].get(), rest.c_str(), v.c_str(), 0);
    }
  }
  if (!found) {
    // Private options of the pending encoders, then of the pending muxer.
    int r = 0;
    for (TMediaKind kind : {mkVideo, mkAudio, mkSubtitle}) {
      r = SetEncoderPrivateOption(kind, n, v);
      if (r != 0) break;
    }
    if (r == 0) r = SetFormatPrivateOption(n, v);
    if (r > 0) return true;
    if (r < 0) {
      av_log(nullptr, AV_LOG_ERROR, "Invalid value \"%s\" for option \"%s\"\n", v.c_str(), n.c_str());
      return false;
    }
    return false;
  }
  if (ret < 0) {
    av_log(nullptr, AV_LOG_ERROR, "Invalid value \"%s\" for option \"%s\"\n", v.c_str(), n.c_str());
    return false;
  }
  recordedOptions_.emplace_back(found->name);
  if (videoOpts->debug != 0 || formatOpts_->debug != 0)
    if (TEngineHost* host = GetEngineHost()) host->SetLogLevelByName("debug");
  return true;
}

int TCustomFFmpeg::SetEncoderPrivateOption(TMediaKind kind, const std::string& name,
                                           const std::string& value) {
  const std::string encoder = PendingEncoderName(kind);
  if (encoder.empty()) return 0;
  if (encoderProbeName_[kind] != encoder) {
    encoderProbe_[kind].reset();
    encoderProbeName_[kind] = encoder;
    if (const AVCodec* codec = avcodec_find_encoder_by_name(encoder.c_str()))
      if (codec->priv_class) encoderProbe_[kind].reset(avcodec_alloc_context3(codec));
  }
  AVCodecContext* probe = encoderProbe_[kind].get();
  if (!probe || !probe->priv_data) return 0;
  if (!av_opt_find(probe->priv_data, name.c_str(), nullptr, 0, 0)) return 0;
  if (av_opt_set(probe->priv_data, name.c_str(), value.c_str(), 0) < 0) return -1;
  av_dict_set(encoderPrivate_[kind].addr(), name.c_str(), value.c_str(), 0);
  return 1;
}

int TCustomFFmpeg::SetFormatPrivateOption(const std::string& name, const std::string& value) {
  if (s_.format_name.empty()) return 0;
  if (formatProbeName_ != s_.format_name) {
    formatProbe_.reset();
    formatProbeName_ = s_.format_name;
    AVFormatContext* ctx = nullptr;
    if (avformat_alloc_output_context2(&ctx, nullptr, s_.format_name.c_str(), nullptr) >= 0)
      formatProbe_.reset(ctx);
  }
  AVFormatContext* probe = formatProbe_.get();
  if (!probe || !probe->priv_data) return 0;
  if (!av_opt_find(probe->priv_data, name.c_str(), nullptr, 0, 0)) return 0;
  if (av_opt_set(probe->priv_data, name.c_str(), value.c_str(), 0) < 0) return -1;
  av_dict_set(formatPrivate_.addr(), name.c_str(), value.c_str(), 0);
  return 1;
}

void TCustomFFmpeg::CopyRecordedOptions(void* src, void* dst, int mask) const {
  for (const std::string& name : recordedOptions_) {
    const AVOption* o = av_opt_find(src, name.c_str(), nullptr, 0, 0);
    if (!o || (o->flags & mask) != mask) continue;
    uint8_t* text = nullptr;
    if (av_opt_get(src, name.c_str(), 0, &text) < 0 || !text) continue;
    AVMemPtr<uint8_t> owned(text);
    av_opt_set(dst, name.c_str(), reinterpret_cast<const char*>(text), 0);
  }
}

}  // namespace quenza
