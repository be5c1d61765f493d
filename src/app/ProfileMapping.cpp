#include "app/ProfileMapping.h"

#include "engine/OptionParse.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <utility>

namespace quenza {

namespace {

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  const std::string p(prefix);
  return text.size() >= p.size() && LowerCase(text.substr(0, p.size())) == p;
}

}  // namespace

std::optional<std::string> MapVideoEncoderItem(const std::string& item) {
  static const std::array<std::pair<const char*, const char*>, 3> renamed = {{
      {"mpeg-4", "mpeg4"}, {"xvid", "libxvid"}, {"h264", "libx264"}}};
  static const std::array<const char*, 24> same = {
      "3gp",       "3g2",        "mov",        "wmv1",     "wmv2",    "wmv3",
      "flv",       "swf",        "msmpeg4",    "msmpeg4v1", "msmpeg4v2", "mpeg1video",
      "mpeg2video", "h263",      "h263p",      "rawvideo", "rv10",    "rv20",
      "dvvideo",   "huffyuv",    "ljpeg",      "mjpeg",    "svq1",    "zlib"};
  const std::string key = LowerCase(item);
  for (const auto& [from, to] : renamed)
    if (key == from) return std::string(to);
  for (const char* name : same)
    if (key == name) return key;
  return std::nullopt;
}

std::optional<std::string> MapAudioEncoderItem(const std::string& item) {
  static const std::pair<const char*, const char*> table[] = {
      {"mp3", "libmp3lame"},
      {"ogg", "vorbis"},
      {"mp2", "mp2"},
      {"aac", "libfaac"},
      {"ac-3", "ac3"},
      {"flac", "flac"},
      {"alac", "alac"},
      {"libamr_nb", "libopencore_amrnb"},
      {"adpcm_swf", "adpcm_swf"},
      {"adpcm_yamaha", "adpcm_yamaha"},
      {"adpcm_ms", "adpcm_ms"},
      {"adpcm_ima_wav", "adpcm_ima_wav"},
      {"pcm_alaw", "pcm_alaw"},
      {"pcm-8bit", "pcm_s8"},
      {"pcm-16bit", "pcm_s16be"},
      {"pcm-24bit", "pcm_s24be"},
      {"pcm-32bit", "pcm_s32be"},
      {"pcm-32bit float", "pcm_f32be"},
      {"pcm-64bit float", "pcm_f64be"},
      {"ccitt a-law(8-bit)", "pcm_alaw"},
      {"ccitt mu-law(8-bit)", "pcm_mulaw"},
      {"ima adpcm(4-bit)", "adpcm_ima_qt"},
      {"gsm", "libgsm"},
      {"pcm_s16", "pcm_s16le"},
      {"pcm_u16", "pcm_u16le"},
      {"pcm_mulaw ", "pcm_mulaw"},
      {"wma1", "wmav1"},
      {"wma2", "wmav2"},
  };
  const std::string key = LowerCase(item);
  for (const auto& [from, to] : table)
    if (key == from) return std::string(to);
  return std::nullopt;
}

std::optional<std::string> MapChannelItem(const std::string& item) {
  if (item == "as source") return std::string("as source");
  if (item == "mono 1 channel") return std::string("1");
  if (item == "stereo 2 channels") return std::string("2");
  return std::nullopt;
}

std::optional<std::string> MapVolumeItem(const std::string& item) {
  if (item.empty()) return std::nullopt;
  const std::string digits = item.substr(0, item.size() - 1);
  int percent = 0;
  auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), percent);
  if (ec != std::errc() || ptr != digits.data() + digits.size() || digits.empty())
    return std::nullopt;
  static const std::array<int, 12> offered = {25, 50, 75, 100, 125, 150, 175, 200, 250, 300, 350, 400};
  if (std::find(offered.begin(), offered.end(), percent) == offered.end()) return std::nullopt;
  return std::to_string(percent * 256 / 100);
}

std::optional<std::string> MapZoomIndex(int index) {
  static const std::array<const char*, 4> modes = {"full", "lbox", "pan", "center"};
  if (index < 0 || index >= static_cast<int>(modes.size())) return std::nullopt;
  return std::string(modes[static_cast<std::size_t>(index)]);
}

std::optional<std::string> DefaultListItem(const std::string& list, int index) {
  const std::vector<std::string> items = SplitChoiceList(list);
  if (index < 0 || index >= static_cast<int>(items.size())) return std::nullopt;
  return items[static_cast<std::size_t>(index)];
}

TProfileChoices CatalogueDefaultChoices(const TCatalogueProfile& p) {
  TProfileChoices c;
  c.paraVideoSize = "null";
  c.paraVideoBitRate = "512";
  c.paraFrameRate = "29.97";
  c.paraZoom = "lbox";
  c.paraChannel = "2";
  c.paraSampleRate = "44100";
  c.paraAudioBitRate = "128";
  c.paraVolume = "256";

  auto typed = [](const std::string& list, int index, std::string& out) {
    if (auto item = DefaultListItem(list, index)) out = *item;
  };
  typed(p.VideoSize, p.iVideoSize, c.paraVideoSize);
  typed(p.VideoBitRate, p.iVideoBitRate, c.paraVideoBitRate);
  typed(p.FrameRate, p.iFrameRate, c.paraFrameRate);
  typed(p.SampleRate, p.iSampleRate, c.paraSampleRate);
  typed(p.AudioBitRate, p.iAudioBitRate, c.paraAudioBitRate);

  if (auto item = DefaultListItem(p.VideoEncoder, p.iVideoEncoder))
    if (auto name = MapVideoEncoderItem(*item)) c.paraVideoEncoder = *name;
  if (auto item = DefaultListItem(p.Channel, p.iChannel))
    if (auto value = MapChannelItem(*item)) c.paraChannel = *value;
  if (auto item = DefaultListItem(p.Volume, p.iVolume))
    if (auto value = MapVolumeItem(*item)) c.paraVolume = *value;
  if (auto item = DefaultListItem(p.AudioEncoder, p.iAudioEncoder)) {
    if (auto name = MapAudioEncoderItem(*item)) {
      c.paraAudioEncoder = *name;
      if (LowerCase(*item) == "gsm") {
        c.paraSampleRate = "8000";
        c.paraChannel = "1";
      }
    }
  }
  if (c.paraAudioEncoder.empty() && c.IsAudioOnly()) c.paraAudioEncoder = "libfaac";
  return c;
}

bool HasSavedChoices(const TIniFile& settingsFile, int code) {
  const std::vector<std::string> keys = settingsFile.ReadSectionKeys(ProfileSectionName(code));
  return std::any_of(keys.begin(), keys.end(),
                     [](const std::string& key) { return StartsWithNoCase(key, "para"); });
}

TProfileChoices ReadConversionChoices(const TIniFile& settingsFile, const TCatalogueProfile& profile,
                                      int code) {
  if (HasSavedChoices(settingsFile, code)) return ReadProfileChoices(settingsFile, code);
  TProfileChoices c = CatalogueDefaultChoices(profile);
  // The zoom has no catalogue list; a section without "para" keys may still hold one.
  c.paraZoom = ReadProfileZoom(settingsFile, code);
  return c;
}

}  // namespace quenza
