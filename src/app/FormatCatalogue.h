#pragma once
// The output profiles: their codes and names, the two-level profile list (category
// headers with their formats) as data, and the profile sections of the catalogue and
// settings files.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "app/GlobalUnit.h"

namespace quenza {

inline constexpr int kNameTableCategories = 51;
inline constexpr int kNameTableEntries = 51;
inline constexpr int kMaxFormatsPerCategory = 50;
inline constexpr int kBuiltInCategoryCount = 3;
inline constexpr int kFormatRowHeight = 20;

// category x 100 + position, both from 0.
constexpr int ProfileCode(int category, int position) { return category * 100 + position; }
constexpr int CodeCategory(int code) { return code / 100; }
constexpr int CodeEntry(int code) { return code % 100; }
// "formatInfo" followed by the decimal code.
std::string ProfileSectionName(int code);

// Name of a built-in category; empty outside 0 .. kBuiltInCategoryCount - 1.
std::string BuiltInCategoryName(int category);
// Names of a built-in category's formats in position order; empty for other numbers.
std::vector<std::string> BuiltInFormatNames(int category);

// Format names by category and position; an empty name is no format.
class TFormatNameTable {
 public:
  void Clear();
  // Fills the built-in names of the category into its row of the table.
  void FillBuiltIn(int category);
  // Out-of-range places are ignored.
  void Set(int category, int position, std::string name);
  // Empty for out-of-range places.
  const std::string& Name(int category, int position) const;
  const std::string& NameOfCode(int code) const {
    return Name(CodeCategory(code), CodeEntry(code));
  }

 private:
  std::array<std::array<std::string, kNameTableEntries>, kNameTableCategories> Names_{};
};

// What a row of the profile list stands for.
class TItemInfo {
 public:
  bool IsFormat = false;
  bool IsCategory = false;
  bool Collapsed = false;  // header only: its formats are hidden
  std::int32_t Code = 0;   // header: category number; format: profile code

  bool operator==(const TItemInfo&) const = default;
};

struct TFormatRow {
  std::string Text;
  TItemInfo Info;
};

// The rows of the profile drop-down list.
class TFormatList {
 public:
  // Rebuilds the table and the rows from the built-in categories and the collapse
  // states of section "lstformat" (missing = collapsed).
  void Build(const TSettingsStore& settings);
  // Writes "lstformat"/category = Collapsed for every header row. False when a write
  // failed.
  bool SaveCollapseStates(TSettingsStore& settings) const;

  int Count() const { return static_cast<int>(Rows_.size()); }
  const std::vector<TFormatRow>& Rows() const { return Rows_; }
  const TFormatRow& Row(int index) const { return Rows_.at(static_cast<std::size_t>(index)); }
  const TFormatNameTable& Names() const { return Names_; }

  // Row whose text equals the trimmed name; -1 when none.
  int FindRow(const std::string& name) const;
  // Row of a header or format by its code; -1 when not listed.
  int FindHeader(int category) const;
  int FindFormat(int code) const;

  // Header rows only; false for a format row, an index outside the list, or a header
  // already in the requested state.
  bool Expand(int row);
  bool Collapse(int row);
  bool Toggle(int row);

  // Stores the format row's text as "FormatName" and its code as "FormatCode". False
  // (nothing written) for a header row or an index outside the list.
  bool SelectProfile(int row, TSettingsStore& settings) const;

 private:
  std::vector<TFormatRow> Rows_;
  TFormatNameTable Names_;
};

// Height of the list when it is built: (rows + 1) x row height while rows x row
// height is below 380, else 379.
int BuiltListHeight(int rows);
// Height when the list drops down: min(rows x row height + row height, 422).
int DropDownListHeight(int rows);

// Choices of a list value, split at every comma without trimming; "null" and an empty
// value give no choices.
std::vector<std::string> SplitChoiceList(const std::string& value);

// A profile's fixed description from the catalogue file.
struct TCatalogueProfile {
  std::string Format;   // "null" when missing
  std::string FileExt;  // "mp4" when missing
  // Raw list values ("null" when missing); split them with SplitChoiceList.
  std::string VideoSize, VideoBitRate, FrameRate, VideoEncoder, AudioBitRate, SampleRate,
      AudioEncoder, Channel, Volume;
  // Default choice indexes (0 when missing).
  int iVideoSize = 0, iVideoBitRate = 0, iFrameRate = 0, iVideoEncoder = 0,
      iAudioBitRate = 0, iSampleRate = 0, iAudioEncoder = 0, iChannel = 0, iVolume = 0;
  // Fallbacks for an "as source" choice outside the profile's range.
  std::string paraSampleRate, paraAudioBitRate, paraVideoBitRate;
  // Extra H.264 values (empty when missing).
  std::string paraBitExact, paraMaxBitrate, paraBufferSize, paraLevel, paraQscale, paraGop,
      paraCoder;
};

// The user's current choices for a profile from the settings file, with the defaults
// the conversion uses for missing keys.
struct TProfileChoices {
  std::string paraVideoSize;     // "null"
  std::string paraVideoEncoder;  // empty
  std::string paraVideoBitRate;  // "512"
  std::string paraFrameRate;     // "29.97"
  std::string paraZoom;          // "lbox"
  std::string paraAudioEncoder;  // empty; "libfaac" for an audio-only profile
  std::string paraChannel;       // "2"
  std::string paraSampleRate;    // "44100"
  std::string paraAudioBitRate;  // "128"
  std::string paraVolume;        // "3"

  // The video encoder is empty after trimming.
  bool IsAudioOnly() const;
};

TCatalogueProfile ReadCatalogueProfile(const TIniFile& formatFile, int code);
TProfileChoices ReadProfileChoices(const TIniFile& settingsFile, int code);
// The profile's zoom setting for a new file list entry ("lbox" when missing).
std::string ReadProfileZoom(const TIniFile& settingsFile, int code);

}  // namespace quenza
