// The video, audio and subtitle output paths and encoder draining.

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/intreadwrite.h>
}

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include "engine/EngineHost.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegException.h"
#include "engine/OptionParse.h"

namespace quenza {

int TCustomFFmpeg::ReceiveEncodedPackets(TOutputStream& ost) {
  AVCodecContext* enc = ost.enc;
  AVPacket* pkt = ost.pkt.get();
  int count = 0;
  for (;;) {
    int ret = avcodec_receive_packet(enc, pkt);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return count;
    if (ret < 0)
      throw FFmpegException(enc->codec_type == AVMEDIA_TYPE_AUDIO ? "Audio encoding failed" : "Video encoding failed");
    if (enc->codec_type == AVMEDIA_TYPE_VIDEO) {
      videoSize_ += pkt->size;
      size_t sdSize = 0;
      if (const uint8_t* sd = av_packet_get_side_data(pkt, AV_PKT_DATA_QUALITY_STATS, &sdSize); sd && sdSize >= 4) {
        ost.last_quality = static_cast<float>(AV_RL32(sd)) / FF_QP2LAMBDA;
        const int nbErrors = sdSize >= 6 ? sd[5] : 0;
        for (int j = 0; j < 3 && j < nbErrors && sdSize >= 8 + 8 * static_cast<size_t>(j + 1); ++j)
          ost.last_error[j] = AV_RL64(sd + 8 + 8 * j);
      }
      if (ost.logfile && enc->stats_out) std::fputs(enc->stats_out, ost.logfile);
      WriteVideoStats(ost, pkt);
    } else {
      audioSize_ += pkt->size;
    }
    av_packet_rescale_ts(pkt, enc->time_base, ost.st->time_base);
    pkt->time_base = ost.st->time_base;
    WritePacket(ost, pkt);
    ++count;
  }
}

void TCustomFFmpeg::DoVideoOut(TOutputStream& ost, TInputStream& ist, AVFrame* in) {
  AVCodecContext* enc = ost.enc;
  if (!enc) return;
  const int cw = in->width - (ost.leftBand + ost.rightBand);
  const int ch = in->height - (ost.topBand + ost.bottomBand);
  if (cw <= 0 || ch <= 0) {
    Log(llWarning, "Crop bands exceed the decoded picture; frame skipped");
    return;
  }

  // Crop and scale into the encoder's size and format.
  AVFrame* pic = ost.encode_frame.get();
  if (!pic) {
    ost.encode_frame.reset(av_frame_alloc());
    pic = ost.encode_frame.get();
    if (!pic) throw FFmpegException("av_mallocz fail");
  }
  // pic becomes a reference to the decoded picture less the current bands.
  auto refCropped = [&] {
    av_frame_unref(pic);
    if (av_frame_ref(pic, in) < 0) throw FFmpegException("av_frame_ref failed");
    if (!ost.video_crop) return;
    pic->crop_top = ost.topBand;
    pic->crop_bottom = ost.bottomBand;
    pic->crop_left = ost.leftBand;
    pic->crop_right = ost.rightBand;
    if (av_frame_apply_cropping(pic, AV_FRAME_CROP_UNALIGNED) < 0) {
      av_frame_unref(pic);
      throw FFmpegException("error cropping picture");
    }
  };
  refCropped();
  if (!ost.graph && (cw != ost.resample_width || ch != ost.resample_height || in->format != ost.resample_pix_fmt)) {
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(in->format));
    Log(llQuiet, StrFormat("Input Stream #%d.%d frame size changed to %dx%d, %s", ist.file_index, ist.st_index,
                           in->width, in->height, name ? name : "none"));
    if (ost.video_crop && ost.original_width > 0 && ost.original_height > 0) {
      // Bands in proportion to the new size, rounded down to even numbers.
      auto band = [](int dim, int first, int orig) { return (dim * first / orig) & ~1; };
      ost.topBand = band(in->height, ost.original_topBand, ost.original_height);
      ost.bottomBand = band(in->height, ost.original_bottomBand, ost.original_height);
      ost.leftBand = band(in->width, ost.original_leftBand, ost.original_width);
      ost.rightBand = band(in->width, ost.original_rightBand, ost.original_width);
      refCropped();
    }
    // Pictures of the new size are scaled to the size the encoder was opened with.
    ost.img_resample_ctx.reset();
    ost.resample_width = pic->width;
    ost.resample_height = pic->height;
    ost.resample_pix_fmt = in->format;
  }
  if (pic->width != enc->width || pic->height != enc->height || pic->format != enc->pix_fmt) {
    if (!ost.img_resample_ctx) {
      ost.img_resample_ctx.reset(sws_getContext(pic->width, pic->height, static_cast<AVPixelFormat>(pic->format),
                                                enc->width, enc->height, enc->pix_fmt, s_.sws_flags, nullptr,
                                                nullptr, nullptr));
      if (!ost.img_resample_ctx) {
        av_frame_unref(pic);
        throw FFmpegException("Cannot get resampling context");
      }
    }
    if (!ost.resample_frame) {
      ost.resample_frame.reset(av_frame_alloc());
      if (!ost.resample_frame) throw FFmpegException("Cannot allocate temp picture, check pix fmt");
    }
    AVFrame* dst = ost.resample_frame.get();
    if (!dst->buf[0]) {
      dst->format = enc->pix_fmt;
      dst->width = enc->width;
      dst->height = enc->height;
      if (av_frame_get_buffer(dst, 0) < 0) throw FFmpegException("Cannot allocate temp picture, check pix fmt");
    } else if (av_frame_make_writable(dst) < 0) {
      throw FFmpegException("Cannot allocate temp picture, check pix fmt");
    }
    sws_scale(ost.img_resample_ctx.get(), pic->data, pic->linesize, 0, pic->height, dst->data, dst->linesize);
    av_frame_copy_props(dst, pic);
    av_frame_unref(pic);
    if (av_frame_ref(pic, dst) < 0) throw FFmpegException("av_frame_ref failed");
  }

