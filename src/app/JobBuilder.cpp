#include "app/JobBuilder.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "app/ProfileMapping.h"
#include "engine/OptionParse.h"
#include "media/AVProbe.h"
#include "media/FFmpegVCL.h"

namespace quenza {

namespace fs = std::filesystem;

namespace {

bool OneOf(const std::string& value, std::initializer_list<const char*> names) {
  return std::any_of(names.begin(), names.end(), [&](const char* n) { return value == n; });
}

std::string SizeText(long long w, long long h) { return std::to_string(w) + "x" + std::to_string(h); }
std::string RatioText(long long w, long long h) { return std::to_string(w) + ":" + std::to_string(h); }

// Makes an integer even by rounding toward zero.
long long EvenTowardZero(long long v) { return v - v % 2; }

// trunc(a / r) in extended precision; 0 when the quotient is not finite.
long long TruncQuotient(int a, double r) {
  const long double q = static_cast<long double>(a) / static_cast<long double>(r);
  if (!std::isfinite(q) || std::fabs(q) > static_cast<long double>(INT_MAX)) return 0;
  return static_cast<long long>(q);
}

// Bit rate in kbit/s from a number of kbit/s; nothing when not above 0 or too large.
std::optional<int> KbitToBit(double kbit) {
  const double bits = std::trunc(kbit * 1000.0);
  if (!(bits > 0) || bits > static_cast<double>(INT_MAX)) return std::nullopt;
  return static_cast<int>(bits);
}

std::optional<int> IntegerInRange(const std::string& text) {
  auto v = IntegerText(text);
  if (!v || *v < INT_MIN || *v > INT_MAX) return std::nullopt;
  return static_cast<int>(*v);
}

// Any of the entry's crop values is above 0.
bool EntryCrops(const TlvFilesRecord& e) {
  return e.CropTop > 0 || e.CropBottom > 0 || e.CropLeft > 0 || e.CropRight > 0;
}

}  // namespace

std::optional<long long> IntegerText(const std::string& text) {
  std::string_view s = text;
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  long long value = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || ptr != s.data() + s.size()) return std::nullopt;
  return value;
}

