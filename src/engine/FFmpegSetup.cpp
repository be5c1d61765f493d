// Transcode set-up: stream tables, source choice, copy and encode set-up, opening and
// closing codecs, metadata, chapters, headers and the stream mapping report.

#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/time.h>
}

#include "engine/EngineHost.h"
#include "engine/ErrorText.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegException.h"
#include "engine/OptionParse.h"

namespace quenza {

namespace {

// Frames seen of a stream: the container's count when it has one, else an estimate
// from the duration and the frame or packet rate.
double ProbedFrames(const AVStream* st) {
  if (st->nb_frames > 0) return static_cast<double>(st->nb_frames);
  if (st->duration == AV_NOPTS_VALUE || st->duration <= 0) return 0;
  double seconds = st->duration * av_q2d(st->time_base);
  const AVCodecParameters* par = st->codecpar;
  if (par->codec_type == AVMEDIA_TYPE_VIDEO && st->avg_frame_rate.num && st->avg_frame_rate.den)
    return seconds * av_q2d(st->avg_frame_rate);
  if (par->codec_type == AVMEDIA_TYPE_AUDIO && par->sample_rate > 0)
    return seconds * par->sample_rate / (par->frame_size > 0 ? par->frame_size : 1024);
  return seconds;
}

}  // namespace

void TCustomFFmpeg::PrintStreamMapping() const {
  for (size_t i = 0; i < outputFiles_.size(); ++i) {
    if (joined_ && i > 0) break;
    av_dump_format(outputFiles_[i]->ctx, static_cast<int>(i), outputFiles_[i]->name.c_str(), 1);
  }
  if (s_.verbose < 0) return;
  Log(llVerbose, "Stream mapping:");
  for (const auto& ost : ost_) {
    const TInputStream& ist = ist_[ost->source_index];
    AVMediaType type = ost->st->codecpar->codec_type;
    if (type == AVMEDIA_TYPE_UNKNOWN) type = ost->enc->codec_type;
    Log(llVerbose, StrFormat("  Stream #%d.%d -> #%d.%d (%s)", ist.file_index, ist.st_index,
                             joined_ ? 0 : ost->file_index, ost->index, MediaTypeName(type)));
    if (ost->sync_ist != ost->source_index) {
      const TInputStream& sync = ist_[ost->sync_ist];
      Log(llVerbose, StrFormat(" [sync #%d.%d (%s)]", sync.file_index, sync.st_index,
                               MediaTypeName(sync.st->codecpar->codec_type)));
    }
  }
}

void TCustomFFmpeg::ChooseSources() {
  const int nbOst = static_cast<int>(ost_.size());
  for (int n = 0; n < nbOst; ++n) {
    TOutputStream& ost = *ost_[n];
    const AVMediaType type = ost.enc->codec_type;
    if (!s_.stream_maps.empty()) {
      const TStreamMap& m = s_.stream_maps[n];
      ost.source_index = inputFiles_[m.file_index]->ist_index + m.stream_index;
      TInputStream& ist = ist_[ost.source_index];
      if (ist.st->codecpar->codec_type != type) {
        av_dump_format(outputFiles_[ost.file_index]->ctx, ost.file_index,
                       outputFiles_[ost.file_index]->name.c_str(), 1);
        throw FFmpegException(StrFormat("Codec type mismatch for mapping #%d.%d (%s) -> #%d.%d (%s)",
                                        m.file_index, m.stream_index,
                                        MediaTypeName(ist.st->codecpar->codec_type), ost.file_index,
                                        ost.index, MediaTypeName(type)));
      }
      ost.sync_ist = inputFiles_[m.sync_file_index]->ist_index + m.sync_stream_index;
    } else {
      int best = -1;
      double bestFrames = -1;
      for (int j = 0; j < static_cast<int>(ist_.size()); ++j) {
        TInputStream& ist = ist_[j];
        if (!ist.available || ist.st->discard == AVDISCARD_ALL || ist.st->codecpar->codec_type != type)
          continue;
        if (s_.opt_programid) {
          bool inProgram = false;
          AVFormatContext* ic = inputFiles_[ist.file_index]->ctx;
          for (unsigned p = 0; p < ic->nb_programs && !inProgram; ++p)
            if (ic->programs[p]->id == s_.opt_programid)
              for (unsigned k = 0; k < ic->programs[p]->nb_stream_indexes; ++k)
                if (static_cast<int>(ic->programs[p]->stream_index[k]) == ist.st_index) inProgram = true;
          if (!inProgram) continue;
        }
        if (joined_ && ist.file_index != ost.file_index) continue;
        double frames = ProbedFrames(ist.st);
        if (frames > bestFrames) {
          bestFrames = frames;
          best = j;
        }
      }
      if (best < 0 && !s_.opt_programid && !joined_) {
        for (int j = 0; j < static_cast<int>(ist_.size()); ++j)
          if (ist_[j].st->codecpar->codec_type == type && ist_[j].st->discard != AVDISCARD_ALL) best = j;
      }
      if (best < 0) {
        av_dump_format(outputFiles_[ost.file_index]->ctx, ost.file_index,
                       outputFiles_[ost.file_index]->name.c_str(), 1);
        throw FFmpegException(StrFormat("Could not find input stream matching output stream #%d.%d (%s)",
                                        ost.file_index, ost.index, MediaTypeName(type)));
      }
      ost.source_index = best;
      ost.sync_ist = best;
    }
    ist_[ost.source_index].available = false;
    ost.active = true;
  }
}

void TCustomFFmpeg::SetupCopy(TOutputStream& ost, TInputStream& ist) {
  AVCodecParameters* ipar = ist.st->codecpar;
  AVCodecParameters* opar = ost.st->codecpar;
  if (static_cast<uint64_t>(ipar->extradata_size) + AV_INPUT_BUFFER_PADDING_SIZE > INT32_MAX)
    throw FFmpegException("icodec.extradata_size is invalid (too large)");
  const AVOutputFormat* ofmt = outputFiles_[ost.file_index]->ctx->oformat;
  switch (ipar->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      if (OnCustomHook)
        throw FFmpegException("-vcodec copy and CustomHook are incompatible (frames are not decoded)");
      if (!hooks_.empty())
        throw FFmpegException("-vcodec copy and -vhook are incompatible (frames are not decoded)");
      if (PreviewFlags() & 3)
        throw FFmpegException("-vcodec copy and PostHooks are incompatible (frames are not decoded)");
      break;
    case AVMEDIA_TYPE_AUDIO:
      if (s_.audio_volume != 256)
        throw FFmpegException("-acodec copy and -vol are incompatible (frames are not decoded)");
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      break;
    default:
      throw FFmpegException("invalid codec_type of output stream");
  }
  const uint32_t wantedTag = ost.enc->codec_tag;
  if (avcodec_parameters_copy(opar, ipar) < 0) throw FFmpegException("av_mallocz fail");
  if (wantedTag) {
    opar->codec_tag = wantedTag;
  } else {
    unsigned int tag = 0;
    bool keep = !ofmt->codec_tag ||
                av_codec_get_id(ofmt->codec_tag, ipar->codec_tag) == ipar->codec_id ||
                !av_codec_get_tag2(ofmt->codec_tag, ipar->codec_id, &tag);
    opar->codec_tag = keep ? ipar->codec_tag : 0;
  }
  if (ipar->codec_type == AVMEDIA_TYPE_AUDIO) {
    if ((ipar->block_align == 1 && ipar->codec_id == AV_CODEC_ID_MP3) || ipar->codec_id == AV_CODEC_ID_AC3)
      opar->block_align = 0;
  }
  if (ipar->codec_type == AVMEDIA_TYPE_VIDEO && ost.st->sample_aspect_ratio.num == 0)
    ost.st->sample_aspect_ratio = ist.st->sample_aspect_ratio;
  ost.st->time_base = ist.st->time_base;
  ost.st->avg_frame_rate = ist.st->avg_frame_rate;
  ost.st->r_frame_rate = ist.st->r_frame_rate;
}

void TCustomFFmpeg::SetupEncode(TOutputStream& ost, TInputStream& ist) {
  AVCodecContext* enc = ost.enc;
  AVCodecContext* dec = ist.dec;
  switch (enc->codec_type) {
    case AVMEDIA_TYPE_VIDEO: {
      if (dec->pix_fmt == AV_PIX_FMT_NONE)
        throw FFmpegException("Video pixel format is unknown, stream cannot be encoded");
      ost.video_crop = s_.crop_top || s_.crop_bottom || s_.crop_left || s_.crop_right;
      ost.topBand = ost.original_topBand = s_.crop_top;
      ost.bottomBand = ost.original_bottomBand = s_.crop_bottom;
      ost.leftBand = ost.original_leftBand = s_.crop_left;
      ost.rightBand = ost.original_rightBand = s_.crop_right;
      const int cw = dec->width - (ost.leftBand + ost.rightBand);
      const int ch = dec->height - (ost.topBand + ost.bottomBand);
      ost.video_resample = !(cw == enc->width && ch == enc->height && dec->pix_fmt == enc->pix_fmt);
      if (ost.video_resample) {
        int64_t flags = 0;
        av_opt_get_int(scalerOpts_.get(), "sws_flags", 0, &flags);
        s_.sws_flags = static_cast<int>(flags);
        if (cw <= 0 || ch <= 0 || enc->width <= 0 || enc->height <= 0)
          throw FFmpegException("Cannot get resampling context");
        ost.img_resample_ctx.reset(sws_getContext(cw, ch, dec->pix_fmt, enc->width, enc->height,
                                                  enc->pix_fmt, s_.sws_flags, nullptr, nullptr, nullptr));
        if (!ost.img_resample_ctx) throw FFmpegException("Cannot get resampling context");
        ost.resample_frame.reset(av_frame_alloc());
        if (!ost.resample_frame) throw FFmpegException("Cannot allocate temp picture, check pix fmt");
        ost.resample_frame->format = enc->pix_fmt;
        ost.resample_frame->width = enc->width;
        ost.resample_frame->height = enc->height;
        if (av_frame_get_buffer(ost.resample_frame.get(), 0) < 0)
          throw FFmpegException("Cannot allocate temp picture, check pix fmt");
        ost.original_width = dec->width;
        ost.original_height = dec->height;
        enc->bits_per_raw_sample = 0;
      }
      ost.resample_width = cw;
      ost.resample_height = ch;
      ost.resample_pix_fmt = dec->pix_fmt;
      ost.encoding_needed = true;
      ist.decoding_needed = true;
      if (!s_.vfilters.empty()) {
        // The graph crops and scales; the built-in crop and scaler stand aside.
        ConfigureFilters(ost, ist);
        ost.video_crop = false;
        ost.topBand = ost.bottomBand = ost.leftBand = ost.rightBand = 0;
        ost.video_resample = false;
        ost.img_resample_ctx.reset();
        ost.resample_frame.reset();
        ost.resample_width = dec->width;
        ost.resample_height = dec->height;
      }
      break;
    }
    case AVMEDIA_TYPE_AUDIO:
      ost.audio_resample = dec->sample_rate != enc->sample_rate || s_.audio_sync_method > 1;
      ost.encoding_needed = true;
      ist.decoding_needed = true;
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      ost.encoding_needed = true;
      ist.decoding_needed = true;
      break;
    default:
      throw FFmpegException("invalid codec_type of output stream");
  }

  // Two-pass log files.
  if (enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)) {
    int index = 0;
    for (size_t i = 0; i < ost_.size(); ++i)
      if (ost_[i].get() == &ost) index = static_cast<int>(i);
    std::string prefix = s_.pass_logfilename_prefix.empty() ? "ffmpeg2pass" : s_.pass_logfilename_prefix;
    ost.logfile_name = (prefix + "-" + std::to_string(index) + ".log").substr(0, 1023);
    if (enc->flags & AV_CODEC_FLAG_PASS1) {
      ost.logfile = std::fopen(ost.logfile_name.c_str(), "wb");
      if (!ost.logfile)
        throw FFmpegException("Cannot write log file " + ost.logfile_name + " for pass-1 encoding");
    } else {
      FILE* f = std::fopen(ost.logfile_name.c_str(), "rb");
      if (!f)
        throw FFmpegException("Cannot read file: Error reading log file \"" + ost.logfile_name +
                              "\" for pass-2 encoding");
      std::string text;
      char buf[65536];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
      bool readError = std::ferror(f);
      std::fclose(f);
      if (readError)
        throw FFmpegException("Cannot read file: Error reading log file \"" + ost.logfile_name +
                              "\" for pass-2 encoding");
      char* stats = static_cast<char*>(av_malloc(text.size() + 1));
      if (!stats)
        throw FFmpegException("Could not allocate file buffer: Error reading log file \"" +
                              ost.logfile_name + "\" for pass-2 encoding");
      std::copy(text.begin(), text.end(), stats);
      stats[text.size()] = 0;
      av_freep(&enc->stats_in);
      enc->stats_in = stats;
    }
  }
}