  // Frame-rate synchronisation.
  const double syncIpts = static_cast<double>(ist.pts - s_.start_time) / 1000000.0 / av_q2d(enc->time_base);
  int nbFrames = 1;
  if (s_.video_sync_method) {
    const double vdelta = syncIpts - static_cast<double>(ost.sync_opts);
    const AVOutputFormat* ofmt = outputFiles_[ost.file_index]->ctx->oformat;
    if (vdelta < -1.1) {
      nbFrames = 0;
    } else if (s_.video_sync_method == 2 || (s_.video_sync_method < 0 && (ofmt->flags & AVFMT_VARIABLE_FPS))) {
      if (vdelta <= -0.6)
        nbFrames = 0;
      else if (vdelta > 0.6)
        ost.sync_opts = std::lrint(syncIpts);
    } else if (vdelta > 1.1) {
      nbFrames = static_cast<int>(std::lrint(vdelta));
    }
    if (nbFrames == 0) {
      ++nbFramesDrop_;
      dupDropFlagged_ = true;
      if (s_.verbose > 2) Log(llVerbose, "*** drop!");
    } else if (nbFrames > 1) {
      nbFramesDup_ += nbFrames - 1;
      dupDropFlagged_ = true;
      if (s_.verbose > 2) Log(llVerbose, StrFormat("*** %d dup!", nbFrames - 1));
    }
  } else {
    ost.sync_opts = std::lrint(syncIpts);
  }
  nbFrames = std::min(nbFrames, s_.max_frames[0] - ost.frame_number);

  const AVCodecContext* videoOpts = codecOpts_[mkVideo].get();
  for (int i = 0; i < nbFrames && !stopRequested_; ++i) {
    if (i > 0) pauseGate_.Pass();
    pic->pts = ost.sync_opts;
    pic->interlaced_frame = in->interlaced_frame;
    if (videoOpts->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME))
      pic->top_field_first = s_.top_field_first == -1 ? in->top_field_first : s_.top_field_first;
    pic->quality = s_.same_quality ? in->quality : enc->global_quality;
    if (!s_.me_threshold) pic->pict_type = AV_PICTURE_TYPE_NONE;
    int ret = avcodec_send_frame(enc, pic);
    if (ret < 0) {
      av_frame_unref(pic);
      throw FFmpegException("Video encoding failed");
    }
    if (ReceiveEncodedPackets(ost) > 0) Preview(ost, pic);
    ost.sync_opts++;
    ost.frame_number++;
  }
  av_frame_unref(pic);
}

