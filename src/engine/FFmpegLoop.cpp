// The packet loop: input choice, timestamps, decoding and copying, packet writing,
// join segments and the end of the run.

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <thread>

extern "C" {
#include <libavutil/time.h>
}

#include "engine/ErrorText.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegException.h"
#include "engine/OptionParse.h"
#include "engine/UnicodeProtocol.h"

namespace quenza {

namespace {


int KindOf(AVMediaType t) {
  switch (t) {
    case AVMEDIA_TYPE_VIDEO: return 0;
    case AVMEDIA_TYPE_AUDIO: return 1;
    case AVMEDIA_TYPE_DATA: return 2;
    default: return 3;
  }
}

// Duration of one video frame of a stream in microseconds.
int64_t FrameDuration(const AVStream* st, const AVCodecContext* dec, const AVPacket* pkt) {
  if (pkt && pkt->duration > 0) return av_rescale_q(pkt->duration, st->time_base, AV_TIME_BASE_Q);
  AVRational fr = st->avg_frame_rate.num ? st->avg_frame_rate : st->r_frame_rate;
  if (dec && dec->framerate.num > 0 && dec->framerate.den > 0) fr = dec->framerate;
  if (fr.num > 0 && fr.den > 0) return av_rescale(1000000, fr.den, fr.num);
  return 0;
}

}  // namespace

void TCustomFFmpeg::Transcode() {
  completed_ = false;
  if (inputFiles_.empty()) throw FFmpegException("No input file specified");
  if (outputFiles_.empty()) throw FFmpegException("At least one output file must be specified");
  TranscodeSetup();
  TranscodeLoop();
  TranscodeFinish();
}

bool TCustomFFmpeg::EndJoinSegment() {
  TInputFile& in = *inputFiles_[currentSegment_];
  // 1. Flush the segment's decoders into the encoders; the encoders stay open so the
  //    next segment continues the same coded streams.
  for (int i = in.ist_index; i < in.ist_index + in.nb_streams; ++i) {
    TInputStream& ist = ist_[i];
    if (!ist.decoding_needed || ist.flushed) continue;
    OutputPacket(ist, i, nullptr, false);
    if (ist.dec) avcodec_flush_buffers(ist.dec);
    ist.flushed = true;
  }
  const int base = segmentSize_ * currentSegment_;
  const int next = base + segmentSize_;
  const bool last = currentSegment_ + 1 >= static_cast<int>(inputFiles_.size());
  // 4. Later segments continue the numbering and take over the pending samples.
  if (!last)
    for (int i = next; i < next + segmentSize_ && i < static_cast<int>(ost_.size()); ++i) {
      TOutputStream& prev = *ost_[i - segmentSize_];
      TOutputStream& cur = *ost_[i];
      cur.sync_opts = prev.sync_opts;
      cur.frame_number = prev.frame_number;
      cur.last_pts = prev.last_pts;
      if (prev.fifo) cur.fifo = std::move(prev.fifo);
    }
  // 5. Largest current time of the segment: for encoded streams what was handed to
  //    the encoder (frames or samples, buffered ones included), else what was written.
  double maxPts = 0;
  for (int i = base; i < next && i < static_cast<int>(ost_.size()); ++i) {
    const TOutputStream& o = *ost_[i];
    double t = o.last_pts;
    if (o.encoding_needed && o.enc && o.enc->codec_type != AVMEDIA_TYPE_SUBTITLE) {
      int64_t units = o.sync_opts + (o.fifo ? av_audio_fifo_size(o.fifo.get()) : 0);
      t = std::max(t, units * av_q2d(o.enc->time_base));
    }
    maxPts = std::max(maxPts, t);
    ost_[i]->active = false;
  }
  if (last) return false;
  ++currentSegment_;
  inputFiles_[currentSegment_]->ts_offset += std::llround(maxPts * 1000000);
  return true;
}

void TCustomFFmpeg::TranscodeLoop() {
  const int nbFiles = static_cast<int>(inputFiles_.size());
  std::vector<char> noPacket(nbFiles, 0);
  int noPacketCount = 0;
  currentSegment_ = 0;
  AVPacketPtr pkt(av_packet_alloc());
  if (!pkt) throw FFmpegException("av_mallocz fail");

  while (!stopRequested_) {
    pauseGate_.Pass();
    if (stopRequested_) break;
    // 1. Choose the input file.
    int fileIndex = -1;
    bool limitReached = false;
    if (!joined_) {
      double ipts_min = 1e100, opts_min = 1e100;
      for (auto& p : ost_) {
        TOutputStream& ost = *p;
        TInputStream& ist = ist_[ost.source_index];
        if (ist.is_past_recording_time || noPacket[ist.file_index]) continue;
        const double opts = ost.last_pts;
        const double ipts = static_cast<double>(ist.pts);
        if (!inputFiles_[ist.file_index]->eof_reached) {
          if (s_.input_sync ? ipts < ipts_min : opts < opts_min) {
            ipts_min = std::min(ipts_min, ipts);
            opts_min = std::min(opts_min, opts);
            fileIndex = ist.file_index;
          }
        }
        if (ost.frame_number >= s_.max_frames[KindOf(ost.enc ? ost.enc->codec_type : ost.st->codecpar->codec_type)]) {
          limitReached = true;
          break;
        }
      }
    } else {
      fileIndex = currentSegment_;
      for (int i = segmentSize_ * currentSegment_;
           i < segmentSize_ * (currentSegment_ + 1) && i < static_cast<int>(ost_.size()); ++i) {
        TOutputStream& ost = *ost_[i];
        if (ost.frame_number >= s_.max_frames[KindOf(ost.st->codecpar->codec_type)]) {
          limitReached = true;
          break;
        }
      }
    }
    if (limitReached) fileIndex = -1;

    // 2. Nothing to read.
    if (fileIndex < 0) {
      if (joined_ || limitReached || noPacketCount == 0) break;
      std::fill(noPacket.begin(), noPacket.end(), 0);
      noPacketCount = 0;
      av_usleep(10000);
      continue;
    }

    // 3. Size limit.
    if (s_.limit_filesize) {
      AVIOContext* pb = outputFiles_[0]->ctx->pb;
      if (pb && avio_tell(pb) > s_.limit_filesize) break;
    }

    // 4. Read.
    TInputFile& in = *inputFiles_[fileIndex];
    int ret = av_read_frame(in.ctx, pkt.get());
    if (ret == AVERROR(EAGAIN)) {
      noPacket[fileIndex] = 1;
      ++noPacketCount;
      continue;
    }
    if (ret < 0) {
      in.eof_reached = true;
      if (!joined_) {
        if (s_.opt_shortest) break;
        continue;
      }
      if (!EndJoinSegment()) break;
      continue;
    }

    // 5.
    std::fill(noPacket.begin(), noPacket.end(), 0);
    noPacketCount = 0;
    if (s_.do_pkt_dump) av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, pkt.get(), s_.do_hex_dump, in.ctx->streams[pkt->stream_index]);

    bool handled = true;
    // 6. Streams that appeared later or feed nothing are dropped.
    if (pkt->stream_index < in.nb_streams) {
      const int istIndex = in.ist_index + pkt->stream_index;
      TInputStream& ist = ist_[istIndex];
      if (!ist.available) {
        // 7. Timestamp offset and time scale.
        const int64_t offset = av_rescale_q(in.ts_offset, AV_TIME_BASE_Q, ist.st->time_base);
        if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += offset;
        if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += offset;
        const double scale = pkt->stream_index < kMaxStreams && fileIndex < kMaxInputFiles
                                 ? s_.input_ts_scale[fileIndex][pkt->stream_index]
                                 : 0;
        if (scale != 0) {
          if (pkt->pts != AV_NOPTS_VALUE) pkt->pts = std::llround(pkt->pts * scale);
          if (pkt->dts != AV_NOPTS_VALUE) pkt->dts = std::llround(pkt->dts * scale);
        }
        // 8. Discontinuity correction.
        if (pkt->dts != AV_NOPTS_VALUE && ist.next_pts != kNoTimestamp &&
            (in.ctx->iformat->flags & AVFMT_TS_DISCONT) && !s_.copy_ts) {
          const int64_t dtsUs = av_rescale_q(pkt->dts, ist.st->time_base, AV_TIME_BASE_Q);
          const int64_t delta = dtsUs - ist.next_pts;
          if (std::llabs(delta) > static_cast<int64_t>(s_.dts_delta_threshold * 1000000) ||
              dtsUs + 1 < ist.pts) {
            in.ts_offset -= delta;
            if (s_.verbose >= 3)
              Log(llVerbose, StrFormat("timestamp discontinuity %lld, new offset= %lld",
                                       static_cast<long long>(delta), static_cast<long long>(in.ts_offset)));
            const int64_t d = av_rescale_q(delta, AV_TIME_BASE_Q, ist.st->time_base);
            pkt->dts -= d;
            if (pkt->pts != AV_NOPTS_VALUE) pkt->pts -= d;
          }
        }
        // 9. Recording time.
        if (s_.recording_time != std::numeric_limits<int64_t>::max() && pkt->pts != AV_NOPTS_VALUE &&
            av_compare_ts(pkt->pts, ist.st->time_base, s_.recording_time + s_.start_time, AV_TIME_BASE_Q) >= 0) {
          ist.is_past_recording_time = true;
        } else {
          // 10.
          if (!OutputPacket(ist, istIndex, pkt.get())) {
            std::string msg = StrFormat("Error while decoding stream #%d.%d (%s)", ist.file_index,
                                        ist.st_index, MediaTypeName(ist.st->codecpar->codec_type));
            if (s_.exit_on_error) {
              av_packet_unref(pkt.get());
              throw FFmpegException(msg);
            }
            if (s_.verbose >= 0) Log(llVerbose, msg);
            handled = false;
          }
        }
      }
    }
    av_packet_unref(pkt.get());
    if (!handled) continue;

    // 11. Progress.
    const int64_t now = av_gettime();
    if (now - lastReportTime_ > progressInterval_) {
      lastReportTime_ = now;
      PrintReport(false, fileIndex);
    }
  }
}

