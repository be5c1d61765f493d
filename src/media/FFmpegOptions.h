#pragma once
// Option records of a conversion task and the order in which they configure its engine.
//
// The converter component uses them like this:
//
//   AddTask(fileName, inputOptions):
//     engine.Reset(); engine.SetVerbosity(1); ...
//     if (inputOptions) { keep a copy; ApplyInputOptions(engine, copy, fileName); }
//     engine.AddInputFile(fileName);
//
//   SetOutputFile(task, fileName, outputOptions):
//     if (outputOptions) {
//       keep a copy;
//       TPendingOptions pending;
//       ApplyOutputOptionsBefore(engine, copy, fileName, pending);
//       if (engine.AddOutputFile(fileName, copy.Join) < 0) fail with LastErrorText();
//       ApplyOutputOptionsAfter(engine, copy, pending);
//     }
//     (without a record: engine.AddOutputFile(fileName, false))
//
// The apply functions fill an empty FileName of the record they are given, so the kept
// copy names its file. Every engine error (FFmpegException) propagates to the caller.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/FFmpegSettings.h"

namespace quenza {

class TCustomFFmpeg;

// Options of one input file. File names are byte strings.
struct TInputOptions {
  std::string FileName;              // empty: the name given to AddTask
  std::string FileFormat;            // forced demuxer ("f")
  int64_t StartTime = kNoTimestamp;  // microseconds into the input ("ss")
  int ProgramID = -1;                // program to select ("programid"), applied when >= 0
  std::string ExtOptions;            // further options, name=value lines
};

// Options of one output file. Numbers are applied only when greater than zero and strings
// only when not empty, except where noted.
struct TOutputOptions {
  // Time stamp and metadata of the output. TimeStamp is a local date-time in days since
  // 1899-12-30: 0 stamps the current time, a positive value that time, a negative
  // value nothing.
  struct TStreamInfo {
    double TimeStamp = -1.0;
    int Year = -1;   // metadata "year" when > 0
    int Track = -1;  // metadata "track" when > 0
    std::string Title;
    std::string Author;
    std::string Copyright;
    std::string Comment;
    std::string Album;
    std::string Genre;
  };

  std::string FileName;  // empty: the name given to SetOutputFile
  std::string FileFormat;           // "f"
  int PacketSize = -1;              // "packetsize"
  int MuxRate = -1;                 // "muxrate"
  float MuxDelay = -1.0f;           // "muxdelay", seconds
  float MuxPreload = -1.0f;         // "muxpreload", seconds
  std::string AudioCodec;           // default of "acodec"
  std::string AudioPreset;          // default of "apre"
  bool DisableAudio = false;        // "an" when true
  int AudioVolume = -1;             // "vol" when >= 0 (256 = unchanged)
  int AudioChannels = -1;           // "ac"
  int AudioSampleRate = -1;         // "ar", Hz
  int AudioBitrate = -1;            // "ab"
  int AudioBitrateTolerance = -1;   // "abt"
  std::string AudioLanguage;        // "alang", always assigned
  int AudioSync = 0;                // "async", always assigned
  std::string AudioTag;             // "atag"
  std::string VideoCodec;           // default of "vcodec"
  std::string VideoPreset;          // default of "vpre"
  bool DisableVideo = false;        // "vn" when true
  std::string FrameRate;            // "r"
  std::string FrameSize;            // default of "s"
  std::string FrameAspectRatio;     // "aspect"
  int CropTop = -1;                 // "croptop", pixels; the engine ignores values <= 0
  int CropBottom = -1;              // "cropbottom"
  int CropLeft = -1;                // "cropleft"
  int CropRight = -1;               // "cropright"
  int GOPSize = -1;                 // "g"
  int VideoBitrate = -1;            // "vb"
  int VideoMaxRate = -1;            // "maxrate"
  int VideoMinRate = -1;            // "minrate"
  int VideoBitrateTolerance = -1;   // "bt"
  int VideoBufSize = -1;            // "bufsize"
  int VideoSync = -1;               // "vsync", always assigned
  std::string VideoTag;             // "vtag"
  std::string VideoFilters;         // default of "vf"
  std::string VideoLanguage;        // "vlang", always assigned
  std::string SubtitleCodec;        // default of "scodec"
  std::string SubtitlePreset;       // default of "spre"
  bool DisableSubtitle = false;     // "sn" when true
  std::string SubtitleLanguage;     // "slang", always assigned
  bool InputSync = false;           // "isync", always assigned
  bool CopyTimestamps = false;      // "copyts" when true
  int64_t StartTime = kNoTimestamp;      // "ss", microseconds
  int64_t RecordingTime = kNoTimestamp;  // "t", microseconds
  TStreamInfo Info;
  int TargetType = 0;          // 0 none, 1 "vcd", 2 "svcd", 3 "dvd"
  int TargetNorm = 0;          // 1 "pal", 2 "ntsc", anything else "auto"
  int TargetFallbackNorm = 1;  // 1 "pal", anything else "ntsc"
  bool CustomHook = false;     // used by the component: the task raises its frame hook
  bool Join = false;           // used by the component: passed to AddOutputFile
  std::string ExtOptions;      // further options, name=value lines
};

// (name, value) pairs of an option list.
using TOptionLines = std::vector<std::pair<std::string, std::string>>;

// Splits ExtOptions: the text is trimmed, line breaks and the literal "<CRLF>" separate
// lines, the name is the text before the first "=" (trimmed, lower-cased) and the value
// everything after it; a line without "=" has an empty value. Blank lines are dropped.
TOptionLines ParseExtOptions(const std::string& text);

// Applies an input record to the engine before the component adds the input file:
//   1. an empty options.FileName becomes fileName;
//   2. every ExtOptions line through SetOption, in order, except "newvideo", "newaudio",
//      "newsubtitle", "apre", "vpre", "spre", "vfilters" and "vf" (codec names and "s"
//      pass and act on the input);
//   3. SetInputFormat(FileFormat) when not empty, SetStartTime(StartTime),
//      SetProgramId(ProgramID) (the engine ignores kNoTimestamp and negative ids).
// AddInputFile is left to the caller.
void ApplyInputOptions(TCustomFFmpeg& engine, TInputOptions& options, const std::string& fileName);

// Per-stream settings handed from ApplyOutputOptionsBefore to ApplyOutputOptionsAfter.
struct TPendingOptions {
  // "def_acodec", "def_vcodec", "def_scodec", "def_apre", "def_vpre", "def_spre", "def_s"
  // and "def_vf": the record's field, or when empty the first non-empty ExtOptions line
  // of that name ("vfilters" counting as "vf").
  std::map<std::string, std::string> Defaults;
  // Every non-empty "acodec", "vcodec", "scodec", "apre", "vpre", "spre", "s" and "vf"
  // ("vfilters") line of ExtOptions, in line order.
  TOptionLines Pending;