void TCustomFFmpeg::OpenEncoders() {
  for (auto& p : ost_) {
    TOutputStream& ost = *p;
    if (!ost.encoding_needed || (joined_ && ost.file_index > 0)) continue;
    const AVCodec* codec = ost.setup->encoder ? ost.setup->encoder : avcodec_find_encoder(ost.enc->codec_id);
    const char* type = MediaTypeName(ost.enc->codec_type);
    if (!codec) {
      PrintStreamMapping();
      std::string msg = StrFormat("Encoder (codec id %d) not found for output stream #%d.%d (%s)",
                                  ost.enc->codec_id, ost.file_index, ost.index, type);
      Log(llError, msg);
      throw FFmpegException(msg);
    }
    if (ost.enc->codec_type == AVMEDIA_TYPE_SUBTITLE) {
      // Subtitle encoders need the styles header their source's decoder makes when it
      // opens, so that decoder is opened first.
      TInputStream& ist = ist_[ost.source_index];
      OpenDecoder(ist);
      if (ist.dec && ist.dec->subtitle_header_size > 0 && !ost.enc->subtitle_header) {
        ost.enc->subtitle_header = static_cast<uint8_t*>(av_mallocz(ist.dec->subtitle_header_size + 1));
        if (!ost.enc->subtitle_header) throw FFmpegException("av_mallocz fail");
        std::memcpy(ost.enc->subtitle_header, ist.dec->subtitle_header, ist.dec->subtitle_header_size);
        ost.enc->subtitle_header_size = ist.dec->subtitle_header_size;
      }
    }
    AVDict opts;
    av_dict_copy(opts.addr(), ost.setup->private_options.get(), 0);
    int ret;
    {
      std::lock_guard<std::recursive_mutex> lock(CodecLock());
      ost.saved_codec_id = ost.enc->codec_id;
      ret = avcodec_open2(ost.enc, codec, opts.addr());
      if (ret >= 0) {
        openedEncoders_.push_back(ost.enc);
        ost.encoder_open = true;
      }
    }
    if (ret < 0) {
      PrintStreamMapping();
      std::string msg = StrFormat(
          "Error while opening encoder for output stream #%d.%d (%s) - maybe incorrect parameters "
          "such as bit_rate, rate, width or height. Please check error log message to find out "
          "more detail information.",
          ost.file_index, ost.index, type);
      Log(llError, msg);
      throw FFmpegException(msg);
    }
    for (const AVDictionaryEntry* e = nullptr; (e = av_dict_get(opts.get(), "", e, AV_DICT_IGNORE_SUFFIX));)
      Log(llWarning, StrFormat("Option %s=%s not used by encoder %s", e->key, e->value, codec->name));
    if (avcodec_parameters_from_context(ost.st->codecpar, ost.enc) < 0)
      throw FFmpegException("avcodec_parameters_from_context failed");
    ost.st->time_base = ost.enc->time_base;
    if (ost.enc->codec_type == AVMEDIA_TYPE_VIDEO) ost.st->avg_frame_rate = ost.enc->framerate;
    extraSize_ += ost.enc->extradata_size;
  }
  // Join mode: later entries share the encoders of entry 0.
  if (joined_)
    for (auto& p : ost_)
      if (p->file_index > 0) p->encoder_open = ost_[p->index]->encoder_open;
}