void TCustomFFmpeg::TranscodeFinish() {
  for (size_t i = 0; i < ist_.size(); ++i) {
    TInputStream& ist = ist_[i];
    if (ist.decoding_needed && !ist.flushed) {
      OutputPacket(ist, static_cast<int>(i), nullptr);
      ist.flushed = true;
    } else if (!ist.decoding_needed && !ist.available && !ist.flushed) {
      ist.flushed = true;
    }
  }
  // Encoders fed only by flushed join segments still hold frames.
  for (auto& p : ost_)
    if (p->encoding_needed && p->encoder_open && !(joined_ && p->file_index != currentSegment_) &&
        !p->flushed_encoder)
      FlushEncoder(*p);
  for (size_t i = 0; i < outputFiles_.size(); ++i) {
    if (joined_ && i > 0) break;
    TOutputFile& of = *outputFiles_[i];
    if (!of.header_written || of.trailer_written) continue;
    int ret = av_write_trailer(of.ctx);
    of.trailer_written = true;
    if (ret < 0) throw FFmpegException("av_write_trailer(): " + LibraryErrorText(ret));
    if (of.ctx->pb && of.ctx->pb->error < 0)
      throw FFmpegException(LibraryError(of.name, of.ctx->pb->error));
  }
  PrintReport(true, -1);
  CloseCodecs();
  completed_ = !stopRequested_;
}

