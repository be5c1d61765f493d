#pragma once
// Turns a file list entry and the current output profile into a converter task: the
// output name, the input options and every output option.

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "app/FileEntry.h"
#include "app/FormatCatalogue.h"
#include "app/GlobalUnit.h"
#include "app/MessageService.h"
#include "media/FFmpegOptions.h"

namespace quenza {

class TAVProbe;
class TCustomFFmpegVCL;

// What the builder needs to know of a source.
struct TSourceValues {
  int VideoStreamCount = 0;
  int Width = 0, Height = 0;      // first video stream
  std::int64_t VideoBitRate = 0;  // bit/s
  int SampleRate = 0;             // first audio stream, Hz
  std::int64_t AudioBitRate = 0;  // bit/s
};
// The values of an opened probe; zeros for what it does not have.
TSourceValues ReadSourceValues(TAVProbe& probe);

enum class TRangeKind { SampleRate, AudioBitRate, VideoBitRate };
// True when the source value (Hz, or bit/s for the bit rates) lies in the range of the
// profile's choice list for the kind: from its first number (the item after a leading
// "as source") to its last item.
bool InProfileRange(TRangeKind kind, const TCatalogueProfile& profile, double sourceValue);

// A whole decimal integer, optionally signed.
std::optional<long long> IntegerText(const std::string& text);
// A decimal number with an optional fraction.
std::optional<double> NumberText(const std::string& text);

// The frame fitting of a zoom mode. Sets FrameSize, FrameAspectRatio and crop values of
// out as the mode asks and returns the filter text it built (empty for "full" and
// "pan" and for unknown modes). srcW/srcH: source size; outW/outH: the chosen size.
std::string ApplyZoomMode(const std::string& mode, int srcW, int srcH, int outW, int outH,
                          const TlvFilesRecord& entry, TOutputOptions& out);

// The question asked for a frame size without a usable "x".
inline constexpr const char* kBadVideoSizeQuestion =
    "Error output Video Size.Use the default size 320x240?";

// Raised when a settings value that must be an integer is not (the start stops).
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TJobBuilder {
 public:
  // settings: the settings file (profile choices, "FormatCode", "OutPutDir");
  // formatFile: the catalogue. All referenced objects must outlive the builder.
  TJobBuilder(TSettingsStore& settings, const TIniFile& formatFile, TFolderRules& folders,
              TQuestionService& questions);

  // Overrides of the stored settings (command line): the output folder and the profile.
  void SetOutputFolder(std::string folder) { OutputFolder_ = std::move(folder); }
  void SetProfileCode(int code) { ProfileCode_ = code; }
  // Zoom mode used for every entry instead of the profile's "paraZoom".
  void SetZoomMode(std::string mode) { ZoomMode_ = std::move(mode); }
  int ProfileCode() const;

  // Output path for a source: folder + base + "_(new)" + suffix, or "_(new_N)" with the
  // first N whose file does not exist and that this run has not handed out yet.
  std::string MakeOutputName(const std::string& sourceFile, const std::string& suffix);
  // Forgets the names handed out so far (a new run begins).
  void BeginRun() { Reserved_.clear(); }

  // Completes the option records for one entry. out already holds the file name, the
  // entry's crop values and recording time. Raises EConvertError for a volume setting
  // that is not an integer.
  void BuildProfileOptions(const TlvFilesRecord& entry, int code, TOutputOptions& out,
                           const TSourceValues& source, TInputOptions& in);

  struct TEntryTask {
    int TaskIndex = -1;      // -1: the task could not be added
    std::string OutputFile;
    std::string Error;       // why it could not be added
  };
  // The per-entry job: probes the source with the converter's probe, builds both option
  // records, adds the task and sets its output. Updates the entry's ZoomMode and
  // DestFile. Raises EConvertError as BuildProfileOptions does.
  TEntryTask AddEntryTask(TCustomFFmpegVCL& converter, TlvFilesRecord& entry);

 private:
  bool NameTaken(const std::string& path) const;

  TSettingsStore& Settings_;
  const TIniFile& FormatFile_;
  TFolderRules& Folders_;
  TQuestionService& Questions_;
  std::optional<std::string> OutputFolder_;
  std::optional<int> ProfileCode_;
  std::optional<std::string> ZoomMode_;
  std::set<std::string> Reserved_;
};

}  // namespace quenza