void TCustomFFmpeg::OpenDecoder(TInputStream& ist) {
  if (!ist.decoding_needed || ist.decoder_open) return;
  const AVCodec* codec = ist.forced_decoder ? ist.forced_decoder : avcodec_find_decoder(ist.st->codecpar->codec_id);
  const char* type = MediaTypeName(ist.st->codecpar->codec_type);
  if (!codec) {
    PrintStreamMapping();
    std::string msg = StrFormat("Decoder (codec id %d) not found for input stream #%d.%d (%s)",
                                ist.st->codecpar->codec_id, ist.file_index, ist.st_index, type);
    Log(llError, msg);
    throw FFmpegException(msg);
  }
  int ret;
  {
    std::lock_guard<std::recursive_mutex> lock(CodecLock());
    ret = avcodec_open2(ist.dec, codec, nullptr);
    if (ret >= 0) {
      openedDecoders_.push_back(ist.dec);
      ist.decoder_open = true;
    }
  }
  if (ret < 0) {
    PrintStreamMapping();
    std::string msg = StrFormat("Error while opening decoder for input stream #%d.%d (%s)", ist.file_index,
                                ist.st_index, type);
    Log(llError, msg);
    throw FFmpegException(msg);
  }
}

void TCustomFFmpeg::OpenDecoders() {
  for (TInputStream& ist : ist_) OpenDecoder(ist);
}

