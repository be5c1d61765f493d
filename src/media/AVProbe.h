#pragma once
// Media probe: opens a file (or takes over a format context opened elsewhere) and
// answers questions about its container and streams, including a text report.

#include <cstdint>
#include <memory>
#include <string>

#include "engine/LogLevel.h"
#include "media/FFBaseComponent.h"

struct AVFormatContext;

namespace quenza {

// Container-level information. With no file open every number is -1 and every
// string empty.
struct TFileStreamInfo {
  int64_t StartTime = -1;  // microseconds; -1 when the container has none
  int64_t Duration = -1;   // microseconds; -1 when unknown
  int BitRate = -1;        // bits per second, 0 when the container does not know it
  int64_t TimeStamp = -1;  // creation time, seconds since 1970-01-01 UTC; 0 when absent
  int Year = -1;           // from the "year" or "date" tag; 0 when absent
  int Track = -1;          // from the "track" tag ("3/12" gives 3); 0 when absent
  std::string Title;
  std::string Author;
  std::string Copyright;
  std::string Comment;
  std::string Album;
  std::string Genre;
};

// Fields shared by the audio and video records; times are -1 when not known.
struct TStreamInfo {
  std::string Language;
  std::string CodecName;
  int64_t StartTime = -1;    // in the stream's time base
  int64_t StartTimeUS = -1;  // microseconds
  int64_t Duration = -1;     // in the stream's time base
  int64_t DurationUS = -1;   // microseconds
  int BitRate = -1;          // the stream's codec bit rate
};

struct TAudioStreamInfo : TStreamInfo {
  int Channels = -1;
  int SampleRate = -1;    // Hz
  int SampleFormat = -1;  // AVSampleFormat
};

struct TVideoStreamInfo : TStreamInfo {
  int Height = -1;
  int Width = -1;
  // Sample aspect ratio x width / height; 0 when the sample aspect ratio is unset.
  float DisplayAspectRatio = -1.0f;
  int PixelFormat = -1;  // AVPixelFormat
  int FrameRateNum = -1;  // the stream's real frame rate
  int FrameRateDen = -1;
};

// Size text of the report: "%d Byte" up to 1024, then KB, MB and GB with two
// decimals, each unit starting above the previous unit's 1024.
std::string FileSizeText(int64_t size);

class TCustomAVProbe : public TFFBaseComponent {
 public:
  TCustomAVProbe();
  // Closes an owned file; an attached context is left to its owner.
  ~TCustomAVProbe() override;

  // Opens a file, forcing the demuxer formatName when it is not empty. False with
  // LastError on failure, leaving the probe closed. Throws FFmpegException when one of
  // the libraries the probe needs is not loaded.
  bool LoadFile(const std::string& fileName, const std::string& formatName = std::string());

  // Recomputes the file size, counts and first-stream indexes (-1 with no file).
  virtual void Refresh();
  // Closes any file and describes a context that is already open and probed, without
  // taking ownership: CloseFile and the destructor only forget it. A null context
  // leaves the probe closed. Throws like LoadFile.
  virtual void AttachContext(AVFormatContext* context);
  // Closes an owned file or forgets an attached one; clears ForcedFormat and the
  // derived values.
  virtual void CloseFile();

  // Each fills its record (defaults first) and returns false with LastError when
  // there is no file or no such stream. A negative index means the first stream of
  // the kind.
  bool GetFileStreamInfo(TFileStreamInfo& info);
  bool GetAudioStreamInfo(int streamIndex, TAudioStreamInfo& info);
  bool GetVideoStreamInfo(int streamIndex, TVideoStreamInfo& info);
  bool IsAudioStream(int streamIndex);
  bool IsVideoStream(int streamIndex);

  // The multi-line report, lines joined by CR LF; empty with no file.
  std::string GetInfoText();

  // The open file's name (UTF-8) and the demuxer's short name; empty with no file.
  std::string FileName();
  std::string FormatName();

  bool Loaded() const { return fContext != nullptr; }
  bool OwnsContext() const { return fOwnsContext; }
  const std::string& LastError() const { return fLastError; }
  const std::string& ForcedFormat() const { return fForcedFormat; }
  int64_t FileSize() const { return fFileSize; }
  int StreamCount() const { return fStreamCount; }
  int ProgramCount() const { return fProgramCount; }
  int AudioStreamCount() const { return fAudioStreamCount; }
  int VideoStreamCount() const { return fVideoStreamCount; }
  int SubtitleStreamCount() const { return fSubtitleStreamCount; }
  int FirstAudioStream() const { return fFirstAudioStream; }
  int FirstVideoStream() const { return fFirstVideoStream; }
  int FirstSubtitleStream() const { return fFirstSubtitleStream; }

 private:
  struct TInputCloser {
    void operator()(AVFormatContext* ctx) const;
  };

  // Throws when a library of the probe's set is missing.
  static void CheckLibraries();
  void Close();
  void ReportError(TLogLevel level, const std::string& msg);
  bool RequireFile();
  // Checks the index and kind for the stream-info calls; returns the stream index to
  // use or -1 after reporting.
  int ResolveStream(int streamIndex, int mediaType, int firstOfKind, const char* kindName);
  bool IsStreamOfType(int streamIndex, int mediaType);
  void FillCommon(int streamIndex, TStreamInfo& info) const;
  std::string StreamLine(int streamIndex) const;

  AVFormatContext* fContext = nullptr;
  std::unique_ptr<AVFormatContext, TInputCloser> fOwned;  // set when fOwnsContext
  bool fOwnsContext = false;
  std::string fFileName;  // name given to LoadFile
  std::string fLastError;
  std::string fForcedFormat;
  int64_t fFileSize = -1;
  int fStreamCount = -1;
  int fProgramCount = -1;
  int fAudioStreamCount = -1;
  int fVideoStreamCount = -1;
  int fSubtitleStreamCount = -1;
  int fFirstAudioStream = -1;
  int fFirstVideoStream = -1;
  int fFirstSubtitleStream = -1;
};

class TAVProbe : public TCustomAVProbe {};

}  // namespace quenza