void TCustomFFmpeg::EncodeAudioFrame(TOutputStream& ost, AVFrame* frame) {
  pauseGate_.Pass();
  frame->pts = ost.sync_opts;
  ost.sync_opts += frame->nb_samples;
  if (avcodec_send_frame(ost.enc, frame) < 0) throw FFmpegException("Audio encoding failed");
  ReceiveEncodedPackets(ost);
  ost.frame_number++;
}

namespace {

// A frame buffer of the encoder's format for n samples, reused while big enough.
AVFrame* AudioBuffer(AVFramePtr& holder, const AVCodecContext* enc, int n) {
  if (!holder) holder.reset(av_frame_alloc());
  AVFrame* f = holder.get();
  if (!f) throw FFmpegException("av_mallocz fail");
  const int bps = av_get_bytes_per_sample(enc->sample_fmt);
  const int64_t planeBytes =
      static_cast<int64_t>(n) * bps * (av_sample_fmt_is_planar(enc->sample_fmt) ? 1 : enc->ch_layout.nb_channels);
  // linesize[0] keeps the plane capacity while nb_samples follows each use.
  if (f->buf[0] && f->linesize[0] >= planeBytes && av_frame_make_writable(f) >= 0) {
    f->nb_samples = n;
    return f;
  }
  av_frame_unref(f);
  f->format = enc->sample_fmt;
  f->sample_rate = enc->sample_rate;
  if (av_channel_layout_copy(&f->ch_layout, &enc->ch_layout) < 0) throw FFmpegException("av_mallocz fail");
  f->nb_samples = n;
  if (av_frame_get_buffer(f, 0) < 0) throw FFmpegException("av_mallocz fail");
  return f;
}

}  // namespace

namespace {

// Pointers to sample `offset` of a buffer of the given format and channel count.
void OffsetSamples(uint8_t** out, uint8_t* const* data, int offset, AVSampleFormat fmt, int channels) {
  const int bps = av_get_bytes_per_sample(fmt);
  const bool planar = av_sample_fmt_is_planar(fmt);
  const int planes = planar ? channels : 1;
  for (int p = 0; p < planes; ++p) out[p] = data[p] + static_cast<ptrdiff_t>(offset) * bps * (planar ? 1 : channels);
}

}  // namespace