void TCustomFFmpeg::CloseEncoder(AVCodecContext* ctx) {
  std::lock_guard<std::recursive_mutex> lock(CodecLock());
  auto it = std::find(openedEncoders_.begin(), openedEncoders_.end(), ctx);
  if (it == openedEncoders_.end()) return;
  openedEncoders_.erase(it);
  for (auto& of : outputFiles_)
    for (auto& su : of->streams)
      if (su->enc.get() == ctx) {
        av_freep(&su->enc->stats_in);
        su->enc.reset();
      }
  for (auto& ost : ost_)
    if (ost->enc == ctx) {
      ost->enc = nullptr;
      ost->encoder_open = false;
    }
}

void TCustomFFmpeg::CloseDecoder(AVCodecContext* ctx) {
  std::lock_guard<std::recursive_mutex> lock(CodecLock());
  auto it = std::find(openedDecoders_.begin(), openedDecoders_.end(), ctx);
  if (it == openedDecoders_.end()) return;
  openedDecoders_.erase(it);
  for (auto& file : inputStreamSetups_)
    for (auto& su : file)
      if (su.dec.get() == ctx) su.dec.reset();
  for (TInputStream& ist : ist_)
    if (ist.dec == ctx) {
      ist.dec = nullptr;
      ist.decoder_open = false;
    }
}

