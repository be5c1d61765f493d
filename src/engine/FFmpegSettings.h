#pragma once
// The engine's settings with their defaults. Reset assigns a default-constructed
// record; the set-up stages consume and clear the pending ones.

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/rational.h>
}

namespace quenza {

inline constexpr int kMaxInputFiles = 20;
inline constexpr int kMaxOutputFiles = 20;
inline constexpr int kMaxStreams = 20;
inline constexpr int kMaxStreamMaps = kMaxInputFiles * kMaxStreams;
inline constexpr int kMaxMetaDataMaps = 20;
inline constexpr int64_t kNoTimestamp = std::numeric_limits<int64_t>::min();

// Media kinds in the order of the engine's codec option contexts.
enum TMediaKind : int { mkVideo = 0, mkAudio, mkData, mkSubtitle, mkAttachment, mkCount };

struct TStreamMap {
  int file_index = 0;
  int stream_index = 0;
  int sync_file_index = 0;
  int sync_stream_index = 0;
};

struct TMetaDataMap {
  int out_file = 0;
  int in_file = 0;
};

using TQuantMatrix = std::array<uint16_t, 64>;

// Pending per-kind stream settings.
struct TKindSettings {
  std::string codec_name;  // pending codec name, empty = none
  bool stream_copy = false;
  uint32_t codec_tag = 0;
  std::string language;
  bool disabled = false;  // vn / an / sn
};

struct TEngineSettings {
  std::string format_name;  // f
  bool still_image_compat = false;  // set by f pgmyuv

  int frame_width = 0, frame_height = 0;  // s
  double frame_aspect_ratio = 0;          // aspect
  int frame_pix_fmt = -1;                 // pix_fmt
  int audio_sample_fmt = -1;              // sample_fmt
  int crop_top = 0, crop_bottom = 0, crop_left = 0, crop_right = 0;
  // Frame limits per kind: video, audio, data, subtitle.
  std::array<int, 4> max_frames{2147483647, 2147483647, 2147483647, 2147483647};
  AVRational frame_rate{0, 0};  // r
  double video_qscale = 0;
  std::optional<TQuantMatrix> intra_matrix, inter_matrix;
  std::string rc_override;
  int video_discard = 0;  // vdt
  bool same_quality = false;
  bool do_deinterlace = false;
  int top_field_first = -1;
  int me_threshold = 0;
  int intra_dc_precision = 8;
  bool loop_input = false;
  int loop_output = -1;
  bool qp_hist = false;
  std::string vfilters;
  bool intra_only = false;

  int audio_sample_rate = 44100;
  uint64_t channel_layout = 0;
  double audio_qscale = -99999.0;
  int audio_channels = 2;

  // Pending settings per kind: video, audio, subtitle.
  TKindSettings video, audio, subtitle;

  double mux_preload = 0.5;
  double mux_max_delay = 0.7;
  int64_t recording_time = std::numeric_limits<int64_t>::max();
  int64_t start_time = 0;
  int64_t rec_timestamp = 0;
  int64_t input_ts_offset = 0;
  // Time scale per input file and stream; 0 = no scaling.
  std::array<std::array<double, kMaxStreams>, kMaxInputFiles> input_ts_scale{};
  std::vector<std::pair<std::string, std::string>> metadata;
  bool do_pkt_dump = false, do_hex_dump = false, do_psnr = false;
  int do_pass = 0;
  std::string pass_logfilename_prefix;
  int video_sync_method = -1;
  int audio_sync_method = 0;
  double audio_drift_threshold = 0.1;
  bool copy_ts = false;
  bool opt_shortest = false;
  int video_global_header = 0;
  std::string vstats_filename;
  int opt_programid = 0;
  int copy_initial_nonkeyframes = 0;
  bool rate_emu = false;
  int video_channel = 0;
  std::string video_standard;
  int audio_volume = 256;
  bool exit_on_error = false;
  int verbose = 1;
  int thread_count = 1;
  bool input_sync = false;
  int64_t limit_filesize = 0;
  bool force_fps = false;
  double dts_delta_threshold = 10.0;
  int sws_flags = 4;  // SWS_BICUBIC
  int encode_buffer_size = 262144;
  std::array<int, kMaxStreams> streamid_map{};
  std::vector<TStreamMap> stream_maps;
  std::vector<TMetaDataMap> meta_data_maps;
};

}  // namespace quenza