void TCustomFFmpeg::ReleaseFiles(bool runFailed) {
  CloseCodecs();
  if (vstatsFile_) {
    std::fclose(vstatsFile_);
    vstatsFile_ = nullptr;
  }
  ost_.clear();
  ist_.clear();
  std::vector<std::string> outputs;
  std::vector<TOutputFile*> seen;
  for (auto& of : outputFiles_) {
    if (std::find(seen.begin(), seen.end(), of.get()) != seen.end()) continue;
    seen.push_back(of.get());
    bool local = of->io_open;
    if (of->io_open) {
      CloseOutputIO(&of->ctx->pb);
      of->io_open = false;
    }
    if (local) outputs.push_back(of->name);
  }
  outputFiles_.clear();
  inputFiles_.clear();
  inputStreamSetups_.clear();
  joined_ = false;
  for (const std::string& name : outputs) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(name, ec)) continue;
    if (runFailed || std::filesystem::file_size(name, ec) == 0) std::filesystem::remove(name, ec);
  }
}

// --- output packet ---------------------------------------------------------------

void TCustomFFmpeg::ScaleVolume(AVFrame* frame) const {
  const int vol = s_.audio_volume;
  if (vol == 256) return;
  const int planes = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(frame->format))
                         ? frame->ch_layout.nb_channels
                         : 1;
  const int count = frame->nb_samples * (planes == 1 ? frame->ch_layout.nb_channels : 1);
  for (int p = 0; p < planes; ++p) {
    switch (frame->format) {
      case AV_SAMPLE_FMT_S16:
      case AV_SAMPLE_FMT_S16P: {
        auto* s = reinterpret_cast<int16_t*>(frame->extended_data[p]);
        for (int i = 0; i < count; ++i) s[i] = static_cast<int16_t>(av_clip_int16((s[i] * vol + 128) >> 8));
        break;
      }
      case AV_SAMPLE_FMT_S32:
      case AV_SAMPLE_FMT_S32P: {
        auto* s = reinterpret_cast<int32_t*>(frame->extended_data[p]);
        for (int i = 0; i < count; ++i)
          s[i] = static_cast<int32_t>(av_clipl_int32((static_cast<int64_t>(s[i]) * vol + 128) >> 8));
        break;
      }
      case AV_SAMPLE_FMT_FLT:
      case AV_SAMPLE_FMT_FLTP: {
        auto* s = reinterpret_cast<float*>(frame->extended_data[p]);
        const float g = vol / 256.0f;
        for (int i = 0; i < count; ++i) s[i] = av_clipf(s[i] * g, -1.0f, 1.0f);
        break;
      }
      case AV_SAMPLE_FMT_DBL:
      case AV_SAMPLE_FMT_DBLP: {
        auto* s = reinterpret_cast<double*>(frame->extended_data[p]);
        const double g = vol / 256.0;
        for (int i = 0; i < count; ++i) s[i] = av_clipd(s[i] * g, -1.0, 1.0);
        break;
      }
      case AV_SAMPLE_FMT_U8:
      case AV_SAMPLE_FMT_U8P: {
        auto* s = frame->extended_data[p];
        for (int i = 0; i < count; ++i)
          s[i] = static_cast<uint8_t>(av_clip_uint8((((s[i] - 128) * vol + 128) >> 8) + 128));
        break;
      }
      default:
        break;
    }
  }
}

