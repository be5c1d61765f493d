// Adding input files and codec resolution.

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <mutex>

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include "engine/EngineHost.h"
#include "engine/ErrorText.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegException.h"
#include "engine/OptionCompat.h"
#include "engine/OptionParse.h"
#include "engine/UnicodeProtocol.h"

namespace quenza {

TInputFile::~TInputFile() {
  if (ctx) CloseInputURL(&ctx);
}


const AVCodec* TCustomFFmpeg::ResolveCodec(const std::string& name, AVMediaType type,
                                           bool encoder, int strict, std::string& err) const {
  err.clear();
  if (name.empty()) return nullptr;
  const std::string installed = encoder ? CompatEncoderName(name) : name;
  const char* what = encoder ? "encoder" : "decoder";
  const AVCodec* codec = encoder ? avcodec_find_encoder_by_name(installed.c_str())
                                 : avcodec_find_decoder_by_name(installed.c_str());
  if (!codec) {
    err = StrFormat("Unknown %s '%s'", what, name.c_str());
    return nullptr;
  }
  if (codec->type != type) {
    err = StrFormat("Invalid %s type '%s'", what, name.c_str());
    return nullptr;
  }
  if ((codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL) && strict > FF_COMPLIANCE_EXPERIMENTAL) {
    err = StrFormat("%s '%s' is experimental and might produce bad results.\r\n"
                 "Add '-strict experimental' if you want to use it.",
                 what, codec->name);
    const AVCodec* def = encoder ? avcodec_find_encoder(codec->id) : avcodec_find_decoder(codec->id);
    if (def && !(def->capabilities & AV_CODEC_CAP_EXPERIMENTAL))
      err += StrFormat("\r\nOr use the non experimental %s '%s'.", what, def->name);
    return nullptr;
  }
  return codec;
}

bool TCustomFFmpeg::AddInputFile(const std::string& fileName) {
  if (static_cast<int>(inputFiles_.size()) >= kMaxInputFiles) {
    lastError_ = "Too many input files";
    return false;
  }
  // On every false return: pending codec names discarded, video channel cleared.
  auto fail = [this](const std::string& msg) {
    lastError_ = msg;
    s_.video.codec_name.clear();
    s_.audio.codec_name.clear();
    s_.subtitle.codec_name.clear();
    s_.video_channel = 0;
    return false;
  };

  // 1. Forced format.
  const AVInputFormat* fmt = nullptr;
  if (!s_.format_name.empty()) {
    fmt = av_find_input_format(s_.format_name.c_str());
    if (!fmt) throw FFmpegException("Unknown input format: \"" + s_.format_name + "\"");
    s_.format_name.clear();
  }

  // 2. Format context; freed on every failure below.
  auto file = std::make_unique<TInputFile>();
  file->name = fileName;
  AVFormatContext* ic = avformat_alloc_context();
  if (!ic) throw FFmpegException("avformat_alloc_context failed");
  AVFormatContextPtr icGuard(ic);

  // 3. Parameters for demuxers that take them (raw and capture formats).
  AVDict params;
  if (s_.audio_sample_rate > 0)
    av_dict_set_int(params.addr(), "sample_rate", s_.audio_sample_rate, 0);
  if (s_.audio_channels > 0) av_dict_set_int(params.addr(), "channels", s_.audio_channels, 0);
  if (s_.frame_rate.num > 0 && s_.frame_rate.den > 0)
    av_dict_set(params.addr(),
                "framerate", (std::to_string(s_.frame_rate.num) + "/" + std::to_string(s_.frame_rate.den)).c_str(), 0);
  if (s_.frame_width > 0 && s_.frame_height > 0)
    av_dict_set(params.addr(), "video_size",
                (std::to_string(s_.frame_width) + "x" + std::to_string(s_.frame_height)).c_str(), 0);
  if (s_.frame_pix_fmt >= 0)
    if (const char* pf = av_get_pix_fmt_name(static_cast<AVPixelFormat>(s_.frame_pix_fmt)))
      av_dict_set(params.addr(), "pixel_format", pf, 0);
  if (s_.video_channel) av_dict_set_int(params.addr(), "channel", s_.video_channel, 0);
  if (!s_.video_standard.empty()) av_dict_set(params.addr(), "standard", s_.video_standard.c_str(), 0);
  if (s_.loop_input) av_dict_set(params.addr(), "loop", "1", 0);
  // Demuxer options accepted by the generic fallback.
  av_dict_copy(params.addr(), formatPrivate_.get(), 0);

  // 4. Recorded options for decoding.
  CopyRecordedOptions(formatOpts_.get(), ic, AV_OPT_FLAG_DECODING_PARAM);

  // 5. Forced decoders.
  std::string err;
  const AVCodec* forced[3] = {nullptr, nullptr, nullptr};
  const TKindSettings* kinds[3] = {&s_.video, &s_.audio, &s_.subtitle};
  const AVMediaType types[3] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_SUBTITLE};
  const TMediaKind optKinds[3] = {mkVideo, mkAudio, mkSubtitle};
  for (int k = 0; k < 3; ++k) {
    forced[k] = ResolveCodec(kinds[k]->codec_name, types[k], false,
                             codecOpts_[optKinds[k]]->strict_std_compliance, err);
    if (!err.empty()) return fail(err);
  }
  if (forced[0]) ic->video_codec_id = forced[0]->id;
  if (forced[1]) ic->audio_codec_id = forced[1]->id;
  if (forced[2]) ic->subtitle_codec_id = forced[2]->id;