  // Fills Defaults and Pending from a record.
  void Build(const TOutputOptions& options);
  // The value of the first pending entry of name, which is removed; when there is none,
  // the "def_" value.
  std::string Take(const std::string& name);
};

// Applies an output record to the engine before the component adds the output file:
//   1. an empty options.FileName becomes fileName; pending is built from the record;
//   2. "acodec", "vcodec", "scodec", "apre", "vpre", "spre" from the defaults, each
//      through SetOption when not empty;
//   3. every other ExtOptions line through SetOption, in order, except the stream-adding
//      ("newaudio", "newvideo", "newsubtitle"), preset, filter, codec and "s" lines;
//   4. the fields in record order: "f"; "packetsize", "muxrate" (SetLibraryOptionInt);
//      SetMuxMaxDelay, SetMuxPreload; "an"; SetAudioVolume, SetAudioChannels,
//      SetAudioSampleRate; "ab", "abt" (SetLibraryOptionInt); "alang"; SetAudioSyncMethod;
//      SetAudioTag; "vn"; SetFrameRate; SetAspect; SetCropTop, SetCropBottom,
//      SetCropLeft, SetCropRight; "g", "vb", "maxrate", "minrate", "bt", "bufsize"
//      (SetLibraryOptionInt); SetVideoSyncMethod; SetVideoTag; "vlang"; "sn"; "slang";
//      "isync"; "copyts"; SetStartTime; SetRecordingTime; then Info: "timestamp", metadata
//      "year", "track", "title", "author", "copyright", "comment", "album", "genre";
//   5. SetTarget when TargetType is 1 to 3;
//   6. "s" and "vf" from the defaults, through SetOption when not empty.
void ApplyOutputOptionsBefore(TCustomFFmpeg& engine, TOutputOptions& options,
                              const std::string& fileName, TPendingOptions& pending);

// Adds the streams of the record's "newaudio", "newvideo" and "newsubtitle" lines to the
// output just added, in line order. Before each line its stream's settings are set
// through SetOption from pending.Take(), when not empty: "acodec", "apre" for audio;
// "vcodec", "vpre", "s", "vf" for video; "scodec", "spre" for subtitles.
void ApplyOutputOptionsAfter(TCustomFFmpeg& engine, const TOutputOptions& options,
                             TPendingOptions& pending);

// Seconds since 1970-01-01 UTC of a local date-time in days since 1899-12-30, whose
// local time is localUtcOffsetDays ahead of UTC:
// round((timeStamp - 25569 - localUtcOffsetDays) * 86400), halves to even.
// FFmpegException when the result is not a finite 64-bit number of seconds.
int64_t DateTimeToUnixTime(double timeStamp, double localUtcOffsetDays);

// The current offset of local time from UTC in days (east positive, daylight saving
// time included when in effect).
double LocalUtcOffsetDays();

// The recording time stamp of an output (seconds since 1970-01-01 UTC) for a TimeStamp
// value: the current time for 0, the converted time for a positive value, none for a
// negative one.
std::optional<int64_t> RecordingTimeStamp(double timeStamp);

}  // namespace quenza