void TCustomFFmpeg::DeliverFrame(TInputStream& ist, int istIndex, AVFrame* frame) {
  for (auto& p : ost_) {
    TOutputStream& ost = *p;
    if (ost.source_index != istIndex || !ost.encoding_needed) continue;
    if (joined_ && ost.file_index != currentSegment_) continue;
    switch (ost.enc ? ost.enc->codec_type : AVMEDIA_TYPE_UNKNOWN) {
      case AVMEDIA_TYPE_AUDIO: DoAudioOut(ost, ist, frame); break;
      case AVMEDIA_TYPE_VIDEO:
        if (ost.graph)
          FilterAndEncode(ost, ist, frame);
        else
          DoVideoOut(ost, ist, frame);
        break;
      default: throw FFmpegException("invalid codec_type");
    }
  }
}

bool TCustomFFmpeg::OutputPacket(TInputStream& ist, int istIndex, const AVPacket* pkt, bool drainEncoders) {
  const AVMediaType type = ist.st->codecpar->codec_type;
  if (ist.next_pts == kNoTimestamp) ist.next_pts = ist.pts;
  if (pkt && pkt->dts != AV_NOPTS_VALUE)
    ist.next_pts = ist.pts = av_rescale_q(pkt->dts, ist.st->time_base, AV_TIME_BASE_Q);

  auto rateEmulate = [&]() {
    if (!s_.rate_emu) return;
    const int64_t elapsed = av_gettime() - ist.start;
    if (ist.pts - elapsed > 1000) av_usleep(static_cast<unsigned>((ist.pts - elapsed) / 1000 * 1000));
  };
  auto startReached = [&]() { return s_.start_time == 0 || ist.pts >= s_.start_time; };

  if (ist.decoding_needed && ist.dec) {
    if (type == AVMEDIA_TYPE_SUBTITLE) {
      AVPacketPtr empty;
      const AVPacket* in = pkt;
      if (!in) {
        empty.reset(av_packet_alloc());
        in = empty.get();
      }
      for (;;) {
        AVSubtitle sub{};
        int got = 0;
        int ret = avcodec_decode_subtitle2(ist.dec, &sub, &got, const_cast<AVPacket*>(in));
        if (ret < 0) return false;
        if (!got) break;
        const int64_t pts = sub.pts != AV_NOPTS_VALUE ? sub.pts : ist.pts;
        if (startReached())
          for (auto& p : ost_)
            if (p->source_index == istIndex && p->encoding_needed &&
                !(joined_ && p->file_index != currentSegment_))
              DoSubtitleOut(*p, ist, &sub, pts);
        avsubtitle_free(&sub);
        if (pkt) break;  // one subtitle per packet; flushing drains the rest
      }
    } else {
      int ret = avcodec_send_packet(ist.dec, pkt);
      if (ret == AVERROR_EOF) ret = 0;  // already flushed
      if (ret < 0 && ret != AVERROR(EAGAIN)) return false;
      bool resend = ret == AVERROR(EAGAIN);
      int frames = 0;
      for (;;) {
        int r = avcodec_receive_frame(ist.dec, ist.frame.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) {
          if (!resend) break;
          // The decoder had output pending; it takes the packet now.
          resend = false;
          ret = avcodec_send_packet(ist.dec, pkt);
          if (ret < 0 && ret != AVERROR_EOF) return false;
          continue;
        }
        if (r < 0) return false;
        AVFrame* frame = ist.frame.get();
        if (++frames == 2 && pkt && ((!ist.showed_multi_packet_warning && s_.verbose > 0) || s_.verbose > 1)) {
          Log(llError, StrFormat("Multiple frames in a packet from stream %d", ist.st_index));
          ist.showed_multi_packet_warning = true;
        }
        const int64_t ts = frame->best_effort_timestamp;
        ist.pts = ts != AV_NOPTS_VALUE ? av_rescale_q(ts, ist.st->time_base, AV_TIME_BASE_Q) : ist.next_pts;
        if (type == AVMEDIA_TYPE_AUDIO) {
          ist.next_pts = ist.pts + (frame->sample_rate > 0
                                        ? av_rescale(frame->nb_samples, 1000000, frame->sample_rate)
                                        : 0);
          ScaleVolume(frame);
        } else if (type == AVMEDIA_TYPE_VIDEO) {
          int64_t d = frame->pkt_duration > 0
                          ? av_rescale_q(frame->pkt_duration, ist.st->time_base, AV_TIME_BASE_Q)
                          : FrameDuration(ist.st, ist.dec, nullptr);
          ist.next_pts = ist.pts + d;
        }
        rateEmulate();
        if (type == AVMEDIA_TYPE_VIDEO) frame = PreProcess(ist, frame);
        if (startReached()) DeliverFrame(ist, istIndex, frame);
        av_frame_unref(ist.frame.get());
      }
    }
  } else if (pkt) {
    // Stream copy.
    if (type == AVMEDIA_TYPE_AUDIO) {
      const AVCodecParameters* par = ist.st->codecpar;
      int64_t d = pkt->duration > 0 ? av_rescale_q(pkt->duration, ist.st->time_base, AV_TIME_BASE_Q)
                  : par->sample_rate > 0 && par->frame_size > 0
                      ? av_rescale(par->frame_size, 1000000, par->sample_rate)
                      : 0;
      ist.next_pts += d;
    } else if (type == AVMEDIA_TYPE_VIDEO) {
      ist.next_pts += FrameDuration(ist.st, nullptr, pkt);
    }
    rateEmulate();
    if (startReached())
      for (auto& p : ost_)
        if (p->source_index == istIndex && !p->encoding_needed &&
            !(joined_ && p->file_index != currentSegment_))
          CopyPacket(*p, ist, pkt);
  }

  // Draining the encoders when the decoder is flushed.
  if (!pkt && drainEncoders)
    for (auto& p : ost_)
      if (p->source_index == istIndex && p->encoding_needed && p->encoder_open &&
          !(joined_ && p->file_index != currentSegment_))
        FlushEncoder(*p);
  return true;
}