  // 6.
  ic->flags |= AVFMT_FLAG_NONBLOCK;
  if (s_.still_image_compat) ic->video_codec_id = AV_CODEC_ID_PGMYUV;

  // 7. Open.
  icGuard.release();
  int ret = OpenInputURL(&ic, FileNameToURL(fileName), fmt, params.addr());
  if (ret < 0) return fail(LibraryError(fileName, ret));
  file->ctx = ic;

  // 8. Program selection.
  if (s_.opt_programid) {
    bool found = false;
    for (unsigned i = 0; i < ic->nb_streams; ++i) ic->streams[i]->discard = AVDISCARD_ALL;
    for (unsigned p = 0; p < ic->nb_programs; ++p) {
      AVProgram* prog = ic->programs[p];
      if (prog->id == s_.opt_programid) {
        for (unsigned j = 0; j < prog->nb_stream_indexes; ++j)
          ic->streams[prog->stream_index[j]]->discard = AVDISCARD_DEFAULT;
        found = true;
      } else {
        prog->discard = AVDISCARD_ALL;
      }
    }
    if (!found) return fail("Specified program id not found");
    s_.opt_programid = 0;
  }

  // 9. Stream parameters, under the codec lock.
  {
    std::lock_guard<std::recursive_mutex> lock(CodecLock());
    ret = avformat_find_stream_info(ic, nullptr);
  }
  if (ret < 0 && s_.verbose >= 0) {
    std::string msg = fileName + ": could not find codec parameters";
    Log(llVerbose, msg);
    return fail(msg);
  }

  // 10. Seek.
  int64_t timestamp = s_.start_time;
  if (ic->start_time != AV_NOPTS_VALUE) timestamp += ic->start_time;
  if (s_.start_time != 0) {
    if (av_seek_frame(ic, -1, timestamp, AVSEEK_FLAG_BACKWARD) < 0 && s_.verbose > 0)
      Log(llVerbose, StrFormat("%s: could not seek to position %0.3f", fileName.c_str(),
                            static_cast<double>(timestamp) / 1000000.0));
  }
  s_.start_time = 0;

  // 11. Per stream.
  std::vector<TInputStreamSetup> setups(ic->nb_streams);
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    AVStream* st = ic->streams[i];
    AVCodecParameters* par = st->codecpar;
    TInputStreamSetup& su = setups[i];
    if (par->codec_type < AVMEDIA_TYPE_VIDEO || par->codec_type > AVMEDIA_TYPE_ATTACHMENT) {
      throw FFmpegException("invalid codec_type");
    }
    int k = par->codec_type == AVMEDIA_TYPE_VIDEO ? 0 : par->codec_type == AVMEDIA_TYPE_AUDIO ? 1
            : par->codec_type == AVMEDIA_TYPE_SUBTITLE                                          ? 2
                                                                                               : -1;
    su.forced_decoder = k >= 0 ? forced[k] : nullptr;
    const AVCodec* dec = su.forced_decoder ? su.forced_decoder : avcodec_find_decoder(par->codec_id);
    su.dec.reset(avcodec_alloc_context3(dec));
    if (!su.dec) throw FFmpegException("avcodec_alloc_context3 failed");
    if (avcodec_parameters_to_context(su.dec.get(), par) < 0)
      throw FFmpegException("avcodec_parameters_to_context failed");
    su.dec->pkt_timebase = st->time_base;
    su.dec->thread_count = s_.thread_count;