void TCustomFFmpeg::DoAudioOut(TOutputStream& ost, TInputStream& ist, AVFrame* in) {
  AVCodecContext* enc = ost.enc;
  if (!enc) return;
  const int channels = enc->ch_layout.nb_channels;
  const int rate = enc->sample_rate;
  if (!ost.fifo) {
    ost.fifo.reset(av_audio_fifo_alloc(enc->sample_fmt, channels, 1024));
    if (!ost.fifo) throw FFmpegException("av_fifo_alloc fail");
  }
  AVChannelLayout inLayout{};
  if (in->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
    av_channel_layout_default(&inLayout, in->ch_layout.nb_channels);
  else if (av_channel_layout_copy(&inLayout, &in->ch_layout) < 0)
    throw FFmpegException("av_mallocz fail");
  const bool convert = ost.audio_resample || in->format != enc->sample_fmt || in->sample_rate != rate ||
                       av_channel_layout_compare(&inLayout, &enc->ch_layout) != 0;
  if (convert && (!ost.swr || in->format != ost.swr_in_fmt || in->sample_rate != ost.swr_in_rate ||
                  av_channel_layout_compare(&inLayout, &ost.swr_in_layout) != 0)) {
    SwrContext* swr = nullptr;
    int ret = swr_alloc_set_opts2(&swr, &enc->ch_layout, enc->sample_fmt, rate, &inLayout,
                                  static_cast<AVSampleFormat>(in->format), in->sample_rate, 0, nullptr);
    ost.swr.reset(swr);
    // Mono into stereo is copied into both channels at full level, as the samples were
    // always duplicated, not mixed in at -3 dB.
    if (ret >= 0 && inLayout.nb_channels == 1 && channels == 2) {
      const double matrix[2] = {1.0, 1.0};
      ret = swr_set_matrix(swr, matrix, 1);
    }
    if (ret < 0 || swr_init(swr) < 0) {
      ost.swr.reset();
      av_channel_layout_uninit(&inLayout);
      throw FFmpegException(StrFormat("Can not resample %d channels @ %d Hz to %d channels @ %d Hz",
                                      in->ch_layout.nb_channels, in->sample_rate, channels, rate));
    }
    ost.swr_in_fmt = in->format;
    ost.swr_in_rate = in->sample_rate;
    av_channel_layout_uninit(&ost.swr_in_layout);
    av_channel_layout_copy(&ost.swr_in_layout, &inLayout);
  }
  av_channel_layout_uninit(&inLayout);

  // Synchronisation with the input timestamps, in output samples.
  const double syncSamples = static_cast<double>(ist_[ost.sync_ist].pts - s_.start_time) / 1000000.0 * rate;
  const int64_t pending = av_audio_fifo_size(ost.fifo.get());
  int64_t discard = 0;
  if (s_.audio_sync_method == 0) {
    ost.sync_opts = std::llrint(syncSamples) - pending;
  } else {
    const double delta = syncSamples - static_cast<double>(ost.sync_opts) - static_cast<double>(pending);
    if (std::fabs(delta) > 50) {
      if (ist.is_start || std::fabs(delta) > s_.audio_drift_threshold * rate) {
        if (delta < 0) {
          discard = static_cast<int64_t>(std::trunc(-delta));
          if (s_.verbose > 2) Log(llVerbose, StrFormat("discarding %d audio samples", static_cast<int>(discard)));
        } else {
          const int silence = static_cast<int>(std::trunc(delta));
          AVFrame* f = AudioBuffer(ost.audio_frame, enc, silence);
          av_samples_set_silence(f->extended_data, 0, silence, channels, enc->sample_fmt);
          if (av_audio_fifo_write(ost.fifo.get(), reinterpret_cast<void**>(f->extended_data), silence) < silence)
            throw FFmpegException("av_fifo_realloc2() failed");
          if (s_.verbose > 2) Log(llVerbose, StrFormat("adding %d audio samples of silence", silence));
        }
        ist.is_start = false;
      } else if (s_.audio_sync_method > 1 && ost.swr) {
        const int m = s_.audio_sync_method;
        const int comp = std::clamp(static_cast<int>(std::trunc(delta)), -m, m);
        if (s_.verbose > 2)
          Log(llVerbose, StrFormat("compensating audio timestamp drift:%f compensation:%d in:%d", delta, comp, rate));
        swr_set_compensation(ost.swr.get(), comp, rate);
      }
    }
  }

  // Conversion into the fifo, less the discarded samples.
  uint8_t* const* data = in->extended_data;
  int n = in->nb_samples;
  if (convert) {
    const int outCount = swr_get_out_samples(ost.swr.get(), in->nb_samples);
    AVFrame* conv = AudioBuffer(ost.audio_frame, enc, std::max(outCount, 1));
    n = swr_convert(ost.swr.get(), conv->extended_data, outCount, const_cast<const uint8_t**>(in->extended_data),
                    in->nb_samples);
    if (n < 0) throw FFmpegException("audio_resample failed");
    data = conv->extended_data;
  }
  if (discard >= n) return;
  uint8_t* ptrs[AV_NUM_DATA_POINTERS > 64 ? AV_NUM_DATA_POINTERS : 64] = {};
  OffsetSamples(ptrs, data, static_cast<int>(discard), enc->sample_fmt, channels);
  const int keep = n - static_cast<int>(discard);
  if (av_audio_fifo_write(ost.fifo.get(), reinterpret_cast<void**>(ptrs), keep) < keep)
    throw FFmpegException("av_fifo_realloc2() failed");

  // Frame-based encoders take exactly frame_size samples; the others take what there is.
  const bool variable = enc->frame_size <= 1 || (enc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
  for (;;) {
    const int have = av_audio_fifo_size(ost.fifo.get());
    const int n = variable ? have : enc->frame_size;
    if (have <= 0 || have < n) break;
    AVFrame* f = AudioBuffer(ost.audio_frame, enc, n);
    if (av_audio_fifo_read(ost.fifo.get(), reinterpret_cast<void**>(f->extended_data), n) < n)
      throw FFmpegException("av_fifo_generic_read failed");
    EncodeAudioFrame(ost, f);
  }
}

void TCustomFFmpeg::FlushEncoder(TOutputStream& ost) {
  AVCodecContext* enc = ost.enc;
  if (!enc || !ost.encoder_open || ost.flushed_encoder) return;
  ost.flushed_encoder = true;
  if (enc->codec_type == AVMEDIA_TYPE_SUBTITLE) return;
  if (enc->codec_type == AVMEDIA_TYPE_AUDIO && ost.fifo) {
    const int have = av_audio_fifo_size(ost.fifo.get());
    if (have > 0) {
      const bool small = enc->frame_size <= 1 ||
                         (enc->codec->capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE));
      const int n = small ? have : enc->frame_size;
      AVFrame* f = AudioBuffer(ost.audio_frame, enc, n);
      if (av_audio_fifo_read(ost.fifo.get(), reinterpret_cast<void**>(f->extended_data), have) < have)
        throw FFmpegException("av_fifo_generic_read failed");
      if (n > have)
        av_samples_set_silence(f->extended_data, have, n - have, enc->ch_layout.nb_channels, enc->sample_fmt);
      EncodeAudioFrame(ost, f);
    }
  }
  if (enc->codec_type == AVMEDIA_TYPE_VIDEO && ost.graph) {
    // Frames the filters still hold.
    ost.flushed_encoder = false;
    FilterAndEncode(ost, ist_[ost.source_index], nullptr);
    ost.flushed_encoder = true;
  }
  int ret = avcodec_send_frame(enc, nullptr);
  if (ret < 0 && ret != AVERROR_EOF)
    throw FFmpegException(enc->codec_type == AVMEDIA_TYPE_AUDIO ? "Audio encoding failed" : "Video encoding failed");
  ReceiveEncodedPackets(ost);
}

void TCustomFFmpeg::DoSubtitleOut(TOutputStream& ost, TInputStream&, AVSubtitle* sub, int64_t pts) {
  AVCodecContext* enc = ost.enc;
  if (!enc) return;
  if (pts == AV_NOPTS_VALUE) {
    Log(llError, "Subtitle packets must have a pts");
    if (s_.exit_on_error) throw FFmpegException("Subtitle packets must have a pts");
    return;
  }
  if (subtitleBuffer_.empty()) subtitleBuffer_.resize(1 << 20);
  // DVB subtitles are sent twice: once to show, once to clear.
  const int nb = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE ? 2 : 1;
  for (int i = 0; i < nb; ++i) {
    AVSubtitle copy = *sub;
    copy.pts = pts + av_rescale_q(sub->start_display_time, AVRational{1, 1000}, AV_TIME_BASE_Q);
    copy.end_display_time -= copy.start_display_time;
    copy.start_display_time = 0;
    if (i == 1) copy.num_rects = 0;
    const int size = avcodec_encode_subtitle(enc, subtitleBuffer_.data(), static_cast<int>(subtitleBuffer_.size()), &copy);
    if (size < 0) throw FFmpegException("Subtitle encoding failed");
    AVPacket* pkt = ost.pkt.get();
    if (av_new_packet(pkt, size) < 0) throw FFmpegException("av_mallocz fail");
    std::copy(subtitleBuffer_.begin(), subtitleBuffer_.begin() + size, pkt->data);
    int64_t at = copy.pts;
    if (nb == 2) at = pts + av_rescale_q(i == 0 ? sub->start_display_time : sub->end_display_time,
                                        AVRational{1, 1000}, AV_TIME_BASE_Q);
    pkt->pts = pkt->dts = av_rescale_q(at - s_.start_time, AV_TIME_BASE_Q, ost.st->time_base);
    pkt->duration = av_rescale_q(copy.end_display_time, AVRational{1, 1000}, ost.st->time_base);
    WritePacket(ost, pkt);
    ost.frame_number++;
  }
}

}  // namespace quenza