void TCustomFFmpeg::CopyPacket(TOutputStream& ost, TInputStream& ist, const AVPacket* pkt) {
  if (ost.frame_number == 0 && !s_.copy_initial_nonkeyframes && !(pkt->flags & AV_PKT_FLAG_KEY)) return;
  const AVMediaType type = ist.st->codecpar->codec_type;
  if (type == AVMEDIA_TYPE_AUDIO) audioSize_ += pkt->size;
  else if (type == AVMEDIA_TYPE_VIDEO) {
    videoSize_ += pkt->size;
    ost.sync_opts++;
  }
  AVPacket* opkt = ost.pkt.get();
  if (av_packet_ref(opkt, pkt) < 0) throw FFmpegException("av_mallocz fail");
  const int64_t startOffset = av_rescale_q(s_.start_time, AV_TIME_BASE_Q, ost.st->time_base);
  opkt->stream_index = ost.index;
  opkt->pts = pkt->pts != AV_NOPTS_VALUE ? av_rescale_q(pkt->pts, ist.st->time_base, ost.st->time_base) - startOffset
                                         : AV_NOPTS_VALUE;
  opkt->dts = (pkt->dts != AV_NOPTS_VALUE ? av_rescale_q(pkt->dts, ist.st->time_base, ost.st->time_base)
                                          : av_rescale_q(ist.pts, AV_TIME_BASE_Q, ost.st->time_base)) -
              startOffset;
  opkt->duration = av_rescale_q(pkt->duration, ist.st->time_base, ost.st->time_base);
  opkt->time_base = ost.st->time_base;
  WritePacket(ost, opkt);
  ost.frame_number++;
}