void TCustomFFmpeg::CloseCodecs() {
  while (!openedEncoders_.empty()) CloseEncoder(openedEncoders_.back());
  while (!openedDecoders_.empty()) CloseDecoder(openedDecoders_.back());
}

void TCustomFFmpeg::CopyChapters(int inFile, int outFile) {
  AVFormatContext* is = inputFiles_[inFile]->ctx;
  AVFormatContext* os = outputFiles_[outFile]->ctx;
  for (unsigned i = 0; i < is->nb_chapters; ++i) {
    const AVChapter* in = is->chapters[i];
    int64_t offset = av_rescale_q(s_.start_time - inputFiles_[inFile]->ts_offset, AV_TIME_BASE_Q, in->time_base);
    int64_t limit = s_.recording_time == std::numeric_limits<int64_t>::max()
                        ? std::numeric_limits<int64_t>::max()
                        : av_rescale_q(s_.recording_time, AV_TIME_BASE_Q, in->time_base);
    if (in->end < offset) continue;
    if (limit != std::numeric_limits<int64_t>::max() && in->start > limit + offset) break;
    auto* out = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
    if (!out) throw FFmpegException("av_mallocz fail");
    out->id = in->id;
    out->time_base = in->time_base;
    out->start = std::max<int64_t>(0, in->start - offset);
    out->end = std::min(limit, in->end - offset);
    if (av_dict_copy(&out->metadata, in->metadata, 0) < 0) {
      av_free(out);
      throw FFmpegException("av_mallocz fail");
    }
    void* grown = av_realloc_array(os->chapters, os->nb_chapters + 1, sizeof(*os->chapters));
    if (!grown) {
      av_dict_free(&out->metadata);
      av_free(out);
      throw FFmpegException("av_realloc fail");
    }
    os->chapters = static_cast<AVChapter**>(grown);
    os->chapters[os->nb_chapters++] = out;
  }
}

