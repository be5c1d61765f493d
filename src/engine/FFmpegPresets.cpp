// Presets (built-in and preset files) and target presets.

#include <cmath>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include "engine/BuiltinPresets.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegException.h"
#include "engine/OptionParse.h"

namespace quenza {

namespace {

bool ReadWholeFile(const std::string& path, std::string& text) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  text = ss.str();
  return true;
}

enum TNorm { nmPal, nmNtsc, nmFilm };

}  // namespace

void TCustomFFmpeg::SetPreset(const std::string& kind, const std::string& value) {
  if (kind.empty() || value.empty()) return;
  std::string lookedUp = value;
  const std::string* builtin = nullptr;
  if (kind != "fpre") {
    builtin = FindBuiltinPreset(value);
    if (!builtin) {
      const std::string* codec = nullptr;
      if (kind == "vpre" && !s_.video.codec_name.empty()) codec = &s_.video.codec_name;
      if (kind == "apre" && !s_.audio.codec_name.empty()) codec = &s_.audio.codec_name;
      if (!codec && !s_.subtitle.codec_name.empty()) codec = &s_.subtitle.codec_name;
      if (codec) {
        lookedUp = *codec + "-" + value;
        builtin = FindBuiltinPreset(lookedUp);
      }
    }
  }
  std::string text;
  if (builtin) {
    text = *builtin;
  } else {
    lookedUp = value;
    if (!ReadWholeFile(value, text)) throw FFmpegException("Preset \"" + value + "\" not found");
  }
  ApplyPresetText(lookedUp, text);
}

void TCustomFFmpeg::ApplyPresetText(const std::string& presetName, const std::string& text) {
  std::istringstream lines(NormaliseLineBreaks(Trim(text)));
  std::string raw;
  while (std::getline(lines, raw)) {
    std::string line = Trim(raw);
    if (line.empty()) continue;
    size_t eq = line.find('=');
    std::string key = eq == std::string::npos ? line : line.substr(0, eq);
    std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    if (key.empty() || value.empty())
      throw FFmpegException(presetName + ": Invalid syntax: \"" + line + "\"");
    if (SameText(key, "acodec"))
      SetAudioCodec(value);
    else if (SameText(key, "vcodec"))
      SetVideoCodec(value);
    else if (SameText(key, "scodec"))
      SetSubtitleCodec(value);
    else if (!SetLibraryOption(key, value))
      throw FFmpegException(presetName + ": Invalid option or argument: \"" + line +
                            "\", parsed as \"" + key + "\" = \"" + value + "\"");
  }
}

void TCustomFFmpeg::SetTarget(const std::string& type, const std::string& norm,
                              const std::string& fallbackNorm) {
  TNorm n = nmPal;
  if (norm == "pal") {
    n = nmPal;
  } else if (norm == "ntsc") {
    n = nmNtsc;
  } else if (norm == "film") {
    n = nmFilm;
  } else {
    if (s_.frame_rate.den == 0) throw FFmpegException("frame_rate is invalid.");
    auto classify = [](long fr, TNorm& out) {
      if (fr == 25000) {
        out = nmPal;
        return true;
      }
      if (fr == 29970 || fr == 23976) {
        out = nmNtsc;
        return true;
      }
      return false;
    };
    long fr = std::lround(static_cast<double>(s_.frame_rate.num) * 1000.0 / s_.frame_rate.den);
    bool decided = classify(fr, n);
    for (int rate : InputVideoFrameRates()) {
      if (decided) break;
      decided = classify(rate, n);
    }
    if (!decided) n = fallbackNorm == "film" ? nmFilm : fallbackNorm == "ntsc" ? nmNtsc : nmPal;
    if (s_.verbose > 0) Log(llVerbose, std::string("Assuming ") + (n == nmPal ? "PAL" : "NTSC") + " for target.");
  }

  const char* rate = n == nmPal ? "25" : n == nmNtsc ? "30000/1001" : "24000/1001";
  const bool pal = n == nmPal;
  auto lib = [this](const char* name, const char* value) { SetLibraryOption(name, value); };
  auto defaultAspect = [this](const char* aspect, const char* message) {
    if (s_.frame_aspect_ratio == 0) {
      OptAspect("aspect", aspect);
      Log(llInfo, message);
    }
  };

  if (type == "vcd") {
    SetVideoCodec("mpeg1video");
    SetAudioCodec("mp2");
    OptFormat("f", "vcd");
    OptFrameSize("s", pal ? "352x288" : "352x240");
    OptFrameRate("r", rate);
    lib("g", pal ? "15" : "18");
    lib("b", "1150000");
    lib("maxrate", "1150000");
    lib("minrate", "1150000");
    lib("bufsize", "327680");
    lib("ab", "224000");
    s_.audio_sample_rate = 44100;
    s_.audio_channels = 2;
    lib("packetsize", "2324");
    lib("muxrate", "1411200");
    s_.mux_preload = 0.44;
    defaultAspect("4:3", "Assuming 4:3 for aspect ratio");
  } else if (type == "svcd") {
    SetVideoCodec("mpeg2video");
    SetAudioCodec("mp2");
    OptFormat("f", "svcd");
    OptFrameSize("s", pal ? "480x576" : "480x480");
    OptFrameRate("r", rate);
    lib("g", pal ? "15" : "18");
    lib("b", "2040000");
    lib("maxrate", "2516000");
    lib("minrate", "0");
    lib("bufsize", "1835008");
    lib("flags", "+scan_offset");
    lib("ab", "224000");
    s_.audio_sample_rate = 44100;
    if (s_.audio_channels == 1) s_.audio_channels = 2;
    lib("packetsize", "2324");
    defaultAspect("4:3", "Assuming 4:3 for aspect ratio");
  } else if (type == "dvd") {
    SetVideoCodec("mpeg2video");
    SetAudioCodec("ac3");
    OptFormat("f", "dvd");
    OptFrameSize("s", pal ? "720x576" : "720x480");
    OptFrameRate("r", rate);
    lib("g", pal ? "15" : "18");
    lib("b", "6000000");
    lib("maxrate", "9000000");
    lib("minrate", "0");
    lib("bufsize", "1835008");
    lib("ab", "448000");
    s_.audio_sample_rate = 48000;
    if (s_.audio_channels == 1) s_.audio_channels = 2;
    lib("packetsize", "2048");
    lib("muxrate", "10080000");
    defaultAspect("16:9", "Assuming 16:9 for aspect ratio");
  } else if (type == "dv" || type == "dv50") {
    OptFormat("f", "dv");
    OptFrameSize("s", pal ? "720x576" : "720x480");
    OptFrameRate("r", rate);
    OptPixFmt("pix_fmt", type == "dv50" ? "yuv422p" : pal ? "yuv420p" : "yuv411p");
    s_.audio_sample_rate = 48000;
    s_.audio_channels = 2;
  } else {
    throw FFmpegException("Unknown target type");
  }
}

}  // namespace quenza
