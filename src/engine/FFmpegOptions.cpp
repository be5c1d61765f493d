// The option dispatcher and the option handlers.

#include <unistd.h>

#include <cmath>
#include <ctime>

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
}

#include "engine/EngineHost.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegException.h"
#include "engine/OptionParse.h"

namespace quenza {

using E = TCustomFFmpeg;

const std::vector<E::OptionEntry>& E::OptionTable() {
  // Tested in this order; the first name that matches handles the option.
  static const std::vector<OptionEntry> table = {
      {"L", &E::OptDoNothing},
      {"h", &E::OptDoNothing},
      {"version", &E::OptDoNothing},
      {"formats", &E::OptDoNothing},
      {"codecs", &E::OptDoNothing},
      {"bsfs", &E::OptDoNothing},
      {"protocols", &E::OptDoNothing},
      {"filters", &E::OptDoNothing},
      {"loglevel", &E::OptLogLevel},
      {"f", &E::OptFormat},
      {"i", &E::OptDoNothing},
      {"y", &E::OptDoNothing},
      {"map", &E::OptMap},
      {"map_meta_data", &E::OptMapMetaData},
      {"t", &E::OptRecordingTime},
      {"fs", &E::OptFileSize},
      {"ss", &E::OptStartTime},
      {"itsoffset", &E::OptInputTsOffset},
      {"itsscale", &E::OptInputTsScale},
      {"timestamp", &E::OptRecTimestamp},
      {"metadata", &E::OptMetadata},
      {"dframes", &E::OptDataFrames},
      {"benchmark", &E::OptDoNothing},
      {"timelimit", &E::OptTimeLimit},
      {"dump", &E::OptDump},
      {"hex", &E::OptHexDump},
      {"re", &E::OptRateEmu},
      {"loop_input", &E::OptLoopInput},
      {"loop_output", &E::OptLoopOutput},
      {"v", &E::OptVerbose},
      {"target", &E::OptTarget},
      {"threads", &E::OptThreads},
      {"vsync", &E::OptVideoSync},
      {"async", &E::OptAudioSync},
      {"adrift_threshold", &E::OptAudioDrift},
      {"vglobal", &E::OptVideoGlobal},
      {"copyts", &E::OptCopyTs},
      {"shortest", &E::OptShortest},
      {"dts_delta_threshold", &E::OptDtsDelta},
      {"programid", &E::OptProgramId},
      {"xerror", &E::OptExitOnError},
      {"copyinkf", &E::OptCopyInitialNonKeyFrames},
      {"b", &E::OptBitrate},
      {"vb", &E::OptBitrate},
      {"vframes", &E::OptVideoFrames},
      {"r", &E::OptFrameRate},
      {"s", &E::OptFrameSize},
      {"aspect", &E::OptAspect},
      {"pix_fmt", &E::OptPixFmt},
      {"croptop", &E::OptCrop},
      {"cropbottom", &E::OptCrop},
      {"cropleft", &E::OptCrop},
      {"cropright", &E::OptCrop},
      {"padtop", &E::OptPad},
      {"padbottom", &E::OptPad},
      {"padleft", &E::OptPad},
      {"padright", &E::OptPad},
      {"padcolor", &E::OptPad},
      {"intra", &E::OptIntra},
      {"vn", &E::OptVideoDisable},
      {"vdt", &E::OptVideoDiscard},
      {"qscale", &E::OptQScale},
      {"rc_override", &E::OptRcOverride},
      {"vcodec", &E::OptVideoCodec},
      {"me_threshold", &E::OptMeThreshold},
      {"sameq", &E::OptSameQ},
      {"pass", &E::OptPass},
      {"passlogfile", &E::OptPassLogFile},
      {"deinterlace", &E::OptDeinterlace},
      {"psnr", &E::OptPsnr},
      {"vstats", &E::OptVstats},
      {"vstats_file", &E::OptVstatsFile},
      {"vhook", &E::OptVideoHook},
      {"vfilters", &E::OptVideoFilters},
      {"vf", &E::OptVideoFilters},
      {"intra_matrix", &E::OptIntraMatrix},
      {"inter_matrix", &E::OptInterMatrix},
      {"top", &E::OptTopField},
      {"dc", &E::OptDcPrecision},
      {"vtag", &E::OptVideoTag},
      {"newvideo", &E::OptNewVideo},
      {"vlang", &E::OptVideoLanguage},
      {"qphist", &E::OptQpHist},
      {"force_fps", &E::OptForceFps},
      {"streamid", &E::OptStreamId},
      {"ab", &E::OptBitrate},
      {"aframes", &E::OptAudioFrames},
      {"aq", &E::OptAudioQScale},
      {"ar", &E::OptAudioRate},
      {"ac", &E::OptAudioChannels},
      {"an", &E::OptAudioDisable},
      {"acodec", &E::OptAudioCodec},
      {"atag", &E::OptAudioTag},
      {"vol", &E::OptVolume},
      {"newaudio", &E::OptNewAudio},
      {"alang", &E::OptAudioLanguage},
      {"sample_fmt", &E::OptSampleFmt},
      {"sn", &E::OptSubtitleDisable},
      {"scodec", &E::OptSubtitleCodec},
      {"newsubtitle", &E::OptNewSubtitle},
      {"slang", &E::OptSubtitleLanguage},
      {"stag", &E::OptSubtitleTag},
      {"vc", &E::OptVideoChannel},
      {"tvstd", &E::OptVideoStandard},
      {"isync", &E::OptInputSync},
      {"muxdelay", &E::OptMuxDelay},
      {"muxpreload", &E::OptMuxPreload},
      {"absf", &E::OptBitstreamFilter},
      {"vbsf", &E::OptBitstreamFilter},
      {"sbsf", &E::OptBitstreamFilter},
      {"apre", &E::OptPreset},
      {"vpre", &E::OptPreset},
      {"spre", &E::OptPreset},
      {"fpre", &E::OptPreset},
  };
  return table;
}

std::vector<std::string> E::OptionNames() {
  std::vector<std::string> names;
  for (const OptionEntry& e : OptionTable()) names.emplace_back(e.name);
  return names;
}

void E::SetOption(const std::string& name, const std::string& value) {
  for (const OptionEntry& e : OptionTable()) {
    if (name == e.name) {
      (this->*e.handler)(name, value);
      return;
    }
  }
  SetLibraryOption(name, value);  // an unknown name is silently dropped
}

// --- shared helpers ----------------------------------------------------------------

void E::SetCodecName(TKindSettings& kind, const std::string& value) {
  if (value.empty()) return;
  kind.codec_name.clear();
  if (value == "copy")
    kind.stream_copy = true;
  else
    kind.codec_name = value;
}

void E::SetTag(uint32_t& tag, const std::string& value, const char* kindName) {
  if (value.size() != 4)
    throw FFmpegException(std::string(kindName) + " tag parameter must be 4 chars");
  const auto* b = reinterpret_cast<const unsigned char*>(value.data());
  tag = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
        static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

void E::SetCrop(int& band, int v, bool vertical) {
  if (v <= 0) return;
  if (vertical && v >= s_.frame_height)
    throw FFmpegException(
        "Vertical crop dimensions are outside the range of the original image.\n"
        "Remember to crop first and scale second.");
  if (!vertical && v >= s_.frame_width)
    throw FFmpegException(
        "Horizontal crop dimensions are outside the range of the original image.\n"
        "Remember to crop first and scale second.");
  Log(llWarning, "CropXXX is deprecated in favor of the crop avfilter");
  band = v;
  (vertical ? s_.frame_height : s_.frame_width) -= v;
}

void E::SetMatrix(std::optional<TQuantMatrix>& matrix, const std::string& value) {
  TQuantMatrix m{};
  size_t pos = 0;
  for (int n = 0; n < 64; ++n) {
    // Leading integer of the n-th comma-separated field (non-numbers count as 0).
    m[n] = static_cast<uint16_t>(std::atoi(value.c_str() + pos));
    if (n == 63) break;
    size_t comma = value.find(',', pos);
    if (comma == std::string::npos) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%d", n);
      throw FFmpegException("Syntax error in matrix \"" + value + "\" at coeff " + buf);
    }
    pos = comma + 1;
  }
  matrix = m;
}

void E::SetBitrate(const std::string& name, const std::string& value) {
  if (value.empty()) return;
  if (!SetLibraryOption(name, value)) return;
  AVCodecContext* ctx = codecOpts_[!name.empty() && name[0] == 'a' ? mkAudio : mkVideo].get();
  int64_t b = 0;
  if (av_opt_get_int(ctx, "b", 0, &b) >= 0 && b < 1000)
    Log(llWarning,
        "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s");
}

// --- option handlers ---------------------------------------------------------------

void E::OptDoNothing(const std::string& name, const std::string&) {
  Log(llInfo, "Do nothing: option - " + name);
}

void E::OptLogLevel(const std::string&, const std::string& value) {
  if (TEngineHost* host = GetEngineHost()) host->SetLogLevelByName(value);
}

void E::OptFormat(const std::string&, const std::string& value) {
  if (value == "pgmyuv") {
    s_.still_image_compat = true;
    s_.format_name = "image2";
    Log(llInfo, "pgmyuv format is deprecated, use image2");
  } else {
    s_.format_name = value;
  }
}

void E::OptMap(const std::string&, const std::string& value) {
  if (static_cast<int>(s_.stream_maps.size()) >= kMaxStreamMaps)
    throw FFmpegException("number of stream maps over MAX_STREAM_MAPS(" +
                          std::to_string(kMaxStreamMaps) + ")");
  // Integers separated by any single character; missing ones count as 0.
  auto next = [&value](size_t& pos) {
    long v = 0;
    ParseCInteger(value, pos, v);
    return static_cast<int>(v);
  };
  size_t pos = 0;
  TStreamMap m;
  m.file_index = next(pos);
  if (pos < value.size()) ++pos;
  m.stream_index = next(pos);
  if (pos < value.size()) {
    ++pos;
    m.sync_file_index = next(pos);
    if (pos < value.size()) ++pos;
    m.sync_stream_index = next(pos);
  } else {
    m.sync_file_index = m.file_index;
    m.sync_stream_index = m.stream_index;
  }
  s_.stream_maps.push_back(m);
}

void E::OptMapMetaData(const std::string&, const std::string& value) {
  if (static_cast<int>(s_.meta_data_maps.size()) >= kMaxMetaDataMaps)
    throw FFmpegException("number of meta data maps over MAX_META_DATA_MAPS(" +
                          std::to_string(kMaxMetaDataMaps) + ")");
  size_t pos = 0;
  long out = 0, in = 0;
  ParseCInteger(value, pos, out);
  if (pos < value.size()) ++pos;
  ParseCInteger(value, pos, in);
  s_.meta_data_maps.push_back({static_cast<int>(out), static_cast<int>(in)});
}

void E::OptRecordingTime(const std::string& name, const std::string& value) {
  SetRecordingTime(OptionTime(name, value, true));
}

void E::OptFileSize(const std::string&, const std::string& value) {
  s_.limit_filesize = OptionInt64(value);
}

void E::OptStartTime(const std::string& name, const std::string& value) {
  SetStartTime(OptionTime(name, value, true));
}

void E::OptInputTsOffset(const std::string& name, const std::string& value) {
  s_.input_ts_offset = OptionTime(name, value, true);
}

void E::OptInputTsScale(const std::string&, const std::string& value) {
  size_t pos = 0;
  long stream = 0;
  ParseCInteger(value, pos, stream);
  if (stream < 0 || stream >= kMaxStreams)
    throw FFmpegException("stream index over MAX_STREAMS(" + std::to_string(kMaxStreams) + ")");
  if (pos < value.size()) ++pos;
  double scale = std::strtod(value.c_str() + pos, nullptr);
  const int inputIndex = InputFileCount();
  if (inputIndex >= kMaxInputFiles)
    throw FFmpegException("input file index over MAX_FILES(" + std::to_string(kMaxInputFiles) + ")");
  s_.input_ts_scale[inputIndex][stream] = scale;
}

void E::OptRecTimestamp(const std::string& name, const std::string& value) {
  int64_t us = OptionTime(name, value, false);
  s_.rec_timestamp = static_cast<int64_t>(std::nearbyint(static_cast<double>(us) / 1000000.0));
}

void E::OptMetadata(const std::string&, const std::string& value) {
  size_t eq = value.find('=');
  if (eq == std::string::npos) throw FFmpegException("Missing =");
  AddMetadata(value.substr(0, eq), value.substr(eq + 1));
}

void E::OptDataFrames(const std::string&, const std::string& value) {
  s_.max_frames[2] = OptionInt(value);
}

void E::OptTimeLimit(const std::string&, const std::string&) {
  Log(llWarning, "Warning: -timelimit not implemented on Windows");
}

void E::OptDump(const std::string&, const std::string& v) { s_.do_pkt_dump = OptionBool(v); }
void E::OptHexDump(const std::string&, const std::string& v) { s_.do_hex_dump = OptionBool(v); }
void E::OptRateEmu(const std::string&, const std::string& v) { s_.rate_emu = OptionBool(v); }
void E::OptLoopInput(const std::string&, const std::string& v) { s_.loop_input = OptionBool(v); }
void E::OptLoopOutput(const std::string&, const std::string& v) { s_.loop_output = OptionInt(v); }
void E::OptVerbose(const std::string&, const std::string& v) { SetVerbosity(OptionInt(v)); }

void E::OptTarget(const std::string&, const std::string& value) {
  std::string type = Trim(value);
  std::string norm = "auto";
  for (const char* prefix : {"pal-", "ntsc-", "film-"}) {
    std::string p(prefix);
    if (type.compare(0, p.size(), p) == 0) {
      norm = p.substr(0, p.size() - 1);
      type = type.substr(p.size());
      break;
    }
  }
  SetTarget(type, norm, "ntsc");
}

void E::OptThreads(const std::string& name, const std::string&) {
  throw FFmpegException("TODO: option - " + name);
}

void E::OptVideoSync(const std::string&, const std::string& v) { s_.video_sync_method = OptionInt(v); }
void E::OptAudioSync(const std::string&, const std::string& v) { s_.audio_sync_method = OptionInt(v); }
void E::OptAudioDrift(const std::string&, const std::string& v) {
  s_.audio_drift_threshold = OptionFloat(v);
}
void E::OptVideoGlobal(const std::string&, const std::string& v) {
  s_.video_global_header = OptionInt(v);
}
void E::OptCopyTs(const std::string&, const std::string&) { s_.copy_ts = true; }
void E::OptShortest(const std::string&, const std::string& v) { s_.opt_shortest = OptionBool(v); }
void E::OptDtsDelta(const std::string&, const std::string& v) {
  s_.dts_delta_threshold = OptionFloat(v);
}
void E::OptProgramId(const std::string&, const std::string& v) { s_.opt_programid = OptionInt(v); }
void E::OptExitOnError(const std::string&, const std::string&) { s_.exit_on_error = true; }
void E::OptCopyInitialNonKeyFrames(const std::string&, const std::string& v) {
  s_.copy_initial_nonkeyframes = OptionInt(v);
}
void E::OptBitrate(const std::string& name, const std::string& v) { SetBitrate(name, v); }
void E::OptVideoFrames(const std::string&, const std::string& v) { s_.max_frames[0] = OptionInt(v); }

void E::OptFrameRate(const std::string&, const std::string& value) {
  AVRational r{0, 0};
  if (av_parse_video_rate(&r, value.c_str()) < 0) throw FFmpegException("Incorrect frame rate");
  s_.frame_rate = r;
}

void E::OptFrameSize(const std::string&, const std::string& value) {
  int w = 0, h = 0;
  if (av_parse_video_size(&w, &h, value.c_str()) < 0) throw FFmpegException("Incorrect frame size");
  s_.frame_width = w;
  s_.frame_height = h;
}

void E::OptAspect(const std::string&, const std::string& value) {
  if (value.empty()) return;
  double ratio = 0;
  size_t colon = value.find(':');
  if (colon != std::string::npos) {
    // Non-numbers count as 0.
    auto num = [](const std::string& t) {
      try {
        return OptionInt(t);
      } catch (const FFmpegException&) {
        return 0;
      }
    };
    int x = num(value.substr(0, colon));
    int y = num(value.substr(colon + 1));
    if (y > 0) ratio = static_cast<double>(x) / y;
  } else {
    try {
      ratio = OptionFloat(value);
    } catch (const FFmpegException&) {
      ratio = 0;
    }
  }
  if (ratio == 0) throw FFmpegException("Incorrect aspect ratio specification.");
  s_.frame_aspect_ratio = ratio;
}

void E::OptPixFmt(const std::string&, const std::string& value) {
  if (value == "list") {
    char buf[128];
    for (int i = -1; i <= 66; ++i) {
      av_get_pix_fmt_string(buf, sizeof buf, static_cast<AVPixelFormat>(i));
      Log(llInfo, buf);
    }
    return;
  }
  AVPixelFormat fmt = av_get_pix_fmt(value.c_str());
  if (fmt == AV_PIX_FMT_NONE) throw FFmpegException("Unknown pixel format requested: " + value);
  s_.frame_pix_fmt = fmt;
}

void E::OptCrop(const std::string& name, const std::string& value) {
  int v = OptionInt(value);
  if (name == "croptop")
    SetCropTop(v);
  else if (name == "cropbottom")
    SetCropBottom(v);
  else if (name == "cropleft")
    SetCropLeft(v);
  else
    SetCropRight(v);
}

void E::OptPad(const std::string&, const std::string&) {
  throw FFmpegException("Please use vfilters=pad");
}

void E::OptIntra(const std::string&, const std::string& v) { s_.intra_only = OptionBool(v); }
void E::OptVideoDisable(const std::string&, const std::string& v) { s_.video.disabled = OptionBool(v); }
void E::OptVideoDiscard(const std::string&, const std::string& v) { s_.video_discard = OptionInt(v); }

void E::OptQScale(const std::string&, const std::string& value) {
  double q = OptionFloat(value);
  if (!(q > 0.0 && q <= 255)) throw FFmpegException("qscale must be > 0.0 and <= 255");
  s_.video_qscale = q;
}

void E::OptRcOverride(const std::string&, const std::string& v) { s_.rc_override = v; }
void E::OptVideoCodec(const std::string&, const std::string& v) { SetVideoCodec(v); }
void E::OptMeThreshold(const std::string&, const std::string& v) { s_.me_threshold = OptionInt(v); }
void E::OptSameQ(const std::string&, const std::string& v) { s_.same_quality = OptionBool(v); }

void E::OptPass(const std::string&, const std::string& value) {
  int pass = OptionInt(value);
  if (pass != 1 && pass != 2) throw FFmpegException("pass number can be only 1 or 2");
  s_.do_pass = pass;
}

void E::OptPassLogFile(const std::string&, const std::string& v) { s_.pass_logfilename_prefix = v; }
void E::OptDeinterlace(const std::string&, const std::string& v) { s_.do_deinterlace = OptionBool(v); }
void E::OptPsnr(const std::string&, const std::string& v) { s_.do_psnr = OptionBool(v); }

void E::OptVstats(const std::string&, const std::string&) {
  // "<program folder>/vstats_hhnnss.log"
  std::string folder;
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    std::string path(exe, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    if (slash != std::string::npos) folder = path.substr(0, slash + 1);
  }
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%H%M%S", &tm);
  s_.vstats_filename = folder + "vstats_" + stamp + ".log";
}

void E::OptVstatsFile(const std::string&, const std::string& v) { s_.vstats_filename = v; }

void E::OptVideoHook(const std::string&, const std::string& value) {
  std::shared_ptr<TFrameHookLibrary> hook = TFrameHookLibrary::Add(value);
  if (!hook) throw FFmpegException("Failed to add video hook function: " + value);
  hooks_.push_back(std::move(hook));
}

void E::OptVideoFilters(const std::string&, const std::string& v) { SetVideoFilters(v); }
void E::OptIntraMatrix(const std::string&, const std::string& v) { SetMatrix(s_.intra_matrix, v); }
void E::OptInterMatrix(const std::string&, const std::string& v) { SetMatrix(s_.inter_matrix, v); }
void E::OptTopField(const std::string&, const std::string& v) { s_.top_field_first = OptionInt(v); }
void E::OptDcPrecision(const std::string&, const std::string& v) {
  s_.intra_dc_precision = OptionInt(v);
}
void E::OptVideoTag(const std::string&, const std::string& v) { SetVideoTag(v); }
void E::OptNewVideo(const std::string&, const std::string&) { NewStream(mkVideo); }
void E::OptVideoLanguage(const std::string&, const std::string& v) { s_.video.language = v; }
void E::OptQpHist(const std::string&, const std::string& v) { s_.qp_hist = OptionBool(v); }
void E::OptForceFps(const std::string&, const std::string& v) { s_.force_fps = OptionBool(v); }

void E::OptStreamId(const std::string& name, const std::string& value) {
  size_t colon = value.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= value.size())
    throw FFmpegException("Invalid value \"" + value + "\" for option \"" + name +
                          "\", required syntax is \"index:value\"");
  int index = OptionInt(value.substr(0, colon));
  int id = OptionInt(value.substr(colon + 1));
  if (index < 0 || index >= kMaxStreams)
    throw FFmpegException("stream index over MAX_STREAMS(" + std::to_string(kMaxStreams) + ")");
  s_.streamid_map[index] = id;
}