void TCustomFFmpeg::TranscodeSetup() {
  hooksInUse_ = !hooks_.empty();
  // 1. Input tables.
  ist_.clear();
  for (size_t f = 0; f < inputFiles_.size(); ++f) {
    TInputFile& in = *inputFiles_[f];
    in.ist_index = static_cast<int>(ist_.size());
    in.nb_streams = static_cast<int>(in.ctx->nb_streams);
    in.eof_reached = false;
    for (unsigned i = 0; i < in.ctx->nb_streams; ++i) {
      TInputStream ist;
      ist.file_index = static_cast<int>(f);
      ist.st_index = static_cast<int>(i);
      ist.st = in.ctx->streams[i];
      ist.dec = inputStreamSetups_[f][i].dec.get();
      ist.forced_decoder = inputStreamSetups_[f][i].forced_decoder;
      ist.frame.reset(av_frame_alloc());
      if (!ist.frame) throw FFmpegException("av_mallocz fail");
      if (s_.rate_emu) ist.start = av_gettime();
      ist_.push_back(std::move(ist));
    }
  }

  // 2. Output files must have streams.
  int totalOst = 0;
  for (size_t i = 0; i < outputFiles_.size(); ++i) {
    AVFormatContext* oc = outputFiles_[i]->ctx;
    if (oc->nb_streams == 0) {
      av_dump_format(oc, static_cast<int>(i), outputFiles_[i]->name.c_str(), 1);
      throw FFmpegException(StrFormat("Output file #%d does not contain any stream", static_cast<int>(i)));
    }
    totalOst += static_cast<int>(oc->nb_streams);
  }
  segmentSize_ = outputFiles_.empty() ? 0 : static_cast<int>(outputFiles_[0]->ctx->nb_streams);

  // 3. Stream maps.
  if (!s_.stream_maps.empty()) {
    if (static_cast<int>(s_.stream_maps.size()) != totalOst)
      throw FFmpegException("Number of stream maps must match number of output streams");
    for (const TStreamMap& m : s_.stream_maps) {
      if (m.file_index < 0 || m.file_index >= static_cast<int>(inputFiles_.size()) || m.stream_index < 0 ||
          m.stream_index >= inputFiles_[m.file_index]->nb_streams)
        throw FFmpegException(StrFormat("Could not find input stream #%d.%d", m.file_index, m.stream_index));
      if (m.sync_file_index < 0 || m.sync_file_index >= static_cast<int>(inputFiles_.size()) ||
          m.sync_stream_index < 0 || m.sync_stream_index >= inputFiles_[m.sync_file_index]->nb_streams)
        throw FFmpegException(
            StrFormat("Could not find sync stream #%d.%d", m.sync_file_index, m.sync_stream_index));
    }
  }

  // 4. Output stream records and their sources.
  ost_.clear();
  for (size_t i = 0; i < outputFiles_.size(); ++i) {
    TOutputFile& of = *outputFiles_[i];
    for (unsigned j = 0; j < of.ctx->nb_streams; ++j) {
      auto ost = std::make_unique<TOutputStream>();
      ost->file_index = static_cast<int>(i);
      ost->index = static_cast<int>(j);
      ost->st = of.ctx->streams[j];
      ost->setup = of.streams[j].get();
      ost->enc = ost->setup->enc.get();
      ost->pkt.reset(av_packet_alloc());
      if (!ost->pkt) throw FFmpegException("av_mallocz fail");
      ost_.push_back(std::move(ost));
    }
  }
  ChooseSources();

  // 5. Prepare every output stream.
  for (auto& p : ost_) {
    TOutputStream& ost = *p;
    TInputStream& ist = ist_[ost.source_index];
    av_dict_copy(&ost.st->metadata, ist.st->metadata, AV_DICT_DONT_OVERWRITE);
    ost.st->disposition = ist.st->disposition;
    ost.enc->bits_per_raw_sample = ist.dec->bits_per_raw_sample;
    ost.enc->chroma_sample_location = ist.dec->chroma_sample_location;
    if (ost.setup->stream_copy)
      SetupCopy(ost, ist);
    else
      SetupEncode(ost, ist);
  }

  // 7. Codecs.
  OpenEncoders();
  OpenDecoders();

  // 8. Input streams.
  for (TInputStream& ist : ist_) {
    AVRational fr = ist.st->avg_frame_rate;
    ist.pts = fr.num && fr.den
                  ? -std::lround(ist.dec->has_b_frames * 1000000.0 / av_q2d(fr))
                  : 0;
    ist.next_pts = kNoTimestamp;
    ist.is_start = true;
  }

  // 9. Meta-data maps.
  for (const TMetaDataMap& m : s_.meta_data_maps) {
    if (m.out_file < 0 || m.out_file >= static_cast<int>(outputFiles_.size())) {
      PrintStreamMapping();
      std::string msg = StrFormat("Invalid output file index %d map_meta_data(%d,%d)", m.out_file, m.out_file, m.in_file);
      Log(llError, msg);
      throw FFmpegException(msg);
    }
    if (m.in_file < 0 || m.in_file >= static_cast<int>(inputFiles_.size())) {
      PrintStreamMapping();
      std::string msg = StrFormat("Invalid input file index %d map_meta_data(%d,%d)", m.in_file, m.out_file, m.in_file);
      Log(llError, msg);
      throw FFmpegException(msg);
    }
    av_dict_copy(&outputFiles_[m.out_file]->ctx->metadata, inputFiles_[m.in_file]->ctx->metadata,
                 AV_DICT_DONT_OVERWRITE);
  }

  // 10. Chapters.
  for (size_t i = 0; i < inputFiles_.size(); ++i) {
    if (!inputFiles_[i]->ctx->nb_chapters) continue;
    for (size_t o = 0; o < outputFiles_.size(); ++o) {
      if (joined_ && o > 0) break;
      CopyChapters(static_cast<int>(i), static_cast<int>(o));
    }
  }

  // 11. Headers.
  bool allRtp = !outputFiles_.empty();
  for (size_t i = 0; i < outputFiles_.size(); ++i) {
    TOutputFile& of = *outputFiles_[i];
    if (std::string(of.ctx->oformat->name) != "rtp") allRtp = false;
    if (of.header_written) continue;
    AVDict opts;
    av_dict_copy(opts.addr(), of.format_options.get(), 0);
    if (avformat_write_header(of.ctx, opts.addr()) < 0) {
      PrintStreamMapping();
      std::string msg = StrFormat("Could not write header for output file #%d (incorrect codec parameters ?)",
                                  static_cast<int>(i));
      Log(llError, msg);
      throw FFmpegException(msg);
    }
    of.header_written = true;
  }
  if (allRtp) {
    std::vector<AVFormatContext*> ctxs;
    for (auto& of : outputFiles_) ctxs.push_back(of->ctx);
    char sdp[2048];
    if (av_sdp_create(ctxs.data(), static_cast<int>(ctxs.size()), sdp, sizeof sdp) >= 0)
      Log(llInfo, "SDP:\r\n" + Trim(sdp));
  }

  // 12.
  PrintStreamMapping();
  timerStart_ = av_gettime();
  lastReportTime_ = timerStart_;
}

}  // namespace quenza
