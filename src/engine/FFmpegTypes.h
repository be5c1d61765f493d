#pragma once
// Records of the engine's file tables and of the transcode stage.

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
}

#include "engine/AvPtr.h"
#include "engine/FFmpegSettings.h"

namespace quenza {

struct AVFilterGraphDeleter {
  void operator()(AVFilterGraph* p) const { avfilter_graph_free(&p); }
};
using AVFilterGraphPtr = std::unique_ptr<AVFilterGraph, AVFilterGraphDeleter>;

struct SwrContextDeleter {
  void operator()(SwrContext* p) const { swr_free(&p); }
};
struct AVAudioFifoDeleter {
  void operator()(AVAudioFifo* p) const { av_audio_fifo_free(p); }
};
using SwrContextPtr = std::unique_ptr<SwrContext, SwrContextDeleter>;
using AVAudioFifoPtr = std::unique_ptr<AVAudioFifo, AVAudioFifoDeleter>;

// An opened input file. Closing goes through the file-name protocol's close so that a
// custom I/O context is released with it.
struct TInputFile {
  TInputFile() = default;
  TInputFile(const TInputFile&) = delete;
  TInputFile& operator=(const TInputFile&) = delete;
  ~TInputFile();

  AVFormatContext* ctx = nullptr;
  std::string name;  // as given to AddInputFile
  int64_t ts_offset = 0;
  // Transcode records.
  int ist_index = 0;
  int nb_streams = 0;
  bool eof_reached = false;
};

// Per stream of every input file, made when the file is added.
struct TInputStreamSetup {
  AVCodecContextPtr dec;              // decoder context with the stream's parameters
  const AVCodec* forced_decoder = nullptr;
};

// An output stream as created by the file set-up.
struct TOutputStreamSetup {
  TMediaKind kind = mkVideo;
  bool stream_copy = false;
  AVCodecContextPtr enc;             // encoder settings; opened in the transcode set-up
  const AVCodec* encoder = nullptr;  // found by name when a name was given
  std::vector<AVBSFContextPtr> bsfs;
  AVDict private_options;            // the encoder's own options
};

// An output file; in join mode one file is entered once per input.
struct TOutputFile {
  TOutputFile() = default;
  TOutputFile(const TOutputFile&) = delete;
  TOutputFile& operator=(const TOutputFile&) = delete;
  ~TOutputFile();

  AVFormatContext* ctx = nullptr;
  std::string name;
  bool io_open = false;
  bool header_written = false;
  bool trailer_written = false;
  AVDict format_options;  // the muxer's own options
  std::vector<std::unique_ptr<TOutputStreamSetup>> streams;
};

struct TInputStream {
  int file_index = 0;
  int st_index = 0;
  AVStream* st = nullptr;
  AVCodecContext* dec = nullptr;  // owned by the file's stream set-up
  const AVCodec* forced_decoder = nullptr;
  bool available = true;  // until some output stream takes it as source
  bool decoding_needed = false;
  bool decoder_open = false;
  int64_t next_pts = kNoTimestamp;
  int64_t pts = 0;
  bool is_start = true;
  int64_t start = 0;  // rate-emulation start
  bool is_past_recording_time = false;
  bool showed_multi_packet_warning = false;
  bool flushed = false;
  AVFramePtr frame;  // decoded frame, reused
};

struct TOutputStream {
  TOutputStream() = default;
  TOutputStream(const TOutputStream&) = delete;
  TOutputStream& operator=(const TOutputStream&) = delete;
  ~TOutputStream() {
    av_channel_layout_uninit(&swr_in_layout);
    if (logfile) std::fclose(logfile);
  }

  int file_index = 0;
  int index = 0;
  int source_index = 0;
  AVStream* st = nullptr;
  TOutputStreamSetup* setup = nullptr;
  AVCodecContext* enc = nullptr;
  int sync_ist = 0;
  bool encoding_needed = false;
  int frame_number = 0;
  int64_t sync_opts = 0;
  bool active = true;
  bool encoder_open = false;
  double last_pts = 0;  // end of the last written packet, seconds
  bool flushed_encoder = false;
  float last_quality = -1;  // quantiser of the last coded video frame
  std::array<uint64_t, 3> last_error{};  // its PSNR errors (Y, U, V)
  // Video.
  bool video_crop = false;
  int topBand = 0, bottomBand = 0, leftBand = 0, rightBand = 0;
  int original_topBand = 0, original_bottomBand = 0, original_leftBand = 0, original_rightBand = 0;
  bool video_resample = false;
  SwsContextPtr img_resample_ctx;
  AVFramePtr resample_frame;
  int resample_width = 0, resample_height = 0, resample_pix_fmt = -1;
  int original_width = 0, original_height = 0;
  AVFramePtr encode_frame;  // frame handed to the video encoder (reused)
  // Filter graph, when a filter chain is set.
  AVFilterGraphPtr graph;
  AVFilterContext* filter_src = nullptr;
  AVFilterContext* filter_sink = nullptr;
  AVFramePtr filtered;
  // Audio.
  AVAudioFifoPtr fifo;
  SwrContextPtr swr;
  bool audio_resample = false;
  int swr_in_rate = 0, swr_in_fmt = -1;
  AVChannelLayout swr_in_layout{};
  AVFramePtr audio_frame;
  // Two-pass log.
  FILE* logfile = nullptr;
  std::string logfile_name;
  AVCodecID saved_codec_id = AV_CODEC_ID_NONE;
  // Bitstream filters initialised for this stream.
  bool bsfs_ready = false;
  AVPacketPtr pkt;  // packet for encoder output (reused)
};

}  // namespace quenza
