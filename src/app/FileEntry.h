#pragma once
// The per-file job state behind one row of the main window's file list, and its
// watermark items.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quenza {

// Font of a text watermark. Colour is 0x00BBGGRR.
struct TWmFont {
  std::string Name = "Arial";
  int Size = 12;  // points
  bool Bold = false;
  bool Italic = false;
  bool Underline = false;
  bool StrikeOut = false;
  std::uint32_t Color = 0x000000;

  bool operator==(const TWmFont&) const = default;
};

// One watermark item. A text item uses Text, Font, the Text* box, TextOpacity,
// BackColor and HasBackground; an image item uses ImageFile, the Image* box and
// ImageOpacity. Kind, StartSec and EndSec apply to both.
class TWmRec {
 public:
  static constexpr std::int32_t kTextKind = 0;
  static constexpr std::int32_t kImageKind = 1;

  std::string Text;
  TWmFont Font;
  std::int32_t TextLeft = 0;
  std::int32_t TextTop = 0;
  std::int32_t TextWidth = 0;
  std::int32_t TextHeight = 0;
  std::int32_t TextOpacity = 255;
  std::uint32_t BackColor = 0xFFFFFF;
  bool HasBackground = false;
  std::string ImageFile;
  std::int32_t ImageLeft = 0;
  std::int32_t ImageTop = 0;
  std::int32_t ImageWidth = 0;
  std::int32_t ImageHeight = 0;
  std::int32_t ImageOpacity = 255;
  std::int32_t Kind = kTextKind;
  std::int32_t StartSec = 0;  // inclusive
  std::int32_t EndSec = 0;    // inclusive

  bool IsText() const { return Kind == kTextKind; }
  bool IsImage() const { return Kind == kImageKind; }
  // The whole second of a frame time in microseconds, truncated.
  static std::int64_t FrameSecond(std::int64_t ptsUs) { return ptsUs / 1000000; }
  // True when the item is drawn on a frame with this time in microseconds.
  bool IsShownAt(std::int64_t ptsUs) const;
};

// Neutral values of the picture effects.
inline constexpr std::int32_t kNeutralBrightness = 255;
inline constexpr std::int32_t kNeutralContrast = 0;
inline constexpr std::int32_t kNeutralSaturation = 255;
inline constexpr std::int32_t kNeutralExposure = 0;

// Job state of one file list row. Owns its watermark items; move-only.
struct TlvFilesRecord {
  std::string SourceFile;
  std::string DestFile;
  std::int64_t TrimStart = 0;   // microseconds; 0 = from the beginning
  std::int64_t TrimLength = 0;  // microseconds; 0 = to the end
  std::string ZoomMode;         // "full", "lbox", "pan", "center"; other = no fitting
  std::int32_t CropTop = 0;
  std::int32_t CropLeft = 0;
  std::int32_t CropBottom = 0;
  std::int32_t CropRight = 0;
  std::int32_t CropUpPreview = 0;
  std::int32_t CropLeftPreview = 0;
  std::int32_t CropDownPreview = 0;
  std::int32_t CropRightPreview = 0;
  std::vector<std::unique_ptr<TWmRec>> Watermarks;  // drawing order
  std::int32_t Brightness = kNeutralBrightness;
  std::int32_t Contrast = kNeutralContrast;
  std::int32_t Saturation = kNeutralSaturation;
  std::int32_t Exposure = kNeutralExposure;
  bool ProcessAddedText = false;
  bool ProcessAddedImage = false;

  // Any effect value differs from its neutral value.
  bool HasPictureEffect() const;
  bool HasCrop() const;
  bool HasTrim() const { return TrimStart != 0 || TrimLength != 0; }
  bool HasWatermarks() const { return !Watermarks.empty(); }
  // Appends a new item and returns it.
  TWmRec& AddWatermark();
};

// A record for a newly added file with all other fields at their defaults.
std::unique_ptr<TlvFilesRecord> MakeFileRecord(std::string sourceFile, std::string destFile,
                                               std::string zoomMode);

// "Length" column: the duration in whole seconds, truncated.
std::string LengthColumnText(std::int64_t durationUs);
// "Destination File" column: the file-name part of the path.
std::string DestinationColumnText(const std::string& destFile);
// "Progress" column while converting: the percentage followed by "%".
std::string ProgressColumnText(int percent);

// The records of the file list, one per row in row order. Removing a row or clearing
// the list destroys its records.
class TFileEntries {
 public:
  // Appends a record and returns its row index.
  std::size_t Add(std::unique_ptr<TlvFilesRecord> record);
  std::size_t Count() const { return Rows_.size(); }
  bool Empty() const { return Rows_.empty(); }
  // Record of the row; nullptr for an index outside the list.
  TlvFilesRecord* At(std::size_t index);
  const TlvFilesRecord* At(std::size_t index) const;
  // Returns false for an index outside the list.
  bool Remove(std::size_t index);
  void Clear() { Rows_.clear(); }

 private:
  std::vector<std::unique_ptr<TlvFilesRecord>> Rows_;
};

}  // namespace quenza