void E::OptAudioFrames(const std::string&, const std::string& v) { s_.max_frames[1] = OptionInt(v); }
void E::OptAudioQScale(const std::string&, const std::string& v) { s_.audio_qscale = OptionFloat(v); }
void E::OptAudioRate(const std::string&, const std::string& v) { SetAudioSampleRate(OptionInt(v)); }
void E::OptAudioChannels(const std::string&, const std::string& v) { SetAudioChannels(OptionInt(v)); }
void E::OptAudioDisable(const std::string&, const std::string& v) { s_.audio.disabled = OptionBool(v); }
void E::OptAudioCodec(const std::string&, const std::string& v) { SetAudioCodec(v); }
void E::OptAudioTag(const std::string&, const std::string& v) { SetAudioTag(v); }
void E::OptVolume(const std::string&, const std::string& v) { s_.audio_volume = OptionInt(v); }
void E::OptNewAudio(const std::string&, const std::string&) { NewStream(mkAudio); }
void E::OptAudioLanguage(const std::string&, const std::string& v) { s_.audio.language = v; }

void E::OptSampleFmt(const std::string&, const std::string& value) {
  if (value == "list") {
    char buf[128];
    for (int i = -1; i <= 4; ++i) {
      av_get_sample_fmt_string(buf, sizeof buf, static_cast<AVSampleFormat>(i));
      Log(llInfo, buf);
    }
    return;
  }
  s_.audio_sample_fmt = av_get_sample_fmt(value.c_str());
}