    switch (par->codec_type) {
      case AVMEDIA_TYPE_VIDEO: {
        CopyRecordedOptions(codecOpts_[mkVideo].get(), su.dec.get(),
                            AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
        s_.frame_height = par->height;
        s_.frame_width = par->width;
        AVRational sar = st->sample_aspect_ratio.num ? st->sample_aspect_ratio : par->sample_aspect_ratio;
        if (par->width && par->height) {
          s_.frame_aspect_ratio = sar.num ? static_cast<double>(par->width) * av_q2d(sar) / par->height
                                          : static_cast<double>(par->width) / par->height;
        } else if (!sar.num) {
          s_.frame_aspect_ratio = 1.3333334;
        } else {
          s_.frame_aspect_ratio = av_q2d(sar);
        }
        s_.frame_pix_fmt = par->format == AV_PIX_FMT_NONE ? AV_PIX_FMT_YUV420P : par->format;
        if (su.dec->lowres) {
          s_.frame_height >>= su.dec->lowres;
          s_.frame_width >>= su.dec->lowres;
        }
        if (s_.me_threshold) su.dec->flags2 |= AV_CODEC_FLAG2_EXPORT_MVS;
        AVRational codecRate = st->avg_frame_rate;
        AVRational realRate = st->r_frame_rate;
        if (codecRate.num && codecRate.den && realRate.num && realRate.den &&
            av_cmp_q(codecRate, realRate) != 0 && s_.verbose >= 0)
          Log(llInfo, StrFormat("Seems stream %d codec frame rate differs from container frame rate: "
                             "%2.2f (%d/%d) -> %2.2f (%d/%d)",
                             i, av_q2d(codecRate), codecRate.num, codecRate.den, av_q2d(realRate),
                             realRate.num, realRate.den));
        s_.frame_rate = realRate;
        if (s_.video.disabled)
          st->discard = AVDISCARD_ALL;
        else if (s_.video_discard)
          st->discard = static_cast<AVDiscard>(s_.video_discard);
        break;
      }
      case AVMEDIA_TYPE_AUDIO:
        CopyRecordedOptions(codecOpts_[mkAudio].get(), su.dec.get(),
                            AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
        s_.channel_layout = par->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? par->ch_layout.u.mask : 0;
        s_.audio_channels = par->ch_layout.nb_channels;
        s_.audio_sample_rate = par->sample_rate;
        s_.audio_sample_fmt = par->format;
        if (s_.audio.disabled) st->discard = AVDISCARD_ALL;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        if (s_.subtitle.disabled) st->discard = AVDISCARD_ALL;
        break;
      default:
        break;
    }
  }

  // 12. Expected total duration.
  if (ic->duration != AV_NOPTS_VALUE && ic->duration > expectedDuration_) expectedDuration_ = ic->duration;

  // 13. Timestamp offset.
  file->ts_offset = s_.input_ts_offset - (s_.copy_ts ? 0 : timestamp);

  // 14.
  if (s_.verbose >= 0) av_dump_format(ic, static_cast<int>(inputFiles_.size()), fileName.c_str(), 0);

  // 15.
  inputFiles_.push_back(std::move(file));
  inputStreamSetups_.push_back(std::move(setups));
  s_.video_channel = 0;
  s_.video.codec_name.clear();
  s_.audio.codec_name.clear();
  s_.subtitle.codec_name.clear();
  s_.input_ts_offset = 0;
  return true;
}

std::vector<int> TCustomFFmpeg::InputVideoFrameRates() const {
  std::vector<int> rates;
  for (const auto& f : inputFiles_)
    for (unsigned i = 0; i < f->ctx->nb_streams; ++i) {
      const AVStream* st = f->ctx->streams[i];
      if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
      AVRational r = st->avg_frame_rate.num ? st->avg_frame_rate : st->r_frame_rate;
      if (r.den) rates.push_back(static_cast<int>(std::lround(r.num * 1000.0 / r.den)));
    }
  return rates;
}

}  // namespace quenza
