// The video path before encoding: pre-processing (deinterlace, frame hooks), the
// filter graph, previews and the video statistics file.

#include <algorithm>
#include <cmath>
#include <cstdio>

extern "C" {
#include <libavcodec/dv_profile.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/time.h>
}

#include "engine/Deinterlace.h"
#include "engine/EngineHost.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegException.h"
#include "engine/OptionParse.h"

namespace quenza {

void TCustomFFmpeg::SetPreviewFlags(int flags) {
  std::lock_guard<std::mutex> lock(PreviewLock());
  previewFlags_ = flags & 3;
}

int TCustomFFmpeg::PreviewFlags() const {
  std::lock_guard<std::mutex> lock(PreviewLock());
  return previewFlags_;
}

AVFrame* TCustomFFmpeg::PreProcess(TInputStream& ist, AVFrame* frame) {
  ++frameCounter_;
  const bool custom = static_cast<bool>(OnCustomHook);
  if (!s_.do_deinterlace && !custom && !hooksInUse_) return frame;

  // The pre-processing buffer: decoded pictures may be the decoder's references and
  // must not be edited in place. Encoders may keep the pictures they were given, so
  // the buffers form a ring and a free one is taken; steady state allocates nothing.
  AVFrame* buf = nullptr;
  for (auto& f : preFrames_)
    if (f->width == frame->width && f->height == frame->height && f->format == frame->format &&
        av_frame_is_writable(f.get())) {
      buf = f.get();
      break;
    }
  if (!buf) {
    preFrames_.erase(std::remove_if(preFrames_.begin(), preFrames_.end(),
                                    [&](const AVFramePtr& f) {
                                      return f->width != frame->width || f->height != frame->height ||
                                             f->format != frame->format;
                                    }),
                     preFrames_.end());
    AVFramePtr fresh(av_frame_alloc());
    if (fresh) {
      fresh->format = frame->format;
      fresh->width = frame->width;
      fresh->height = frame->height;
    }
    if (!fresh || av_frame_get_buffer(fresh.get(), 0) < 0) {
      Log(llError, "hook buf malloc error.");
      return frame;
    }
    buf = fresh.get();
    preFrames_.push_back(std::move(fresh));
  }

  bool inBuffer = false;
  if (s_.do_deinterlace) {
    if (DeinterlacePicture(buf, frame))
      inBuffer = true;
    else
      Log(llError, "Deinterlacing failed.");
  }
  AVFrame* current = inBuffer ? buf : frame;
  if (custom) {
    bool edited = false;
    RunCustomHook(current, buf, edited, ist.pts);
    inBuffer = inBuffer || edited;
  } else if (hooksInUse_) {
    if (!inBuffer) {
      if (av_frame_copy(buf, frame) < 0) return frame;
      inBuffer = true;
    }
    TFrameHookPicture pict{};
    for (int i = 0; i < 4; ++i) {
      pict.data[i] = buf->data[i];
      pict.linesize[i] = buf->linesize[i];
    }
    for (const auto& hook : hooks_) hook->Process(&pict, buf->format, buf->width, buf->height, ist.pts);
  }
  if (!inBuffer) return frame;
  // The properties the encoding path reads; side data and metadata stay with the
  // decoded frame (copying them would allocate for every frame).
  buf->pts = frame->pts;
  buf->pkt_dts = frame->pkt_dts;
  buf->best_effort_timestamp = frame->best_effort_timestamp;
  buf->pkt_duration = frame->pkt_duration;
  buf->interlaced_frame = frame->interlaced_frame;
  buf->top_field_first = frame->top_field_first;
  buf->sample_aspect_ratio = frame->sample_aspect_ratio;
  buf->quality = frame->quality;
  buf->key_frame = frame->key_frame;
  buf->pict_type = frame->pict_type;
  buf->color_range = frame->color_range;
  buf->color_primaries = frame->color_primaries;
  buf->color_trc = frame->color_trc;
  buf->colorspace = frame->colorspace;
  buf->chroma_location = frame->chroma_location;
  return buf;
}

void TCustomFFmpeg::RunCustomHook(AVFrame* picture, AVFrame* out, bool& edited, int64_t pts) {
  // The bitmap's rows are converted as the handler asks for them (the picture stays
  // valid meanwhile), so a handler pays only for the rows it touches.
  bool stop = false;
  if (!hookConverter_.BeginBitmap(picture)) {
    Log(llError, "Cannot initialize the toRGB conversion context");
    stop = true;
  } else {
    bool update = true;
    try {
      OnCustomHook(this, &hookConverter_.Bitmap(), &stop, &update, pts, frameCounter_);
    } catch (const std::exception& e) {
      Log(llError, std::string("Error occurs OnCustomHook: ") + e.what());
      update = false;
    } catch (...) {
      Log(llError, "Error occurs OnCustomHook: unknown exception");
      update = false;
    }
    if (hookConverter_.MakeFailed()) {
      Log(llError, "Cannot initialize the toRGB conversion context");
      stop = true;
    } else if (update) {
      bool changed = false;
      if (hookConverter_.FromBitmap(picture, out, changed)) {
        edited = changed;
      } else {
        Log(llError, "Cannot initialize the fromRGB conversion context");
        stop = true;
      }
    }
  }
  hookConverter_.EndBitmap();
  if (stop) {
    OnCustomHook = nullptr;
    hooksInUse_ = false;
  }
}

void TCustomFFmpeg::ConfigureFilters(TOutputStream& ost, TInputStream& ist) {
  AVCodecContext* enc = ost.enc;
  AVCodecContext* dec = ist.dec;
  auto fail = [](int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    if (code < 0 && av_strerror(code, text, sizeof text) == 0 && text[0])
      throw FFmpegException(std::string("Error opening filters: ") + text);
    throw FFmpegException("Error opening filters!");
  };
  ost.graph.reset(avfilter_graph_alloc());
  AVFilterGraph* graph = ost.graph.get();
  const AVFilter* buffer = avfilter_get_by_name("buffer");
  const AVFilter* buffersink = avfilter_get_by_name("buffersink");
  if (!graph || !buffer || !buffersink) fail(0);

  AVRational sar = dec->sample_aspect_ratio.num ? dec->sample_aspect_ratio : AVRational{0, 1};
  std::string args = StrFormat("video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=%d/%d", dec->width,
                               dec->height, dec->pix_fmt, AV_TIME_BASE, sar.num, sar.den);
  int ret = avfilter_graph_create_filter(&ost.filter_src, buffer, "src", args.c_str(), nullptr, graph);
  if (ret < 0) fail(ret);
  ost.filter_sink = avfilter_graph_alloc_filter(graph, buffersink, "out");
  if (!ost.filter_sink) fail(AVERROR(ENOMEM));
  const AVPixelFormat formats[] = {enc->pix_fmt, AV_PIX_FMT_NONE};
  if (enc->pix_fmt != AV_PIX_FMT_NONE &&
      (ret = av_opt_set_int_list(ost.filter_sink, "pix_fmts", formats, AV_PIX_FMT_NONE, AV_OPT_SEARCH_CHILDREN)) < 0)
    fail(ret);
  if ((ret = avfilter_init_str(ost.filter_sink, nullptr)) < 0) fail(ret);

  AVFilterContext* last = ost.filter_src;
  const int cw = dec->width - (s_.crop_left + s_.crop_right);
  const int ch = dec->height - (s_.crop_top + s_.crop_bottom);
  if (s_.crop_top || s_.crop_bottom || s_.crop_left || s_.crop_right) {
    // The cropped area is the picture minus the bands.
    AVFilterContext* crop = nullptr;
    std::string a = StrFormat("x=%d:y=%d:w=%d:h=%d", s_.crop_left, s_.crop_top, cw, ch);
    if ((ret = avfilter_graph_create_filter(&crop, avfilter_get_by_name("crop"), "cropping", a.c_str(), nullptr,
                                            graph)) < 0 ||
        (ret = avfilter_link(last, 0, crop, 0)) < 0)
      fail(ret);
    last = crop;
  }
  int64_t swsFlags = s_.sws_flags;
  av_opt_get_int(scalerOpts_.get(), "sws_flags", 0, &swsFlags);
  if (enc->width > 0 && enc->height > 0 && (enc->width != cw || enc->height != ch)) {
    AVFilterContext* scale = nullptr;
    std::string a = StrFormat("w=%d:h=%d:flags=0x%X", enc->width, enc->height, static_cast<unsigned>(swsFlags));
    if ((ret = avfilter_graph_create_filter(&scale, avfilter_get_by_name("scale"), "scale", a.c_str(), nullptr,
                                            graph)) < 0 ||
        (ret = avfilter_link(last, 0, scale, 0)) < 0)
      fail(ret);
    last = scale;
  }
  av_freep(&graph->scale_sws_opts);
  graph->scale_sws_opts = av_strdup(StrFormat("flags=0x%X", static_cast<unsigned>(swsFlags)).c_str());

  AVFilterInOut* outputs = avfilter_inout_alloc();
  AVFilterInOut* inputs = avfilter_inout_alloc();
  if (!outputs || !inputs) {
    avfilter_inout_free(&outputs);
    avfilter_inout_free(&inputs);
    fail(AVERROR(ENOMEM));
  }
  outputs->name = av_strdup("in");
  outputs->filter_ctx = last;
  outputs->pad_idx = 0;
  inputs->name = av_strdup("out");
  inputs->filter_ctx = ost.filter_sink;
  inputs->pad_idx = 0;
  ret = avfilter_graph_parse_ptr(graph, s_.vfilters.c_str(), &inputs, &outputs, nullptr);
  avfilter_inout_free(&outputs);
  avfilter_inout_free(&inputs);
  if (ret < 0) fail(ret);
  if ((ret = avfilter_graph_config(graph, nullptr)) < 0) fail(ret);

  const int requestedWidth = enc->width, requestedHeight = enc->height;
  enc->width = av_buffersink_get_w(ost.filter_sink);
  enc->height = av_buffersink_get_h(ost.filter_sink);
  // DV takes one pixel format per frame size; once the chain has decided the size, the
  // graph is made again for that format when the first choice has no DV profile.
  if (enc->codec_id == AV_CODEC_ID_DVVIDEO && enc->codec && enc->codec->pix_fmts &&
      !av_dv_codec_profile2(enc->width, enc->height, enc->pix_fmt, enc->framerate)) {
    for (const AVPixelFormat* f = enc->codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f) {
      if (*f == enc->pix_fmt || !av_dv_codec_profile2(enc->width, enc->height, *f, enc->framerate)) continue;
      enc->pix_fmt = *f;
      enc->width = requestedWidth;
      enc->height = requestedHeight;
      ConfigureFilters(ost, ist);
      return;
    }
  }
  AVRational osar = av_buffersink_get_sample_aspect_ratio(ost.filter_sink);
  if (osar.num) ost.st->sample_aspect_ratio = enc->sample_aspect_ratio = osar;
  ost.filtered.reset(av_frame_alloc());
  if (!ost.filtered) fail(AVERROR(ENOMEM));
}

void TCustomFFmpeg::FilterAndEncode(TOutputStream& ost, TInputStream& ist, AVFrame* frame) {
  const int64_t savedPts = ist.pts;
  if (frame) frame->pts = ist.pts;
  int ret = av_buffersrc_add_frame_flags(ost.filter_src, frame, frame ? AV_BUFFERSRC_FLAG_KEEP_REF : 0);
  if (ret < 0 && ret != AVERROR_EOF) throw FFmpegException("Error while feeding the filter graph");
  const AVRational tb = av_buffersink_get_time_base(ost.filter_sink);
  AVFrame* out = ost.filtered.get();
  while ((ret = av_buffersink_get_frame(ost.filter_sink, out)) >= 0) {
    // The filtered picture's time is the input stream's for the encoder.
    if (out->pts != AV_NOPTS_VALUE) ist.pts = av_rescale_q(out->pts, tb, AV_TIME_BASE_Q);
    try {
      DoVideoOut(ost, ist, out);
    } catch (...) {
      av_frame_unref(out);
      ist.pts = savedPts;
      throw;
    }
    av_frame_unref(out);
  }
  ist.pts = savedPts;
}

void TCustomFFmpeg::Preview(TOutputStream& ost, const AVFrame* picture) {
  int flags;
  {
    std::lock_guard<std::mutex> lock(PreviewLock());
    flags = previewFlags_;
  }
  if (!(flags & 3)) return;
  const int64_t now = av_gettime();
  if (now - lastPreviewTime_ <= previewInterval_) return;
  lastPreviewTime_ = now;
  const int64_t pts = av_rescale_q(picture->pts, ost.enc->time_base, AV_TIME_BASE_Q);
  // The handlers run without the lock: they may wait for the thread that sets the flags.
  int cleared = 0;
  if ((flags & 2) && OnPreviewBitmap) {
    if (previewConverter_.ToBitmap(picture)) {
      OnPreviewBitmap(this, &previewConverter_.Bitmap(), pts, frameCounter_);
    } else {
      Log(llError, "Cannot initialize the toRGB conversion context");
      cleared |= 2;
    }
  } else if (flags & 1) {
    if (!OnPreviewWindow || !previewConverter_.ToBitmap(picture) ||
        !OnPreviewWindow(this, &previewConverter_.Bitmap(), frameCounter_, pts))
      cleared |= 1;
  }
  if (cleared) {
    std::lock_guard<std::mutex> lock(PreviewLock());
    previewFlags_ &= ~cleared;
  }
}

void TCustomFFmpeg::WriteVideoStats(TOutputStream& ost, const AVPacket* pkt) {
  if (s_.vstats_filename.empty() || pkt->size <= 0) return;
  if (!vstatsFile_) {
    vstatsFile_ = std::fopen(s_.vstats_filename.c_str(), "w");
    if (!vstatsFile_) throw FFmpegException("fopen fail: " + s_.vstats_filename);
  }
  AVCodecContext* enc = ost.enc;
  size_t sdSize = 0;
  const uint8_t* sd = av_packet_get_side_data(pkt, AV_PKT_DATA_QUALITY_STATS, &sdSize);
  const double q = sd && sdSize >= 4 ? AV_RL32(sd) / static_cast<double>(FF_QP2LAMBDA) : 0.0;
  const int pictType = sd && sdSize >= 5 ? static_cast<int>(sd[4]) : static_cast<int>(AV_PICTURE_TYPE_NONE);
  std::fprintf(vstatsFile_, "frame= %5d q= %2.1f ", ost.frame_number, q);
  if ((enc->flags & AV_CODEC_FLAG_PSNR) && sd && sdSize >= 16 && sd[5] > 0) {
    const double error = static_cast<double>(AV_RL64(sd + 8));
    std::fprintf(vstatsFile_, "PSNR= %6.2f ",
                 -10.0 * std::log10(error / (static_cast<double>(enc->width) * enc->height * 255.0 * 255.0)));
  }
  std::fprintf(vstatsFile_, "f_size= %6d ", pkt->size);
  double ti1 = ost.sync_opts * av_q2d(enc->time_base);
  if (ti1 < 0.01) ti1 = 0.01;
  const double bitrate = pkt->size * 8 / av_q2d(enc->time_base) / 1000.0;
  const double avgBitrate = static_cast<double>(videoSize_) * 8 / ti1 / 1000.0;
  std::fprintf(vstatsFile_, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
               static_cast<double>(videoSize_) / 1024, ti1, bitrate, avgBitrate);
  std::fprintf(vstatsFile_, "type= %c\n", av_get_picture_type_char(static_cast<AVPictureType>(pictType)));
}

}  // namespace quenza
