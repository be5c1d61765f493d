#include "app/FormatCatalogue.h"

#include <algorithm>
#include <utility>

namespace quenza {

namespace {

struct TBuiltInCategory {
  const char* Name;
  std::vector<const char*> Formats;
};

const std::array<TBuiltInCategory, kBuiltInCategoryCount>& BuiltInCategories() {
  static const std::array<TBuiltInCategory, kBuiltInCategoryCount> categories = {{
      {"Microsoft xbox 360",
       {"Microsoft Xbox WMV Video (*.wmv)", "Microsoft Xbox AVI Video (*.avi)",
        "Microsoft Xbox MPEG-4 Video (*.mp4)"}},
      {"General Video formates",
       {"MPEG-1 Video (*.mpg)", "MPEG-2 Video (*.mpg)", "MPEG-4 Video (*.mp4)",
        "H.264/MPEG-4 AVC Video (*.mp4)", "AVI Video (*.avi)", "WMV Video (*.wmv)",
        "Divx Video (*.avi)", "Xvid Video (*.avi)", "DV - NTSC -Digital Video Format (*.dv)",
        "DV - PAL -Digital Video Format (*.dv)"}},
      {"General Audio formates",
       {"MP3 MPEG Layer-3 Audio (*.mp3)", "AAC Advenced Audio Codec (*.aac)",
        "M4A MPEG-4 Audio (*.m4a)", "WMA - Windows Meida Audio (*.wma)",
        "WAV - Waveform Audio (*.wav)", "OGG Vorbis Audio Codec (*.ogg)",
        "AC-3 Audio Codec (*.ac3)"}},
  }};
  return categories;
}

bool IsBuiltInCategory(int category) {
  return category >= 0 && category < kBuiltInCategoryCount;
}

// Removes leading and trailing characters up to and including the space.
std::string TrimText(const std::string& text) {
  auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  auto first = std::find_if_not(text.begin(), text.end(), isBlank);
  auto last = std::find_if_not(text.rbegin(), text.rend(), isBlank).base();
  return first < last ? std::string(first, last) : std::string();
}

}  // namespace

std::string ProfileSectionName(int code) { return "formatInfo" + std::to_string(code); }

std::string BuiltInCategoryName(int category) {
  return IsBuiltInCategory(category) ? BuiltInCategories()[category].Name : std::string();
}

std::vector<std::string> BuiltInFormatNames(int category) {
  if (!IsBuiltInCategory(category)) return {};
  const auto& formats = BuiltInCategories()[category].Formats;
  return std::vector<std::string>(formats.begin(), formats.end());
}

// Name table

void TFormatNameTable::Clear() {
  for (auto& category : Names_)
    for (auto& name : category) name.clear();
}

void TFormatNameTable::FillBuiltIn(int category) {
  const auto names = BuiltInFormatNames(category);
  for (std::size_t i = 0; i < names.size(); ++i) Set(category, static_cast<int>(i), names[i]);
}

void TFormatNameTable::Set(int category, int position, std::string name) {
  if (category < 0 || category >= kNameTableCategories || position < 0 ||
      position >= kNameTableEntries)
    return;
  Names_[category][position] = std::move(name);
}

const std::string& TFormatNameTable::Name(int category, int position) const {
  static const std::string empty;
  if (category < 0 || category >= kNameTableCategories || position < 0 ||
      position >= kNameTableEntries)
    return empty;
  return Names_[category][position];
}

// Format list

void TFormatList::Build(const TSettingsStore& settings) {
  Names_.Clear();
  Rows_.clear();
  for (int category = 0; category < kBuiltInCategoryCount; ++category) {
    TFormatRow header;
    header.Text = BuiltInCategoryName(category);
    header.Info.IsCategory = true;
    header.Info.Code = category;
    header.Info.Collapsed = true;
    Rows_.push_back(std::move(header));
    Names_.FillBuiltIn(category);
    if (!settings.CategoryCollapsed(category)) Expand(Count() - 1);
  }
}

bool TFormatList::SaveCollapseStates(TSettingsStore& settings) const {
  bool ok = true;
  for (const auto& row : Rows_)
    if (row.Info.IsCategory && !settings.SetCategoryCollapsed(row.Info.Code, row.Info.Collapsed))
      ok = false;
  return ok;
}

int TFormatList::FindRow(const std::string& name) const {
  const std::string wanted = TrimText(name);
  for (int i = 0; i < Count(); ++i)
    if (Rows_[i].Text == wanted) return i;
  return -1;
}

int TFormatList::FindHeader(int category) const {
  for (int i = 0; i < Count(); ++i)
    if (Rows_[i].Info.IsCategory && Rows_[i].Info.Code == category) return i;
  return -1;
}

int TFormatList::FindFormat(int code) const {
  for (int i = 0; i < Count(); ++i)
    if (Rows_[i].Info.IsFormat && Rows_[i].Info.Code == code) return i;
  return -1;
}

bool TFormatList::Expand(int row) {
  if (row < 0 || row >= Count()) return false;
  TItemInfo& header = Rows_[row].Info;
  if (!header.IsCategory || !header.Collapsed) return false;
  const int category = header.Code;
  std::vector<TFormatRow> formats;
  for (int position = 0; position < kMaxFormatsPerCategory; ++position) {
    const std::string& name = Names_.Name(category, position);
    if (name.empty()) continue;
    TFormatRow format;
    format.Text = name;
    format.Info.IsFormat = true;
    format.Info.Code = ProfileCode(category, position);
    formats.push_back(std::move(format));
  }
  header.Collapsed = false;
  Rows_.insert(Rows_.begin() + row + 1, std::make_move_iterator(formats.begin()),
               std::make_move_iterator(formats.end()));
  return true;
}

bool TFormatList::Collapse(int row) {
  if (row < 0 || row >= Count()) return false;
  TItemInfo& header = Rows_[row].Info;
  if (!header.IsCategory || header.Collapsed) return false;
  header.Collapsed = true;
  auto first = Rows_.begin() + row + 1;
  auto last = std::find_if(first, Rows_.end(), [](const TFormatRow& r) { return !r.Info.IsFormat; });
  Rows_.erase(first, last);
  return true;
}

bool TFormatList::Toggle(int row) {
  if (row < 0 || row >= Count() || !Rows_[row].Info.IsCategory) return false;
  return Rows_[row].Info.Collapsed ? Expand(row) : Collapse(row);
}

bool TFormatList::SelectProfile(int row, TSettingsStore& settings) const {
  if (row < 0 || row >= Count() || !Rows_[row].Info.IsFormat) return false;
  const bool nameOk = settings.SetFormatName(Rows_[row].Text);
  const bool codeOk = settings.SetFormatCode(Rows_[row].Info.Code);
  return nameOk && codeOk;
}

int BuiltListHeight(int rows) {
  return rows * kFormatRowHeight < 380 ? (rows + 1) * kFormatRowHeight : 379;
}

int DropDownListHeight(int rows) { return std::min(rows * kFormatRowHeight + kFormatRowHeight, 422); }

// Choice lists

std::vector<std::string> SplitChoiceList(const std::string& value) {
  std::vector<std::string> items;
  if (value.empty() || value == "null") return items;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = value.find(',', start);
    if (comma == std::string::npos) {
      items.push_back(value.substr(start));
      return items;
    }
    items.push_back(value.substr(start, comma - start));
    start = comma + 1;
  }
}