void TCustomFFmpeg::WritePacket(TOutputStream& ost, AVPacket* pkt) {
  TOutputFile& of = *outputFiles_[ost.file_index];
  auto& bsfs = ost.setup->bsfs;
  pkt->stream_index = ost.index;
  auto record = [&](const AVPacket* p) {
    int64_t t = p->dts != AV_NOPTS_VALUE ? p->dts : p->pts;
    if (t != AV_NOPTS_VALUE) ost.last_pts = std::max(ost.last_pts, (t + std::max<int64_t>(p->duration, 0)) * av_q2d(ost.st->time_base));
  };
  auto write = [&](AVPacket* p) {
    record(p);
    int ret = av_interleaved_write_frame(of.ctx, p);
    if (ret < 0) throw FFmpegException("av_interleaved_write_frame(): " + LibraryErrorText(ret));
  };
  if (bsfs.empty()) {
    write(pkt);
    return;
  }
  if (!ost.bsfs_ready) {
    const AVCodecParameters* par = ost.st->codecpar;
    AVRational tb = ost.st->time_base;
    for (auto& b : bsfs) {
      if (avcodec_parameters_copy(b->par_in, par) < 0) throw FFmpegException("av_mallocz fail");
      b->time_base_in = tb;
      int ret = av_bsf_init(b.get());
      if (ret < 0)
        throw FFmpegException(StrFormat("%s failed for stream %d, codec %s", b->filter->name, ost.index,
                                        ost.setup->stream_copy ? "copy" : avcodec_get_name(par->codec_id)) +
                              ": " + LibraryErrorText(ret));
      par = b->par_out;
      tb = b->time_base_out;
    }
    ost.bsfs_ready = true;
  }
  // Through the chain in order; each filter may give zero or more packets.
  std::vector<AVPacketPtr> cur;
  cur.emplace_back(av_packet_clone(pkt));
  av_packet_unref(pkt);
  for (auto& b : bsfs) {
    std::vector<AVPacketPtr> out;
    for (auto& p : cur) {
      int ret = av_bsf_send_packet(b.get(), p.get());
      while (ret >= 0) {
        AVPacketPtr o(av_packet_alloc());
        ret = av_bsf_receive_packet(b.get(), o.get());
        if (ret >= 0) out.push_back(std::move(o));
      }
      if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF && ret < 0) {
        std::string msg = StrFormat("%s failed for stream %d, codec %s", b->filter->name, ost.index,
                                    ost.setup->stream_copy ? "copy" : avcodec_get_name(ost.st->codecpar->codec_id)) +
                          ": " + LibraryErrorText(ret);
        if (s_.exit_on_error) throw FFmpegException(msg);
        Log(llError, msg);
      }
    }
    cur = std::move(out);
  }
  for (auto& p : cur) {
    p->stream_index = ost.index;
    write(p.get());
  }
}

}  // namespace quenza
