// Adding the output file and its streams.

#include <sys/stat.h>

#include <cmath>
#include <cstdlib>

extern "C" {
#include <libavcodec/dv_profile.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include "engine/ErrorText.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegException.h"
#include "engine/OptionParse.h"
#include "engine/UnicodeProtocol.h"

namespace quenza {

TOutputFile::~TOutputFile() {
  if (ctx) {
    if (io_open) CloseOutputIO(&ctx->pb);
    avformat_free_context(ctx);
  }
}

namespace {

// True when path names the same file as an existing input.
bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

AVRational SampleAspect(double aspect, int width, int height) {
  double v = (width && height) ? aspect * height / width : aspect * 3 / 4;
  return av_d2q(v, 255);
}

}  // namespace

void TCustomFFmpeg::NewStream(TMediaKind kind) {
  if (outputFiles_.empty()) throw FFmpegException("At least one output file must be specified");
  TOutputFile& of = *outputFiles_.back();
  if (kind == mkVideo)
    NewVideoStream(of);
  else if (kind == mkAudio)
    NewAudioStream(of);
  else
    NewSubtitleStream(of);
}

const AVCodec* TCustomFFmpeg::ChooseEncoder(TKindSettings& kind, AVMediaType type, AVFormatContext& oc,
                                            TOutputStreamSetup& su) {
  if (kind.codec_name.empty()) {
    // The container's default encoder (for subtitles too).
    return avcodec_find_encoder(av_guess_codec(oc.oformat, nullptr, oc.url, nullptr, type));
  }
  const TMediaKind optionKind = type == AVMEDIA_TYPE_VIDEO ? mkVideo : type == AVMEDIA_TYPE_AUDIO ? mkAudio : mkSubtitle;
  std::string err;
  const AVCodec* codec = ResolveCodec(kind.codec_name, type, true, codecOpts_[optionKind]->strict_std_compliance, err);
  if (!codec) {
    kind.codec_name.clear();
    throw FFmpegException(err);
  }
  su.encoder = codec;
  return codec;
}

std::unique_ptr<TOutputStreamSetup> TCustomFFmpeg::BeginStream(TOutputFile& of, TMediaKind mk, TKindSettings& kind,
                                                                AVStream*& st) {
  const int index = static_cast<int>(of.ctx->nb_streams);
  st = index < kMaxStreams ? avformat_new_stream(of.ctx, nullptr) : nullptr;
  if (!st) {
    kind.codec_name.clear();
    throw FFmpegException("Could not alloc stream");
  }
  st->id = s_.streamid_map[index];
  auto su = std::make_unique<TOutputStreamSetup>();
  su->kind = mk;
  su->bsfs = std::move(bsfs_[mk]);
  bsfs_[mk].clear();
  return su;
}

void TCustomFFmpeg::EndStream(AVStream* st, TKindSettings& kind) {
  if (!kind.language.empty()) {
    av_dict_set(&st->metadata, "language", kind.language.c_str(), 0);
    kind.language.clear();
  }
  kind.disabled = false;
  kind.codec_name.clear();
  kind.stream_copy = false;
}

void TCustomFFmpeg::NewVideoStream(TOutputFile& of) {
  AVFormatContext* oc = of.ctx;
  AVStream* st = nullptr;
  std::unique_ptr<TOutputStreamSetup> su = BeginStream(of, mkVideo, s_.video, st);
  AVCodecContext* videoOpts = codecOpts_[mkVideo].get();

  if (s_.video.stream_copy) {
    su->stream_copy = true;
    su->enc.reset(avcodec_alloc_context3(nullptr));
    if (!su->enc) throw FFmpegException("avcodec_alloc_context3 failed");
    su->enc->codec_type = AVMEDIA_TYPE_VIDEO;
    st->sample_aspect_ratio = su->enc->sample_aspect_ratio =
        SampleAspect(s_.frame_aspect_ratio, s_.frame_width, s_.frame_height);
  } else {
    AVRational frameRate = s_.frame_rate.num && s_.frame_rate.den ? s_.frame_rate : AVRational{25, 1};
    const AVCodec* codec = ChooseEncoder(s_.video, AVMEDIA_TYPE_VIDEO, *oc, *su);
    su->enc.reset(avcodec_alloc_context3(codec));
    if (!su->enc) throw FFmpegException("avcodec_alloc_context3 failed");
    AVCodecContext* enc = su->enc.get();
    enc->codec_type = AVMEDIA_TYPE_VIDEO;
    enc->codec_id = codec ? codec->id : AV_CODEC_ID_NONE;
    CopyRecordedOptions(videoOpts, enc, AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    av_dict_copy(su->private_options.addr(), encoderPrivate_[mkVideo].get(), 0);

    if (codec && codec->supported_framerates && !s_.force_fps)
      frameRate = codec->supported_framerates[av_find_nearest_q_idx(frameRate, codec->supported_framerates)];
    enc->time_base = av_inv_q(frameRate);
    enc->framerate = frameRate;
    enc->width = s_.frame_width;
    enc->height = s_.frame_height;
    st->sample_aspect_ratio = enc->sample_aspect_ratio =
        SampleAspect(s_.frame_aspect_ratio, s_.frame_width, s_.frame_height);
    enc->pix_fmt = static_cast<AVPixelFormat>(s_.frame_pix_fmt);
    if (codec && codec->pix_fmts) {
      const AVPixelFormat* p = codec->pix_fmts;
      for (; *p != AV_PIX_FMT_NONE; ++p)
        if (*p == enc->pix_fmt) break;
      bool mjpegException = codec->id == AV_CODEC_ID_MJPEG && enc->strict_std_compliance < 0 &&
                            (enc->pix_fmt == AV_PIX_FMT_YUV420P || enc->pix_fmt == AV_PIX_FMT_YUV422P);
      if (*p == AV_PIX_FMT_NONE && !mjpegException) enc->pix_fmt = codec->pix_fmts[0];
      // The installed MJPEG encoder lists limited-range YUV but opens it only when not
      // strict; strict, it takes its first (full-range) format.
      if (codec->id == AV_CODEC_ID_MJPEG && enc->strict_std_compliance >= 0 &&
          (enc->pix_fmt == AV_PIX_FMT_YUV420P || enc->pix_fmt == AV_PIX_FMT_YUV422P ||
           enc->pix_fmt == AV_PIX_FMT_YUV444P))
        enc->pix_fmt = codec->pix_fmts[0];
      // DV has one pixel format per frame size and norm (NTSC 720x480 is 4:1:1); a
      // source format the encoder lists may still have no DV profile at this size.
      if (codec->id == AV_CODEC_ID_DVVIDEO &&
          !av_dv_codec_profile2(enc->width, enc->height, enc->pix_fmt, frameRate)) {
        for (const AVPixelFormat* f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f)
          if (av_dv_codec_profile2(enc->width, enc->height, *f, frameRate)) {
            enc->pix_fmt = *f;
            break;
          }
      }
    }
    if (s_.intra_only) enc->gop_size = 0;
    if (s_.video_qscale != 0 || s_.same_quality) {
      enc->flags |= AV_CODEC_FLAG_QSCALE;
      enc->global_quality = static_cast<int>(FF_QP2LAMBDA * s_.video_qscale);
    }
    auto copyMatrix = [](const std::optional<TQuantMatrix>& m, uint16_t*& dst) {
      if (!m) return;
      dst = static_cast<uint16_t*>(av_malloc(sizeof(uint16_t) * 64));
      if (!dst) throw FFmpegException("av_malloc fail");
      for (int i = 0; i < 64; ++i) dst[i] = (*m)[i];
    };
    copyMatrix(s_.intra_matrix, enc->intra_matrix);
    copyMatrix(s_.inter_matrix, enc->inter_matrix);

    if (!s_.rc_override.empty()) {
      std::vector<RcOverride> overrides;
      const std::string& text = s_.rc_override;
      size_t pos = 0;
      while (pos <= text.size()) {
        size_t slash = text.find('/', pos);
        std::string entry = text.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
        int start = 0, end = 0, q = 0;
        if (std::sscanf(entry.c_str(), "%d,%d,%d", &start, &end, &q) < 2) {
          s_.video.codec_name.clear();
          throw FFmpegException("error parsing rc_override");
        }
        RcOverride o{};
        o.start_frame = start;
        o.end_frame = end;
        if (q > 0) {
          o.qscale = q;
          o.quality_factor = 1.0f;
        } else {
          o.qscale = 0;
          o.quality_factor = -q / 100.0f;
        }
        overrides.push_back(o);
        if (slash == std::string::npos) break;
        pos = slash + 1;
      }
      enc->rc_override = static_cast<RcOverride*>(av_malloc_array(overrides.size(), sizeof(RcOverride)));
      if (!enc->rc_override) throw FFmpegException("av_malloc fail");
      std::copy(overrides.begin(), overrides.end(), enc->rc_override);
      enc->rc_override_count = static_cast<int>(overrides.size());
    }
    if (enc->rc_initial_buffer_occupancy == 0)
      enc->rc_initial_buffer_occupancy = static_cast<int>(enc->rc_buffer_size * 3LL / 4);
    enc->intra_dc_precision = s_.intra_dc_precision - 8;
    if (s_.do_psnr) enc->flags |= AV_CODEC_FLAG_PSNR;
    if (s_.do_pass == 1) enc->flags |= AV_CODEC_FLAG_PASS1;
    if (s_.do_pass == 2) enc->flags |= AV_CODEC_FLAG_PASS2;
  }

  AVCodecContext* enc = su->enc.get();
  enc->thread_count = s_.thread_count;
  enc->codec_tag = s_.video.codec_tag;
  if ((s_.video_global_header & 1) ||
      (s_.video_global_header == 0 && (oc->oformat->flags & AVFMT_GLOBALHEADER))) {
    enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    videoOpts->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  if (s_.video_global_header & 2) {
    enc->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
    videoOpts->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
  }
  EndStream(st, s_.video);
  s_.frame_pix_fmt = -1;
  of.streams.push_back(std::move(su));
}

void TCustomFFmpeg::NewAudioStream(TOutputFile& of) {
  AVFormatContext* oc = of.ctx;
  AVStream* st = nullptr;
  std::unique_ptr<TOutputStreamSetup> su = BeginStream(of, mkAudio, s_.audio, st);
  AVCodecContext* audioOpts = codecOpts_[mkAudio].get();

  if (s_.audio.stream_copy) {
    su->stream_copy = true;
    su->enc.reset(avcodec_alloc_context3(nullptr));
    if (!su->enc) throw FFmpegException("avcodec_alloc_context3 failed");
    su->enc->codec_type = AVMEDIA_TYPE_AUDIO;
    su->enc->sample_rate = s_.audio_sample_rate;
    av_channel_layout_default(&su->enc->ch_layout, s_.audio_channels);
  } else {
    const AVCodec* codec = ChooseEncoder(s_.audio, AVMEDIA_TYPE_AUDIO, *oc, *su);
    su->enc.reset(avcodec_alloc_context3(codec));
    if (!su->enc) throw FFmpegException("avcodec_alloc_context3 failed");
    AVCodecContext* enc = su->enc.get();
    enc->codec_type = AVMEDIA_TYPE_AUDIO;
    enc->codec_id = codec ? codec->id : AV_CODEC_ID_NONE;
    CopyRecordedOptions(audioOpts, enc, AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    av_dict_copy(su->private_options.addr(), encoderPrivate_[mkAudio].get(), 0);
    if (s_.audio_qscale > -99999) {
      enc->flags |= AV_CODEC_FLAG_QSCALE;
      enc->global_quality = static_cast<int>(FF_QP2LAMBDA * s_.audio_qscale);
    }
    // Channels and layout; the layout is dropped when its count differs.
    int channels = s_.audio_channels > 0 ? s_.audio_channels : 2;
    av_channel_layout_uninit(&enc->ch_layout);
    if (s_.channel_layout && av_popcount64(s_.channel_layout) == channels)
      av_channel_layout_from_mask(&enc->ch_layout, s_.channel_layout);
    else
      av_channel_layout_default(&enc->ch_layout, channels);
    if (codec && codec->ch_layouts) {
      const AVChannelLayout* match = nullptr;
      for (const AVChannelLayout* l = codec->ch_layouts; l->nb_channels; ++l)
        if (!av_channel_layout_compare(l, &enc->ch_layout)) match = l;
      for (const AVChannelLayout* l = codec->ch_layouts; !match && l->nb_channels; ++l)
        if (l->nb_channels == channels) match = l;
      if (!match) match = codec->ch_layouts;
      if (av_channel_layout_compare(match, &enc->ch_layout)) {
        av_channel_layout_uninit(&enc->ch_layout);
        av_channel_layout_copy(&enc->ch_layout, match);
      }
    }
    enc->sample_fmt = static_cast<AVSampleFormat>(s_.audio_sample_fmt);
    if (codec && codec->sample_fmts) {
      const AVSampleFormat* p = codec->sample_fmts;
      for (; *p != AV_SAMPLE_FMT_NONE; ++p)
        if (*p == enc->sample_fmt) break;
      if (*p == AV_SAMPLE_FMT_NONE) enc->sample_fmt = codec->sample_fmts[0];
    }
    enc->sample_rate = s_.audio_sample_rate;
    if (codec && codec->supported_samplerates) {
      int best = codec->supported_samplerates[0];
      for (const int* r = codec->supported_samplerates; *r; ++r)
        if (std::abs(*r - enc->sample_rate) < std::abs(best - enc->sample_rate)) best = *r;
      if (best != enc->sample_rate) {
        Log(llWarning, StrFormat("Requested sampling rate unsupported using closest supported (%d)", best));
        enc->sample_rate = best;
      }
    }
    enc->time_base = AVRational{1, enc->sample_rate > 0 ? enc->sample_rate : 1};
  }

  AVCodecContext* enc = su->enc.get();
  enc->thread_count = s_.thread_count;
  enc->codec_tag = s_.audio.codec_tag;
  if (oc->oformat->flags & AVFMT_GLOBALHEADER) {
    enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    audioOpts->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  EndStream(st, s_.audio);
  of.streams.push_back(std::move(su));
}

void TCustomFFmpeg::NewSubtitleStream(TOutputFile& of) {
  AVFormatContext* oc = of.ctx;
  AVStream* st = nullptr;
  std::unique_ptr<TOutputStreamSetup> su = BeginStream(of, mkSubtitle, s_.subtitle, st);

  const AVCodec* codec = nullptr;
  if (s_.subtitle.stream_copy)
    su->stream_copy = true;
  else
    codec = ChooseEncoder(s_.subtitle, AVMEDIA_TYPE_SUBTITLE, *oc, *su);
  su->enc.reset(avcodec_alloc_context3(codec));
  if (!su->enc) throw FFmpegException("avcodec_alloc_context3 failed");
  su->enc->codec_type = AVMEDIA_TYPE_SUBTITLE;
  su->enc->codec_id = codec ? codec->id : AV_CODEC_ID_NONE;
  if (!su->stream_copy) {
    su->enc->time_base = AV_TIME_BASE_Q;
    CopyRecordedOptions(codecOpts_[mkSubtitle].get(), su->enc.get(),
                        AV_OPT_FLAG_SUBTITLE_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    av_dict_copy(su->private_options.addr(), encoderPrivate_[mkSubtitle].get(), 0);
  }
  su->enc->codec_tag = s_.subtitle.codec_tag;
  EndStream(st, s_.subtitle);
  of.streams.push_back(std::move(su));
}

int TCustomFFmpeg::AddOutputFile(const std::string& fileName, bool join) {
  if (joined_) {
    lastError_ = "Cannot join more than one output file.";
    return -1;
  }
  if (static_cast<int>(outputFiles_.size()) >= kMaxOutputFiles) {
    lastError_ = StrFormat("max output files %d reached", kMaxOutputFiles);
    return -1;
  }
  const std::string url = FileNameToURL(fileName);

  // Container.
  const AVOutputFormat* ofmt = nullptr;
  if (!s_.format_name.empty()) {
    ofmt = av_guess_format(s_.format_name.c_str(), nullptr, nullptr);
    if (!ofmt) {
      lastError_ = "Requested output format '" + s_.format_name + "' is not a suitable output format";
      return -1;
    }
    s_.format_name.clear();
  } else {
    ofmt = av_guess_format(nullptr, url.c_str(), nullptr);
    if (!ofmt) {
      lastError_ = "Unable to find a suitable output format for '" + fileName + "'";
      return -1;
    }
  }
  AVFormatContext* oc = nullptr;
  if (avformat_alloc_output_context2(&oc, ofmt, nullptr, url.c_str()) < 0 || !oc)
    throw FFmpegException("avformat_alloc_context failed");
  auto of = std::make_shared<TOutputFile>();
  of->ctx = oc;
  of->name = fileName;

  // Wanted kinds, against the inputs.
  bool useVideo = s_.video.stream_copy || ofmt->video_codec != AV_CODEC_ID_NONE || !s_.video.codec_name.empty();
  bool useAudio = s_.audio.stream_copy || ofmt->audio_codec != AV_CODEC_ID_NONE || !s_.audio.codec_name.empty();
  bool useSubtitle = s_.subtitle.stream_copy || ofmt->subtitle_codec != AV_CODEC_ID_NONE ||
                     !s_.subtitle.codec_name.empty();
  if (!inputFiles_.empty()) {
    bool hasVideo = false, hasAudio = false, hasSubtitle = false;
    const size_t files = join ? 1 : inputFiles_.size();
    for (size_t f = 0; f < files; ++f) {
      AVFormatContext* ic = inputFiles_[f]->ctx;
      for (unsigned i = 0; i < ic->nb_streams; ++i) {
        switch (ic->streams[i]->codecpar->codec_type) {
          case AVMEDIA_TYPE_VIDEO: hasVideo = true; break;
          case AVMEDIA_TYPE_AUDIO: hasAudio = true; break;
          case AVMEDIA_TYPE_SUBTITLE: hasSubtitle = true; break;
          case AVMEDIA_TYPE_DATA:
          case AVMEDIA_TYPE_ATTACHMENT: break;
          default:
            lastError_ = "check_audio_video_sub_inputs fail: invalid codec_type of input file";
            return -1;
        }
      }
    }
    useVideo = useVideo && hasVideo;
    useAudio = useAudio && hasAudio;
    useSubtitle = useSubtitle && hasSubtitle;
  }
  if (s_.audio.disabled) useAudio = false;
  if (s_.video.disabled) useVideo = false;

  // Streams.
  struct Kind {
    bool wanted;
    void (TCustomFFmpeg::*create)(TOutputFile&);
    const char* prefix;
  };
  for (const Kind& k : {Kind{useVideo, &TCustomFFmpeg::NewVideoStream, "new_video_stream fail: "},
                        Kind{useAudio, &TCustomFFmpeg::NewAudioStream, "new_audio_stream fail: "},
                        Kind{useSubtitle && !s_.subtitle.disabled, &TCustomFFmpeg::NewSubtitleStream,
                             "new_subtitle_stream fail: "}}) {
    if (!k.wanted) continue;
    try {
      (this->*k.create)(*of);
    } catch (const FFmpegException& e) {
      lastError_ = k.prefix + std::string(e.what());
      return -1;
    }
  }

  // Recording timestamp and metadata.
  if (s_.rec_timestamp) {
    char iso[32];
    time_t t = static_cast<time_t>(s_.rec_timestamp);
    struct tm tm {};
    gmtime_r(&t, &tm);
    strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%S.000000Z", &tm);
    av_dict_set(&oc->metadata, "creation_time", iso, 0);
  }
  for (auto it = s_.metadata.rbegin(); it != s_.metadata.rend(); ++it)
    av_dict_set(&oc->metadata, it->first.c_str(), it->second.c_str(), 0);
  s_.metadata.clear();

  if ((ofmt->flags & AVFMT_NEEDNUMBER) && !av_filename_number_test(url.c_str())) {
    lastError_ = LibraryError(fileName, AVERROR(EDOM));
    return -1;
  }
  if (!(ofmt->flags & AVFMT_NOFILE)) {
    // Never write over a source.
    for (const auto& in : inputFiles_)
      if (SameFile(fileName, in->name)) {
        lastError_ = "Output file '" + fileName + "' is the same file as input file '" + in->name + "'";
        return -1;
      }
    int ret = OpenOutputIO(&oc->pb, url);
    if (ret < 0) {
      lastError_ = LibraryError(fileName, ret);
      return -1;
    }
    of->io_open = true;
  }

  // Muxer settings.
  oc->max_delay = static_cast<int>(s_.mux_max_delay * 1000000);
  if (oc->priv_data && av_opt_find(oc->priv_data, "preload", nullptr, 0, 0))
    av_opt_set_int(oc->priv_data, "preload", static_cast<int64_t>(s_.mux_preload * 1000000), 0);
  if (s_.loop_output >= 0 && oc->priv_data && av_opt_find(oc->priv_data, "loop", nullptr, 0, 0))
    av_opt_set_int(oc->priv_data, "loop", s_.loop_output, 0);
  oc->flags |= AVFMT_FLAG_NONBLOCK;
  CopyRecordedOptions(formatOpts_.get(), oc, AV_OPT_FLAG_ENCODING_PARAM);
  av_dict_copy(of->format_options.addr(), formatPrivate_.get(), 0);

  s_.streamid_map.fill(0);
  outputFiles_.push_back(of);

  if (join && inputFiles_.size() > 1) {
    joined_ = true;
    int64_t sum = 0;
    for (const auto& in : inputFiles_)
      if (in->ctx->duration != AV_NOPTS_VALUE && in->ctx->duration > 0) sum += in->ctx->duration;
    expectedDuration_ = sum ? sum : -1;
    for (size_t i = 1; i < inputFiles_.size(); ++i) outputFiles_.push_back(of);
  }
  return OutputFileCount();
}

}  // namespace quenza