void E::OptSubtitleDisable(const std::string&, const std::string& v) {
  s_.subtitle.disabled = OptionBool(v);
}
void E::OptSubtitleCodec(const std::string&, const std::string& v) { SetSubtitleCodec(v); }
void E::OptNewSubtitle(const std::string&, const std::string&) { NewStream(mkSubtitle); }
void E::OptSubtitleLanguage(const std::string&, const std::string& v) { s_.subtitle.language = v; }
void E::OptSubtitleTag(const std::string&, const std::string& v) {
  SetTag(s_.subtitle.codec_tag, v, "subtitle");
}
void E::OptVideoChannel(const std::string&, const std::string& v) { s_.video_channel = OptionInt(v); }
void E::OptVideoStandard(const std::string&, const std::string& v) { s_.video_standard = v; }
void E::OptInputSync(const std::string&, const std::string& v) { s_.input_sync = OptionBool(v); }
void E::OptMuxDelay(const std::string&, const std::string& v) { s_.mux_max_delay = OptionFloat(v); }
void E::OptMuxPreload(const std::string&, const std::string& v) { s_.mux_preload = OptionFloat(v); }

void E::OptBitstreamFilter(const std::string& name, const std::string& value) {
  if (value.empty() || value[0] == '=') return;
  size_t eq = value.find('=');
  std::string filterName = Trim(value.substr(0, eq));
  std::string args = eq == std::string::npos ? std::string() : value.substr(eq + 1);
  const AVBitStreamFilter* filter = av_bsf_get_by_name(filterName.c_str());
  AVBSFContext* raw = nullptr;
  if (!filter || av_bsf_alloc(filter, &raw) < 0)
    throw FFmpegException("Unknown bitstream filter " + Trim(value));
  AVBSFContextPtr ctx(raw);
  if (!args.empty()) {
    if (!ctx->priv_data) throw FFmpegException("Invalid arguments for bitstream filter " + Trim(value));
    // Arguments are key=value pairs separated by ":"; bare values fill the filter's
    // options in their declared order.
    std::vector<std::string> names;
    for (const AVOption* o = nullptr; (o = av_opt_next(ctx->priv_data, o));)
      if (o->type != AV_OPT_TYPE_CONST) names.emplace_back(o->name);
    std::vector<const char*> shorthand;
    for (const std::string& n : names) shorthand.push_back(n.c_str());
    shorthand.push_back(nullptr);
    if (av_opt_set_from_string(ctx->priv_data, args.c_str(), shorthand.data(), "=", ":") < 0)
      throw FFmpegException("Invalid arguments for bitstream filter " + Trim(value));
  }
  TMediaKind kind = name[0] == 'v' ? mkVideo : name[0] == 'a' ? mkAudio : mkSubtitle;
  bsfs_[kind].push_back(std::move(ctx));
}

void E::OptPreset(const std::string& name, const std::string& value) { SetPreset(name, value); }

}  // namespace quenza