std::optional<double> NumberText(const std::string& text) {
  std::string_view s = text;
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  double value = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
  if (ec != std::errc() || ptr != s.data() + s.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

TSourceValues ReadSourceValues(TAVProbe& probe) {
  TSourceValues v;
  if (!probe.Loaded()) return v;
  v.VideoStreamCount = probe.VideoStreamCount();
  TVideoStreamInfo video;
  if (probe.VideoStreamCount() > 0 && probe.GetVideoStreamInfo(probe.FirstVideoStream(), video)) {
    v.Width = std::max(video.Width, 0);
    v.Height = std::max(video.Height, 0);
    v.VideoBitRate = std::max(video.BitRate, 0);
  }
  TAudioStreamInfo audio;
  if (probe.AudioStreamCount() > 0 && probe.GetAudioStreamInfo(probe.FirstAudioStream(), audio)) {
    v.SampleRate = std::max(audio.SampleRate, 0);
    v.AudioBitRate = std::max(audio.BitRate, 0);
  }
  return v;
}

bool InProfileRange(TRangeKind kind, const TCatalogueProfile& profile, double sourceValue) {
  const std::string& list = kind == TRangeKind::SampleRate     ? profile.SampleRate
                            : kind == TRangeKind::AudioBitRate ? profile.AudioBitRate
                                                               : profile.VideoBitRate;
  const double value = kind == TRangeKind::SampleRate ? sourceValue : sourceValue / 1000.0;
  const std::size_t p = list.find(',');
  if (p == std::string::npos || p == 0) return false;
  const std::size_t q = list.rfind(',');
  const std::string first = list.substr(0, p);
  const std::string afterFirst = list.substr(p + 1);
  std::string low = first;
  if (!afterFirst.empty() && LowerCase(first) == "as source") {
    const std::size_t second = afterFirst.find(',');
    low = second == std::string::npos ? afterFirst : afterFirst.substr(0, second);
  }
  const std::string high = p < q ? list.substr(q + 1) : low;
  auto lo = NumberText(Trim(low));
  auto hi = NumberText(Trim(high));
  if (!lo || !hi) return false;
  return *lo <= value && value <= *hi;
}

std::string ApplyZoomMode(const std::string& mode, int srcW, int srcH, int outW, int outH,
                          const TlvFilesRecord& entry, TOutputOptions& out) {
  const bool entryCrop = EntryCrops(entry);
  if (mode == "full") {
    if (entryCrop) {
      out.CropTop = entry.CropTop;
      out.CropBottom = entry.CropBottom;
      out.CropLeft = entry.CropLeft;
      out.CropRight = entry.CropRight;
    }
    out.FrameSize = SizeText(outW, outH);
    out.FrameAspectRatio = RatioText(outW, outH);
    return {};
  }
  if (mode != "lbox" && mode != "pan" && mode != "center") return {};
  // Without both sizes there is nothing to fit.
  if (srcW <= 0 || srcH <= 0 || outW <= 0 || outH <= 0) return {};

  const double F = static_cast<double>(srcW) / outW;
  const double G = static_cast<double>(srcH) / outH;
  auto barsV = [&](double r) { return 2 * ((outH - 2 * (TruncQuotient(srcH, r) / 2)) / 4); };
  auto barsH = [&](double r) { return 2 * ((outW - 2 * (TruncQuotient(srcW, r) / 2)) / 4); };
  const bool narrowerOrSame = outW <= srcW, wider = outW >= srcW;
  const bool tallerOrSame = outH >= srcH, lower = outH <= srcH;
  const bool same = outW == srcW && outH == srcH;

  if (mode == "lbox") {
    long long top = 0, bottom = 0, left = 0, right = 0;
    auto vertical = [&] { top = bottom = barsV(F); left = right = 0; };
    auto horizontal = [&] { left = right = barsH(G); top = bottom = 0; };
    if (narrowerOrSame && tallerOrSame) vertical();
    if (wider && lower) horizontal();
    if (wider && tallerOrSame) {
      if (F > G) vertical();
      else if (F < G) horizontal();
      else { top = bottom = barsV(F); left = right = barsH(G); }
    }
    if (narrowerOrSame && lower) {
      if (F > G) vertical();
      else horizontal();
    }
    if (same) top = bottom = left = right = 0;
    const long long innerW = outW - left - right, innerH = outH - top - bottom;
    const std::string pad = "pad=" + std::to_string(outW) + ":" + std::to_string(outH) + ":" +
                            std::to_string(left) + ":" + std::to_string(top);
    out.FrameAspectRatio = RatioText(innerW, innerH);
    if (entryCrop) {
      // The chain crops the source itself (crop takes width:height:x:y); crop bands on
      // top of it would cut the picture twice and leave the chain's rectangle outside
      // the cropped picture, so the output's bands are cleared.
      out.CropTop = out.CropBottom = out.CropLeft = out.CropRight = 0;
      return "crop=" + std::to_string(srcW - entry.CropLeft - entry.CropRight) + ":" +
             std::to_string(srcH - entry.CropTop - entry.CropBottom) + ":" +
             std::to_string(entry.CropLeft) + ":" + std::to_string(entry.CropTop) + ",scale=" +
             std::to_string(innerW) + ":" + std::to_string(innerH) + "," + pad;
    }
    out.FrameSize = SizeText(innerW, innerH);
    return pad;
  }

  if (mode == "pan") {
    const long long R = static_cast<long long>(srcW) - entry.CropLeft - entry.CropRight;
    const long long S = static_cast<long long>(srcH) - entry.CropTop - entry.CropBottom;
    if (R > 0 && S > 0) {
      const long double aspect = static_cast<long double>(R) / S;
      const long double target = 4.0L / 3.0L;
      if (aspect > target) {
        const long long a = static_cast<long long>((aspect - target) * R);
        const int c = static_cast<int>(EvenTowardZero(std::llabs(a / 2) + entry.CropLeft));
        out.CropLeft = out.CropRight = c;
      } else if (aspect < target) {
        const long long a = static_cast<long long>((static_cast<long double>(S) / R - target) * S);
        const int c = static_cast<int>(EvenTowardZero(std::llabs(a / 2) + entry.CropTop));
        out.CropTop = out.CropBottom = c;
      }
    }
    out.FrameSize = SizeText(outW, outH);
    out.FrameAspectRatio = RatioText(outW, outH);
    return {};
  }

  // "center"
  std::string filter;
  auto set = [&](long long fw, long long fh, long long pw, long long ph, long long px, long long py) {
    out.FrameSize = SizeText(fw, fh);
    out.FrameAspectRatio = RatioText(outW, outH);
    char text[128];
    std::snprintf(text, sizeof text, "pad=%lld:%lld:%lld:%lld:black", pw, ph, px, py);
    filter = text;
  };
  auto barsTop = [&] {
    const long long top = barsV(F);
    set(outW, outH, srcW, srcH + 2 * top, 0, top);
  };
  auto barsSide = [&] {
    const long long left = barsH(G);
    set(outW - 2 * left, outH, srcW + 2 * left, srcH, left, 0);
  };
  auto barsBoth = [&] {
    const long long top = barsV(F), left = barsH(G);
    set(outW - 2 * left, outH - 2 * left, srcW + 2 * left, srcH + 2 * top, left, top);
  };
  if (narrowerOrSame && tallerOrSame) barsTop();
  if (wider && lower) barsSide();
  if (wider && tallerOrSame) {
    if (F > G) barsTop();
    else if (F < G) barsSide();
    else barsBoth();
  }
  if (narrowerOrSame && lower) {
    if (F > G) {
      const long long top = barsV(F);
      set(outW, outH, outW, outH, 0, top);
    } else if (F < G) {
      barsSide();
    } else {
      barsBoth();
    }
  }
  if (same) {
    out.FrameSize = SizeText(outW, outH);
    out.FrameAspectRatio = RatioText(outW, outH);
  }
  return filter;
}

TJobBuilder::TJobBuilder(TSettingsStore& settings, const TIniFile& formatFile,
                         TFolderRules& folders, TQuestionService& questions)
    : Settings_(settings), FormatFile_(formatFile), Folders_(folders), Questions_(questions) {}

int TJobBuilder::ProfileCode() const {
  return ProfileCode_ ? *ProfileCode_ : Settings_.FormatCode();
}

bool TJobBuilder::NameTaken(const std::string& path) const {
  std::error_code ec;
  return Reserved_.count(path) > 0 || fs::exists(fs::symlink_status(path, ec));
}

std::string TJobBuilder::MakeOutputName(const std::string& sourceFile, const std::string& suffix) {
  std::string folder = OutputFolder_ ? Folders_.PrepareForUse(TFolderKey::Output, *OutputFolder_)
                                     : Folders_.PrepareStoredForUse(TFolderKey::Output);
  if (folder.empty() || folder.back() != '/') folder += '/';
  const std::string base = fs::path(sourceFile).stem().string();
  std::string candidate = folder + base + "_(new)" + suffix;
  for (int n = 1; NameTaken(candidate); ++n)
    candidate = folder + base + "_(new_" + std::to_string(n) + ")" + suffix;
  Reserved_.insert(candidate);
  return candidate;
}

void TJobBuilder::BuildProfileOptions(const TlvFilesRecord& entry, int code, TOutputOptions& out,
                                      const TSourceValues& source, TInputOptions& in) {
  const TCatalogueProfile c = ReadCatalogueProfile(FormatFile_, code);
  const TProfileChoices s = ReadConversionChoices(Settings_.Ini(), c, code);
  const std::string format = LowerCase(c.Format);

  // Target.
  struct TTargetRow { const char* Format; int Type, Norm; const char* WideSize; };
  static const TTargetRow targets[] = {
      {"ntsc-dvd", 3, 2, "720x480"}, {"pal-dvd", 3, 1, "720x576"}, {"ntsc-vcd", 1, 2, nullptr},
      {"pal-vcd", 1, 1, nullptr},    {"ntsc-svcd", 2, 2, nullptr}, {"pal-svcd", 2, 1, nullptr}};
  for (const TTargetRow& t : targets) {
    if (format != t.Format) continue;
    out.TargetType = t.Type;
    out.TargetNorm = t.Norm;
    out.FrameAspectRatio = t.WideSize && s.paraVideoSize == t.WideSize ? "16:9" : "4:3";
  }

  // Channels, volume, sample rate and audio bit rate are shared by both kinds.
  auto audioValues = [&] {
    if (s.paraChannel != "as source")
      if (auto ch = IntegerInRange(s.paraChannel); ch && *ch > 0) out.AudioChannels = *ch;
    if (s.paraVolume != "256") {
      auto vol = IntegerInRange(s.paraVolume);
      if (!vol) throw EConvertError("'" + s.paraVolume + "' is not a valid integer value");
      out.AudioVolume = *vol;
    }
    auto userRate = s.paraSampleRate != "as source" ? IntegerInRange(s.paraSampleRate) : std::nullopt;
    if (userRate) {
      if (*userRate > 0) out.AudioSampleRate = *userRate;
    } else if (InProfileRange(TRangeKind::SampleRate, c, source.SampleRate)) {
      out.AudioSampleRate = source.SampleRate;
    } else if (LowerCase(c.paraSampleRate) != "as source") {
      if (auto fb = IntegerInRange(c.paraSampleRate); fb && *fb > 0) out.AudioSampleRate = *fb;
    }
    auto userBitrate = s.paraAudioBitRate != "as source" ? NumberText(s.paraAudioBitRate) : std::nullopt;
    if (userBitrate) {
      if (auto bits = KbitToBit(*userBitrate)) out.AudioBitrate = *bits;
    } else if (InProfileRange(TRangeKind::AudioBitRate, c, static_cast<double>(source.AudioBitRate))) {
      if (source.AudioBitRate > 0 && source.AudioBitRate <= INT_MAX)
        out.AudioBitrate = static_cast<int>(source.AudioBitRate);
    } else if (LowerCase(c.paraAudioBitRate) != "as source") {
      if (auto fb = NumberText(c.paraAudioBitRate))
        if (auto bits = KbitToBit(*fb)) out.AudioBitrate = *bits;
    }
  };

  const std::string venc = s.paraVideoEncoder;
  if (Trim(venc).empty()) {
    out.AudioCodec = s.paraAudioEncoder;
    if (OneOf(format, {"amr", "ac3", "asf", "aiff", "au", "voc", "flac", "flv", "avi", "matroska", "mmf"}))
      out.FileFormat = format;
    audioValues();
    in.ExtOptions = "vn=1";
    out.DisableVideo = true;
    out.DisableSubtitle = true;
    return;
  }

  // Video codec.
  if (OneOf(venc, {"mpeg4", "libxvid", "mpeg1video", "msmpeg4", "msmpeg4v1", "msmpeg4v2", "huffyuv",
                   "dvvideo", "rawvideo", "h263p", "h263", "rv10", "rv20", "ljpeg", "mjpeg", "svq1",
                   "zlib", "wmv1", "wmv2"})) {
    out.VideoCodec = venc;
  } else if (venc == "mpeg2video") {
    out.VideoCodec = venc;
    out.TargetType = 3;
  } else if (venc == "libx264") {
    out.VideoCodec = venc;
    out.VideoPreset = format == "psp"    ? "libx264-psp"
                      : format == "ipod" ? "libx264-ipod"
                      : format == "ps3"  ? "libx264-ps3"
                                         : "libx264-mp4";
  }

  if (source.VideoStreamCount <= 0) {
    out.DisableVideo = true;
  } else {
    // Video bit rate.
    const std::string& vb = s.paraVideoBitRate;
    auto userVb = vb != "as source" ? IntegerText(vb) : std::nullopt;
    if (userVb) {
      if (*userVb > 0 && *userVb <= INT_MAX / 1000) out.VideoBitrate = static_cast<int>(*userVb * 1000);
    } else if (InProfileRange(TRangeKind::VideoBitRate, c, static_cast<double>(source.VideoBitRate))) {
      if (source.VideoBitRate > 0 && source.VideoBitRate <= INT_MAX)
        out.VideoBitrate = static_cast<int>(source.VideoBitRate);
    } else if (LowerCase(c.paraVideoBitRate) != "as source") {
      if (auto fb = IntegerText(c.paraVideoBitRate); fb && *fb > 0 && *fb <= INT_MAX / 1000)
        out.VideoBitrate = static_cast<int>(*fb * 1000);
    }

    // Frame rate.
    if (s.paraFrameRate != "as source")
      if (auto fr = NumberText(s.paraFrameRate); fr && *fr > 0) out.FrameRate = s.paraFrameRate;

    // Container.
    if (OneOf(format, {"ipod", "3gp", "3g2", "avi", "psp", "mov", "vcd", "flv", "mpegts", "vob", "asf", "dv"}))
      out.FileFormat = c.Format;

    // Frame size.
    const std::string& size = s.paraVideoSize;
    const std::size_t x = size.find('x');
    int outW = source.Width, outH = source.Height;
    bool asSource = size == "as source";
    if (!asSource && x != std::string::npos && x > 0 && x + 1 < size.size()) {
      auto w = IntegerInRange(size.substr(0, x));
      auto h = IntegerInRange(size.substr(x + 1));
      // A size of 0 or less cannot be made; such a side keeps the source's.
      outW = w && *w > 0 ? *w : source.Width;
      outH = h && *h > 0 ? *h : source.Height;
      if (LowerCase(out.VideoCodec) == "h263" &&
          std::string_view("704x576,352x288,176x144,160x120,128x96").find(size) == std::string_view::npos) {
        if (outW > 176 && outW <= 352) {
          outW = 352;
          outH = 288;
        } else if (outW > 352) {
          outW = 704;
          outH = 576;
        }
      }
    } else if (!asSource) {
      if (Questions_.AskYesNo("Warning", kBadVideoSizeQuestion)) {
        outW = 320;
        outH = 240;
      } else {
        asSource = true;
      }
    }
    if (asSource) {
      outW = source.Width;
      outH = source.Height;
    }

    // Zoom.
    for (int* crop : {&out.CropTop, &out.CropBottom, &out.CropLeft, &out.CropRight})
      if (*crop == -1) *crop = 0;
    const std::string filter = ApplyZoomMode(entry.ZoomMode, source.Width, source.Height, outW, outH, entry, out);
    if (!filter.empty())
      out.VideoFilters = out.VideoFilters.empty() ? filter : out.VideoFilters + "," + filter;
  }

  // Audio codec.
  std::string acodec = s.paraAudioEncoder;
  if (acodec == "libamr_nb") acodec = "libopencore_amrnb";
  out.AudioCodec = acodec;
  if (Trim(acodec).empty()) out.DisableAudio = true;
  audioValues();
}

TJobBuilder::TEntryTask TJobBuilder::AddEntryTask(TCustomFFmpegVCL& converter, TlvFilesRecord& entry) {
  TEntryTask result;
  TInputOptions in;
  in.FileName = entry.SourceFile;

  TAVProbe& probe = converter.AVProbe();
  const bool probed = probe.LoadFile(entry.SourceFile);
  struct TCloseProbe {
    TAVProbe& Probe;
    ~TCloseProbe() { Probe.CloseFile(); }
  } closeProbe{probe};
  const TSourceValues source = probed ? ReadSourceValues(probe) : TSourceValues{};
  in.FileFormat = probe.ForcedFormat();
  if (entry.TrimStart >= 0) in.StartTime = entry.TrimStart;

  const int code = ProfileCode();
  const TCatalogueProfile catalogue = ReadCatalogueProfile(FormatFile_, code);
  const std::string sourceName = probed && !probe.FileName().empty() ? probe.FileName() : entry.SourceFile;
  result.OutputFile = MakeOutputName(sourceName, "." + catalogue.FileExt);
  entry.DestFile = result.OutputFile;
  entry.ZoomMode = ZoomMode_ ? *ZoomMode_ : ReadProfileZoom(Settings_.Ini(), code);

  TOutputOptions out;
  out.FileName = result.OutputFile;
  if (EntryCrops(entry)) {
    out.CropTop = entry.CropTop;
    out.CropBottom = entry.CropBottom;
    out.CropLeft = entry.CropLeft;
    out.CropRight = entry.CropRight;
  }
  if (entry.TrimLength > 0) out.RecordingTime = entry.TrimLength;
  BuildProfileOptions(entry, code, out, source, in);

  result.TaskIndex = converter.AddTask(entry.SourceFile, &in);
  if (result.TaskIndex < 0) {
    result.Error = converter.LastError();
    return result;
  }
  out.CustomHook = entry.HasPictureEffect() ||
                   (!entry.Watermarks.empty() &&
                    (!entry.Watermarks.front()->Text.empty() || !entry.Watermarks.front()->ImageFile.empty()));
  if (!converter.SetOutputFile(result.TaskIndex, result.OutputFile, &out)) {
    result.Error = converter.LastError();
    converter.RemoveTask(result.TaskIndex);
    result.TaskIndex = -1;
  }
  return result;
}

}  // namespace quenza
