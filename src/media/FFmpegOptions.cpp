#include "media/FFmpegOptions.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <set>

#include "engine/FFmpeg.h"
#include "engine/FFmpegException.h"
#include "engine/OptionParse.h"

namespace quenza {

namespace {

// Input lines that belong to outputs.
const std::set<std::string> kInputSkipped = {"newvideo", "newaudio", "newsubtitle", "apre",
                                             "vpre",     "spre",     "vfilters",    "vf"};

// Output lines that are stream settings, kept for the defaults and the added streams.
const std::set<std::string> kStreamSettings = {"acodec", "vcodec", "scodec", "apre", "vpre",
                                               "spre",   "s",      "vfilters", "vf"};

bool IsStreamAdding(const std::string& name) {
  return name == "newaudio" || name == "newvideo" || name == "newsubtitle";
}

// A setting given by name, skipped when empty.
void SetIfGiven(TCustomFFmpeg& engine, const std::string& name, const std::string& value) {
  if (!value.empty()) engine.SetOption(name, value);
}

void SetIntIfPositive(TCustomFFmpeg& engine, const char* name, int value) {
  if (value > 0) engine.SetLibraryOptionInt(name, value);
}

// The date option text of a UTC time.
std::string UtcDateText(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  std::tm tm{};
  char text[64];
  if (!gmtime_r(&t, &tm) || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0)
    throw FFmpegException("Invalid date specification for timestamp: " + std::to_string(seconds));
  return text;
}

void ApplyStreamInfo(TCustomFFmpeg& engine, const TOutputOptions::TStreamInfo& info) {
  if (std::optional<int64_t> stamp = RecordingTimeStamp(info.TimeStamp))
    engine.SetOption("timestamp", UtcDateText(*stamp));
  if (info.Year > 0) engine.AddMetadata("year", std::to_string(info.Year));
  if (info.Track > 0) engine.AddMetadata("track", std::to_string(info.Track));
  const std::pair<const char*, const std::string*> texts[] = {
      {"title", &info.Title},     {"author", &info.Author}, {"copyright", &info.Copyright},
      {"comment", &info.Comment}, {"album", &info.Album},   {"genre", &info.Genre}};
  for (const auto& [key, value] : texts)
    if (!value->empty()) engine.AddMetadata(key, *value);
}

void ApplyTarget(TCustomFFmpeg& engine, const TOutputOptions& o) {
  static const char* const kTypes[] = {"vcd", "svcd", "dvd"};
  if (o.TargetType < 1 || o.TargetType > 3) return;
  const char* norm = o.TargetNorm == 1 ? "pal" : o.TargetNorm == 2 ? "ntsc" : "auto";
  const char* fallback = o.TargetFallbackNorm == 1 ? "pal" : "ntsc";
  engine.SetTarget(kTypes[o.TargetType - 1], norm, fallback);
}

// The typed fields in record order.
void ApplyFields(TCustomFFmpeg& engine, const TOutputOptions& o) {
  SetIfGiven(engine, "f", o.FileFormat);
  SetIntIfPositive(engine, "packetsize", o.PacketSize);
  SetIntIfPositive(engine, "muxrate", o.MuxRate);
  engine.SetMuxMaxDelay(o.MuxDelay);
  engine.SetMuxPreload(o.MuxPreload);

  if (o.DisableAudio) engine.SetOption("an", "1");
  engine.SetAudioVolume(o.AudioVolume);
  engine.SetAudioChannels(o.AudioChannels);
  engine.SetAudioSampleRate(o.AudioSampleRate);
  SetIntIfPositive(engine, "ab", o.AudioBitrate);
  SetIntIfPositive(engine, "abt", o.AudioBitrateTolerance);
  engine.SetOption("alang", o.AudioLanguage);
  engine.SetAudioSyncMethod(o.AudioSync);
  if (!o.AudioTag.empty()) engine.SetAudioTag(o.AudioTag);

  if (o.DisableVideo) engine.SetOption("vn", "1");
  if (!o.FrameRate.empty()) engine.SetFrameRate(o.FrameRate);
  if (!o.FrameAspectRatio.empty()) engine.SetAspect(o.FrameAspectRatio);
  engine.SetCropTop(o.CropTop);
  engine.SetCropBottom(o.CropBottom);
  engine.SetCropLeft(o.CropLeft);
  engine.SetCropRight(o.CropRight);
  SetIntIfPositive(engine, "g", o.GOPSize);
  SetIntIfPositive(engine, "vb", o.VideoBitrate);
  SetIntIfPositive(engine, "maxrate", o.VideoMaxRate);
  SetIntIfPositive(engine, "minrate", o.VideoMinRate);
  SetIntIfPositive(engine, "bt", o.VideoBitrateTolerance);
  SetIntIfPositive(engine, "bufsize", o.VideoBufSize);
  engine.SetVideoSyncMethod(o.VideoSync);
  if (!o.VideoTag.empty()) engine.SetVideoTag(o.VideoTag);
  engine.SetOption("vlang", o.VideoLanguage);

  if (o.DisableSubtitle) engine.SetOption("sn", "1");
  engine.SetOption("slang", o.SubtitleLanguage);

  engine.SetOption("isync", o.InputSync ? "1" : "0");
  if (o.CopyTimestamps) engine.SetOption("copyts", "1");
  engine.SetStartTime(o.StartTime);
  engine.SetRecordingTime(o.RecordingTime);
  ApplyStreamInfo(engine, o.Info);
}

}  // namespace

TOptionLines ParseExtOptions(const std::string& text) { return ParseOptionList(text); }

void ApplyInputOptions(TCustomFFmpeg& engine, TInputOptions& options, const std::string& fileName) {
  if (options.FileName.empty()) options.FileName = fileName;
  for (const auto& [name, value] : ParseExtOptions(options.ExtOptions))
    if (!kInputSkipped.count(name)) engine.SetOption(name, value);
  if (!options.FileFormat.empty()) engine.SetInputFormat(options.FileFormat);
  engine.SetStartTime(options.StartTime);
  engine.SetProgramId(options.ProgramID);
}

void TPendingOptions::Build(const TOutputOptions& o) {
  Defaults = {{"def_acodec", o.AudioCodec},   {"def_vcodec", o.VideoCodec},
              {"def_scodec", o.SubtitleCodec}, {"def_apre", o.AudioPreset},
              {"def_vpre", o.VideoPreset},     {"def_spre", o.SubtitlePreset},
              {"def_s", o.FrameSize},          {"def_vf", o.VideoFilters}};
  Pending.clear();
  for (const auto& [line, value] : ParseExtOptions(o.ExtOptions)) {
    if (value.empty() || !kStreamSettings.count(line)) continue;
    const std::string name = line == "vfilters" ? "vf" : line;
    std::string& def = Defaults["def_" + name];
    if (def.empty()) def = value;
    Pending.emplace_back(name, value);
  }
}

std::string TPendingOptions::Take(const std::string& name) {
  for (auto it = Pending.begin(); it != Pending.end(); ++it) {
    if (it->first != name) continue;
    std::string value = std::move(it->second);
    Pending.erase(it);
    return value;
  }
  auto def = Defaults.find("def_" + name);
  return def == Defaults.end() ? std::string() : def->second;
}

void ApplyOutputOptionsBefore(TCustomFFmpeg& engine, TOutputOptions& options,
                              const std::string& fileName, TPendingOptions& pending) {
  if (options.FileName.empty()) options.FileName = fileName;
  pending.Build(options);
  const auto& def = pending.Defaults;

  for (const char* name : {"acodec", "vcodec", "scodec", "apre", "vpre", "spre"})
    SetIfGiven(engine, name, def.at(std::string("def_") + name));
  for (const auto& [name, value] : ParseExtOptions(options.ExtOptions))
    if (!IsStreamAdding(name) && !kStreamSettings.count(name)) engine.SetOption(name, value);
  ApplyFields(engine, options);
  ApplyTarget(engine, options);
  SetIfGiven(engine, "s", def.at("def_s"));
  SetIfGiven(engine, "vf", def.at("def_vf"));
}

void ApplyOutputOptionsAfter(TCustomFFmpeg& engine, const TOutputOptions& options,
                             TPendingOptions& pending) {
  for (const auto& [name, value] : ParseExtOptions(options.ExtOptions)) {
    if (!IsStreamAdding(name)) continue;
    std::vector<const char*> settings;
    if (name == "newaudio")
      settings = {"acodec", "apre"};
    else if (name == "newvideo")
      settings = {"vcodec", "vpre", "s", "vf"};
    else
      settings = {"scodec", "spre"};
    for (const char* setting : settings) SetIfGiven(engine, setting, pending.Take(setting));
    engine.SetOption(name, value);
  }
}

int64_t DateTimeToUnixTime(double timeStamp, double localUtcOffsetDays) {
  const double seconds = std::nearbyint((timeStamp - 25569.0 - localUtcOffsetDays) * 86400.0);
  // 2^63 is exactly representable; anything at or beyond it does not fit.
  constexpr double kLimit = 9223372036854775808.0;
  if (!(seconds > -kLimit && seconds < kLimit))
    throw FFmpegException("Invalid date specification for timestamp: " + std::to_string(timeStamp));
  return static_cast<int64_t>(seconds);
}

double LocalUtcOffsetDays() {
  tzset();
  const time_t now = std::time(nullptr);
  std::tm local{};
  if (!localtime_r(&now, &local)) return 0.0;
  return static_cast<double>(local.tm_gmtoff) / 86400.0;
}

std::optional<int64_t> RecordingTimeStamp(double timeStamp) {
  if (timeStamp > 0) return DateTimeToUnixTime(timeStamp, LocalUtcOffsetDays());
  if (timeStamp != 0) return std::nullopt;
  using namespace std::chrono;
  const auto us = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
  return static_cast<int64_t>(std::nearbyint(static_cast<double>(us) / 1e6));
}

}  // namespace quenza
