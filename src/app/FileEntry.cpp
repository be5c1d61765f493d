#include "app/FileEntry.h"

#include <utility>

namespace quenza {

bool TWmRec::IsShownAt(std::int64_t ptsUs) const {
  const std::int64_t t = FrameSecond(ptsUs);
  return StartSec <= t && t <= EndSec;
}

bool TlvFilesRecord::HasPictureEffect() const {
  return Brightness != kNeutralBrightness || Contrast != kNeutralContrast ||
         Saturation != kNeutralSaturation || Exposure != kNeutralExposure;
}

bool TlvFilesRecord::HasCrop() const {
  return CropTop != 0 || CropLeft != 0 || CropBottom != 0 || CropRight != 0;
}

TWmRec& TlvFilesRecord::AddWatermark() {
  Watermarks.push_back(std::make_unique<TWmRec>());
  return *Watermarks.back();
}

std::unique_ptr<TlvFilesRecord> MakeFileRecord(std::string sourceFile, std::string destFile,
                                               std::string zoomMode) {
  auto record = std::make_unique<TlvFilesRecord>();
  record->SourceFile = std::move(sourceFile);
  record->DestFile = std::move(destFile);
  record->ZoomMode = std::move(zoomMode);
  return record;
}

std::string LengthColumnText(std::int64_t durationUs) {
  return std::to_string(durationUs / 1000000);
}

std::string DestinationColumnText(const std::string& destFile) {
  const auto slash = destFile.find_last_of('/');
  return slash == std::string::npos ? destFile : destFile.substr(slash + 1);
}

std::string ProgressColumnText(int percent) { return std::to_string(percent) + "%"; }

std::size_t TFileEntries::Add(std::unique_ptr<TlvFilesRecord> record) {
  Rows_.push_back(std::move(record));
  return Rows_.size() - 1;
}

TlvFilesRecord* TFileEntries::At(std::size_t index) {
  return index < Rows_.size() ? Rows_[index].get() : nullptr;
}

const TlvFilesRecord* TFileEntries::At(std::size_t index) const {
  return index < Rows_.size() ? Rows_[index].get() : nullptr;
}

bool TFileEntries::Remove(std::size_t index) {
  if (index >= Rows_.size()) return false;
  Rows_.erase(Rows_.begin() + static_cast<std::ptrdiff_t>(index));
  return true;
}

}  // namespace quenza