// Profile sections

TCatalogueProfile ReadCatalogueProfile(const TIniFile& formatFile, int code) {
  const std::string section = ProfileSectionName(code);
  auto text = [&](const char* key, const char* def) {
    return formatFile.ReadString(section, key, def);
  };
  auto index = [&](const char* key) { return formatFile.ReadInteger(section, key, 0); };
  TCatalogueProfile p;
  p.Format = text("Format", "null");
  p.FileExt = text("FileExt", "mp4");
  p.VideoSize = text("VideoSize", "null");
  p.VideoBitRate = text("VideoBitRate", "null");
  p.FrameRate = text("FrameRate", "null");
  p.VideoEncoder = text("VideoEncoder", "null");
  p.AudioBitRate = text("AudioBitRate", "null");
  p.SampleRate = text("SampleRate", "null");
  p.AudioEncoder = text("AudioEncoder", "null");
  p.Channel = text("Channel", "null");
  p.Volume = text("Volume", "null");
  p.iVideoSize = index("iVideoSize");
  p.iVideoBitRate = index("iVideoBitRate");
  p.iFrameRate = index("iFrameRate");
  p.iVideoEncoder = index("iVideoEncoder");
  p.iAudioBitRate = index("iAudioBitRate");
  p.iSampleRate = index("iSampleRate");
  p.iAudioEncoder = index("iAudioEncoder");
  p.iChannel = index("iChannel");
  p.iVolume = index("iVolume");
  p.paraSampleRate = text("paraSampleRate", "44100");
  p.paraAudioBitRate = text("paraAudioBitRate", "128");
  p.paraVideoBitRate = text("paraVideoBitRate", "256");
  p.paraBitExact = text("paraBitExact", "");
  p.paraMaxBitrate = text("paraMaxBitrate", "");
  p.paraBufferSize = text("paraBufferSize", "");
  p.paraLevel = text("paraLevel", "");
  p.paraQscale = text("paraQscale", "");
  p.paraGop = text("paraGop", "");
  p.paraCoder = text("paraCoder", "");
  return p;
}

bool TProfileChoices::IsAudioOnly() const { return TrimText(paraVideoEncoder).empty(); }

TProfileChoices ReadProfileChoices(const TIniFile& settingsFile, int code) {
  const std::string section = ProfileSectionName(code);
  auto text = [&](const char* key, const char* def) {
    return settingsFile.ReadString(section, key, def);
  };
  TProfileChoices c;
  c.paraVideoSize = text("paraVideoSize", "null");
  c.paraVideoEncoder = text("paraVideoEncoder", "");
  c.paraVideoBitRate = text("paraVideoBitRate", "512");
  c.paraFrameRate = text("paraFrameRate", "29.97");
  c.paraZoom = text("paraZoom", "lbox");
  c.paraAudioEncoder = text("paraAudioEncoder", c.IsAudioOnly() ? "libfaac" : "");
  c.paraChannel = text("paraChannel", "2");
  c.paraSampleRate = text("paraSampleRate", "44100");
  c.paraAudioBitRate = text("paraAudioBitRate", "128");
  c.paraVolume = text("paraVolume", "3");
  return c;
}

std::string ReadProfileZoom(const TIniFile& settingsFile, int code) {
  return settingsFile.ReadString(ProfileSectionName(code), "paraZoom", "lbox");
}

}  // namespace quenza
