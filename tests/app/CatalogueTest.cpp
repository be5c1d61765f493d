#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "app/FileEntry.h"
#include "app/FormatCatalogue.h"
#include "app/GlobalUnit.h"

namespace quenza {
namespace {

namespace fs = std::filesystem;

class TTempFolder {
 public:
  TTempFolder() {
    std::string pattern = (fs::temp_directory_path() / "quenza-catalogue-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) Path_ = pattern;
  }
  ~TTempFolder() {
    std::error_code ec;
    if (!Path_.empty()) fs::remove_all(Path_, ec);
  }
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;
  bool Ok() const { return !Path_.empty(); }
  std::string File(const std::string& name) const { return (fs::path(Path_) / name).string(); }

 private:
  std::string Path_;
};

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

class CatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Temp.Ok()); }
  TTempFolder Temp;
  std::string SettingsPath() const { return Temp.File("settings.ini"); }
  std::string FormatPath() const { return Temp.File("format.ini"); }
};

std::vector<int> Codes(const TFormatList& list) {
  std::vector<int> codes;
  for (const auto& row : list.Rows()) codes.push_back(row.Info.IsFormat ? row.Info.Code : -1 - row.Info.Code);
  return codes;
}

// Codes and sections

TEST(ProfileCodeTest, CodesSplitIntoCategoryAndEntry) {
  struct TCase { int Category, Position, Code; };
  for (const TCase& c : {TCase{0, 0, 0}, TCase{0, 2, 2}, TCase{1, 9, 109}, TCase{2, 6, 206},
                         TCase{50, 49, 5049}}) {
    EXPECT_EQ(ProfileCode(c.Category, c.Position), c.Code);
    EXPECT_EQ(CodeCategory(c.Code), c.Category) << c.Code;
    EXPECT_EQ(CodeEntry(c.Code), c.Position) << c.Code;
  }
  EXPECT_EQ(ProfileSectionName(103), "formatInfo103");
  EXPECT_EQ(ProfileSectionName(0), "formatInfo0");
}

TEST(NameTableTest, HoldsTheBuiltInNamesByCode) {
  TFormatNameTable table;
  for (int category = 0; category < kBuiltInCategoryCount; ++category) table.FillBuiltIn(category);
  struct TCase { int Code; const char* Name; };
  for (const TCase& c : {TCase{0, "Microsoft Xbox WMV Video (*.wmv)"},
                         TCase{2, "Microsoft Xbox MPEG-4 Video (*.mp4)"},
                         TCase{3, ""},
                         TCase{100, "MPEG-1 Video (*.mpg)"},
                         TCase{103, "H.264/MPEG-4 AVC Video (*.mp4)"},
                         TCase{109, "DV - PAL -Digital Video Format (*.dv)"},
                         TCase{110, ""},
                         TCase{200, "MP3 MPEG Layer-3 Audio (*.mp3)"},
                         TCase{206, "AC-3 Audio Codec (*.ac3)"},
                         TCase{207, ""},
                         TCase{300, ""}}) {
    EXPECT_EQ(table.NameOfCode(c.Code), c.Name) << c.Code;
  }
  EXPECT_EQ(BuiltInFormatNames(0).size() + BuiltInFormatNames(1).size() +
                BuiltInFormatNames(2).size(),
            20u);
  EXPECT_EQ(BuiltInCategoryName(1), "General Video formates");
  EXPECT_EQ(BuiltInCategoryName(3), "");
  EXPECT_TRUE(BuiltInFormatNames(-1).empty());
  // Places outside the table are ignored and read as empty.
  table.Set(51, 0, "x");
  table.Set(0, 51, "x");
  EXPECT_EQ(table.Name(51, 0), "");
  EXPECT_EQ(table.Name(-1, 0), "");
  table.Set(50, 50, "last");
  EXPECT_EQ(table.Name(50, 50), "last");
  table.Clear();
  EXPECT_EQ(table.NameOfCode(0), "");
  EXPECT_EQ(table.Name(50, 50), "");
}

// The row list

TEST_F(CatalogueTest, EmptySettingsGiveThreeCollapsedHeaders) {
  TSettingsStore settings(SettingsPath());
  TFormatList list;
  list.Build(settings);
  ASSERT_EQ(list.Count(), 3);
  for (int i = 0; i < 3; ++i) {
    const TFormatRow& row = list.Row(i);
    EXPECT_EQ(row.Text, BuiltInCategoryName(i));
    EXPECT_EQ(row.Info, (TItemInfo{false, true, true, i}));
  }
  EXPECT_EQ(settings.FormatName(), "Apple iPod Video MPEG-4 Movie (*.mp4)");
  EXPECT_EQ(list.FindRow(settings.FormatName()), -1);
  EXPECT_FALSE(fs::exists(SettingsPath()));
}

TEST_F(CatalogueTest, StoredExpandedCategoryIsBuiltOpen) {
  TSettingsStore settings(SettingsPath());
  ASSERT_TRUE(settings.SetCategoryCollapsed(2, false));
  TFormatList list;
  list.Build(settings);
  EXPECT_EQ(Codes(list), (std::vector<int>{-1, -2, -3, 200, 201, 202, 203, 204, 205, 206}));
  EXPECT_FALSE(list.Row(2).Info.Collapsed);
  const TFormatRow& ac3 = list.Row(9);
  EXPECT_EQ(ac3.Text, "AC-3 Audio Codec (*.ac3)");
  EXPECT_EQ(ac3.Info, (TItemInfo{true, false, false, 206}));
}

TEST_F(CatalogueTest, ExpandAndCollapseInsertAndRemoveExactlyTheCategoryRows) {
  TSettingsStore settings(SettingsPath());
  settings.SetCategoryCollapsed(0, false);
  TFormatList list;
  list.Build(settings);
  ASSERT_EQ(Codes(list), (std::vector<int>{-1, 0, 1, 2, -2, -3}));

  const int video = list.FindHeader(1);
  ASSERT_EQ(video, 4);
  EXPECT_TRUE(list.Toggle(video));
  EXPECT_EQ(Codes(list), (std::vector<int>{-1, 0, 1, 2, -2, 100, 101, 102, 103, 104, 105, 106,
                                           107, 108, 109, -3}));
  EXPECT_FALSE(list.Row(video).Info.Collapsed);
  EXPECT_EQ(list.Row(video + 1).Text, "MPEG-1 Video (*.mpg)");
  EXPECT_FALSE(list.Expand(video)) << "already expanded";

  EXPECT_TRUE(list.Toggle(video));
  EXPECT_EQ(Codes(list), (std::vector<int>{-1, 0, 1, 2, -2, -3}));
  EXPECT_TRUE(list.Row(video).Info.Collapsed);
  EXPECT_FALSE(list.Collapse(video)) << "already collapsed";

  // Collapsing the first header leaves the others alone.
  EXPECT_TRUE(list.Collapse(0));
  EXPECT_EQ(Codes(list), (std::vector<int>{-1, -2, -3}));

  // Format rows and indexes outside the list are not toggled.
  list.Expand(2);
  const int mp3 = list.FindFormat(200);
  ASSERT_EQ(mp3, 3);
  const auto before = Codes(list);
  EXPECT_FALSE(list.Toggle(mp3));
  EXPECT_FALSE(list.Expand(mp3));
  EXPECT_FALSE(list.Collapse(mp3));
  EXPECT_FALSE(list.Toggle(-1));
  EXPECT_FALSE(list.Toggle(list.Count()));
  EXPECT_EQ(Codes(list), before);
}

TEST_F(CatalogueTest, CollapseStatesSurviveARebuildOnlyWhenSaved) {
  TSettingsStore settings(SettingsPath());
  TFormatList list;
  list.Build(settings);
  list.Expand(list.FindHeader(1));
  list.Build(settings);
  EXPECT_EQ(list.Count(), 3) << "unsaved state is lost";

  list.Expand(list.FindHeader(1));
  list.Expand(list.FindHeader(0));
  list.Collapse(list.FindHeader(0));
  ASSERT_TRUE(list.SaveCollapseStates(settings));
  TSettingsStore reopened(SettingsPath());
  EXPECT_TRUE(reopened.CategoryCollapsed(0));
  EXPECT_FALSE(reopened.CategoryCollapsed(1));
  EXPECT_TRUE(reopened.CategoryCollapsed(2));
  TFormatList rebuilt;
  rebuilt.Build(reopened);
  EXPECT_EQ(Codes(rebuilt), (std::vector<int>{-1, -2, 100, 101, 102, 103, 104, 105, 106, 107,
                                              108, 109, -3}));
  EXPECT_EQ(reopened.Ini().ReadString("lstformat", "1", "?"), "0");
  EXPECT_EQ(reopened.Ini().ReadString("lstformat", "2", "?"), "1");
}

TEST_F(CatalogueTest, SelectingAFormatStoresNameAndCode) {
  TSettingsStore settings(SettingsPath());
  settings.SetCategoryCollapsed(2, false);
  TFormatList list;
  list.Build(settings);
  const int ac3 = list.FindRow("AC-3 Audio Codec (*.ac3)");
  ASSERT_GE(ac3, 0);
  EXPECT_FALSE(list.SelectProfile(list.FindHeader(2), settings));
  EXPECT_FALSE(list.SelectProfile(list.Count(), settings));
  EXPECT_FALSE(settings.Ini().ValueExists("settings", "FormatCode"));
  EXPECT_FALSE(settings.Ini().ValueExists("settings", "FormatName"));
  ASSERT_TRUE(list.SelectProfile(ac3, settings));
  EXPECT_EQ(settings.FormatName(), "AC-3 Audio Codec (*.ac3)");
  EXPECT_EQ(settings.FormatCode(), 206);
  // The stored name selects its row again, surrounding blanks ignored.
  EXPECT_EQ(list.FindRow(settings.FormatName()), ac3);
  EXPECT_EQ(list.FindRow("  AC-3 Audio Codec (*.ac3)\t"), ac3);
  EXPECT_EQ(list.FindRow("ac-3 audio codec (*.ac3)"), -1);
}

TEST(ListHeightTest, BuiltAndDropDownHeights) {
  struct TCase { int Rows, Built, DropDown; };
  for (const TCase& c : {TCase{0, 20, 20}, TCase{3, 80, 80}, TCase{18, 380, 380},
                         TCase{19, 379, 400}, TCase{20, 379, 420}, TCase{21, 379, 422},
                         TCase{23, 379, 422}}) {
    EXPECT_EQ(BuiltListHeight(c.Rows), c.Built) << c.Rows;
    EXPECT_EQ(DropDownListHeight(c.Rows), c.DropDown) << c.Rows;
  }
}

// Choice lists

TEST(ChoiceListTest, SplitsAtEveryCommaWithoutTrimming) {
  struct TCase { const char* Value; std::vector<std::string> Items; };
  const std::vector<TCase> cases = {
      {"null", {}},
      {"", {}},
      {"320x240", {"320x240"}},
      {"as source,320x240,640x480", {"as source", "320x240", "640x480"}},
      {" 64, 128 ,", {" 64", " 128 ", ""}},
      {",a", {"", "a"}},
      {"a,,b", {"a", "", "b"}},
      {"Null", {"Null"}},
  };
  for (const TCase& c : cases) EXPECT_EQ(SplitChoiceList(c.Value), c.Items) << c.Value;
}

// Profile sections

TEST_F(CatalogueTest, CatalogueProfileIsReadFromItsCodeSection) {
  WriteText(FormatPath(),
            "[formatInfo205]\nFormat=ogg\nFileExt=ogg\n"
            "[FORMATINFO206]\nformat=ac3\nFILEEXT=ac3\nAudioBitRate=64,128,192\n"
            "iAudioBitRate=2\nSampleRate=as source,44100,48000\niSampleRate=1\n"
            "paraAudioBitRate=192\nparaBitExact=1\n");
  const TIniFile catalogue(FormatPath());
  const TCatalogueProfile ac3 = ReadCatalogueProfile(catalogue, 206);
  EXPECT_EQ(ac3.Format, "ac3");
  EXPECT_EQ(ac3.FileExt, "ac3");
  EXPECT_EQ(SplitChoiceList(ac3.AudioBitRate), (std::vector<std::string>{"64", "128", "192"}));
  EXPECT_EQ(ac3.iAudioBitRate, 2);
  EXPECT_EQ(ac3.SampleRate, "as source,44100,48000");
  EXPECT_EQ(ac3.iSampleRate, 1);
  EXPECT_EQ(ac3.paraAudioBitRate, "192");
  EXPECT_EQ(ac3.paraBitExact, "1");
  // Missing keys take their defaults.
  EXPECT_EQ(ac3.VideoSize, "null");
  EXPECT_TRUE(SplitChoiceList(ac3.VideoEncoder).empty());
  EXPECT_EQ(ac3.iVideoSize, 0);
  EXPECT_EQ(ac3.paraSampleRate, "44100");
  EXPECT_EQ(ac3.paraVideoBitRate, "256");
  EXPECT_EQ(ac3.paraGop, "");

  const TCatalogueProfile missing = ReadCatalogueProfile(catalogue, 103);
  EXPECT_EQ(missing.Format, "null");
  EXPECT_EQ(missing.FileExt, "mp4");
  EXPECT_EQ(missing.paraAudioBitRate, "128");
  EXPECT_EQ(ReadCatalogueProfile(catalogue, 205).FileExt, "ogg");
}

TEST_F(CatalogueTest, ProfileChoicesUseTheConversionDefaults) {
  WriteText(SettingsPath(),
            "[formatInfo103]\nparaVideoSize=320x240\nparaVideoEncoder=libx264\n"
            "paraVideoBitRate=as source\nparaFrameRate=25\nparaZoom=pan\n"
            "paraAudioEncoder=libfaac\nparaChannel=1\nparaSampleRate=48000\n"
            "paraAudioBitRate=96.5\nparaVolume=256\n"
            "[formatInfo200]\nparaVideoEncoder=  \n"
            "[formatInfo204]\nparaVideoEncoder=\nparaAudioEncoder=pcm_s16le\n");
  const TIniFile ini(SettingsPath());

  const TProfileChoices saved = ReadProfileChoices(ini, 103);
  EXPECT_EQ(saved.paraVideoSize, "320x240");
  EXPECT_EQ(saved.paraVideoEncoder, "libx264");
  EXPECT_EQ(saved.paraVideoBitRate, "as source");
  EXPECT_EQ(saved.paraFrameRate, "25");
  EXPECT_EQ(saved.paraZoom, "pan");
  EXPECT_EQ(saved.paraAudioEncoder, "libfaac");
  EXPECT_EQ(saved.paraChannel, "1");
  EXPECT_EQ(saved.paraSampleRate, "48000");
  EXPECT_EQ(saved.paraAudioBitRate, "96.5");
  EXPECT_EQ(saved.paraVolume, "256");
  EXPECT_FALSE(saved.IsAudioOnly());

  // Never saved: no video encoder, so audio-only with the audio-only encoder default.
  const TProfileChoices unsaved = ReadProfileChoices(ini, 1);
  EXPECT_EQ(unsaved.paraVideoSize, "null");
  EXPECT_EQ(unsaved.paraVideoEncoder, "");
  EXPECT_EQ(unsaved.paraVideoBitRate, "512");
  EXPECT_EQ(unsaved.paraFrameRate, "29.97");
  EXPECT_EQ(unsaved.paraZoom, "lbox");
  EXPECT_EQ(unsaved.paraChannel, "2");
  EXPECT_EQ(unsaved.paraSampleRate, "44100");
  EXPECT_EQ(unsaved.paraAudioBitRate, "128");
  EXPECT_EQ(unsaved.paraVolume, "3");
  EXPECT_TRUE(unsaved.IsAudioOnly());
  EXPECT_EQ(unsaved.paraAudioEncoder, "libfaac");

  EXPECT_TRUE(ReadProfileChoices(ini, 200).IsAudioOnly()) << "blank encoder";
  EXPECT_EQ(ReadProfileChoices(ini, 200).paraAudioEncoder, "libfaac");
  EXPECT_EQ(ReadProfileChoices(ini, 204).paraAudioEncoder, "pcm_s16le");

  EXPECT_EQ(ReadProfileZoom(ini, 103), "pan");
  EXPECT_EQ(ReadProfileZoom(ini, 206), "lbox");
}

TEST_F(CatalogueTest, EveryAccessRereadsTheFile) {
  const TIniFile ini(SettingsPath());
  EXPECT_EQ(ReadProfileZoom(ini, 0), "lbox");
  WriteText(SettingsPath(), "[formatinfo0]\nPARAZOOM=full\n");
  EXPECT_EQ(ReadProfileZoom(ini, 0), "full");
}

// File list entry record

TEST(FileEntryTest, NewRecordHasNoEffectCropTrimOrWatermark) {
  auto record = MakeFileRecord("/v/clip.avi", "/out/clip_(new)_ipod.mp4", "lbox");
  EXPECT_EQ(record->SourceFile, "/v/clip.avi");
  EXPECT_EQ(record->DestFile, "/out/clip_(new)_ipod.mp4");
  EXPECT_EQ(record->ZoomMode, "lbox");
  EXPECT_EQ(record->Brightness, 255);
  EXPECT_EQ(record->Contrast, 0);
  EXPECT_EQ(record->Saturation, 255);
  EXPECT_EQ(record->Exposure, 0);
  EXPECT_EQ(record->TrimStart, 0);
  EXPECT_EQ(record->TrimLength, 0);
  EXPECT_EQ(record->CropUpPreview + record->CropLeftPreview + record->CropDownPreview +
                record->CropRightPreview,
            0);
  EXPECT_FALSE(record->ProcessAddedText);
  EXPECT_FALSE(record->ProcessAddedImage);
  EXPECT_FALSE(record->HasPictureEffect());
  EXPECT_FALSE(record->HasCrop());
  EXPECT_FALSE(record->HasTrim());
  EXPECT_FALSE(record->HasWatermarks());
}

TEST(FileEntryTest, AnyNonNeutralValueCountsAsAnEffectOrCrop) {
  struct TCase { int B, C, S, E; bool Effect; };
  for (const TCase& c : {TCase{255, 0, 255, 0, false}, TCase{254, 0, 255, 0, true},
                         TCase{255, 1, 255, 0, true}, TCase{255, 0, 0, 0, true},
                         TCase{255, 0, 255, -3, true}, TCase{0, 0, 0, 0, true}}) {
    TlvFilesRecord r;
    r.Brightness = c.B;
    r.Contrast = c.C;
    r.Saturation = c.S;
    r.Exposure = c.E;
    EXPECT_EQ(r.HasPictureEffect(), c.Effect) << c.B << " " << c.C << " " << c.S << " " << c.E;
  }
  for (int side = 0; side < 4; ++side) {
    TlvFilesRecord r;
    int* margins[] = {&r.CropTop, &r.CropLeft, &r.CropBottom, &r.CropRight};
    *margins[side] = 2;
    EXPECT_TRUE(r.HasCrop()) << side;
  }
  TlvFilesRecord previewOnly;
  previewOnly.CropUpPreview = 10;
  EXPECT_FALSE(previewOnly.HasCrop());
  TlvFilesRecord trimmed;
  trimmed.TrimLength = 5000000;
  EXPECT_TRUE(trimmed.HasTrim());
}

TEST(FileEntryTest, WatermarkIsShownInItsWholeSeconds) {
  TlvFilesRecord record;
  TWmRec& item = record.AddWatermark();
  item.StartSec = 10;
  item.EndSec = 12;
  ASSERT_TRUE(record.HasWatermarks());
  EXPECT_EQ(record.Watermarks.front().get(), &item);
  struct TCase { std::int64_t Pts; bool Shown; };
  for (const TCase& c : {TCase{9999999, false}, TCase{10000000, true}, TCase{11500000, true},
                         TCase{12999999, true}, TCase{13000000, false}, TCase{0, false}}) {
    EXPECT_EQ(item.IsShownAt(c.Pts), c.Shown) << c.Pts;
  }
  EXPECT_TRUE(item.IsText());
  item.Kind = TWmRec::kImageKind;
  EXPECT_TRUE(item.IsImage());
}

TEST(FileEntryTest, ItemsKeepTheirOrderAndIdentityWhenTheRecordMoves) {
  auto record = MakeFileRecord("a", "b", "full");
  TWmRec& first = record->AddWatermark();
  first.Text = "one";
  first.Font.Bold = true;
  first.Font.Color = 0x0000FF;
  TWmRec& second = record->AddWatermark();
  second.ImageFile = "/p/logo.bmp";
  TlvFilesRecord moved = std::move(*record);
  ASSERT_EQ(moved.Watermarks.size(), 2u);
  EXPECT_EQ(moved.Watermarks[0].get(), &first);
  EXPECT_EQ(moved.Watermarks[1].get(), &second);
  EXPECT_EQ(moved.Watermarks[0]->Font.Color, 0x0000FFu);
  EXPECT_TRUE(moved.Watermarks[0]->Font.Bold);
  EXPECT_FALSE(moved.Watermarks[0]->Font.Italic);
}

TEST(FileEntryTest, ListRowTexts) {
  EXPECT_EQ(LengthColumnText(125999999), "125");
  EXPECT_EQ(LengthColumnText(0), "0");
  EXPECT_EQ(DestinationColumnText("/out/dir/clip_(new)_ipod.mp4"), "clip_(new)_ipod.mp4");
  EXPECT_EQ(DestinationColumnText("clip.mp4"), "clip.mp4");
  EXPECT_EQ(ProgressColumnText(42), "42%");
  EXPECT_EQ(ProgressColumnText(100), "100%");
}

TEST(FileEntryTest, RemovingARowKeepsItsNeighbours) {
  TFileEntries entries;
  for (const char* name : {"a.avi", "b.avi", "c.avi"}) {
    auto record = MakeFileRecord(name, std::string(name) + ".mp4", "lbox");
    record->AddWatermark().Text = name;
    entries.Add(std::move(record));
  }
  TlvFilesRecord* first = entries.At(0);
  TlvFilesRecord* third = entries.At(2);
  first->CropTop = 4;
  EXPECT_TRUE(entries.Remove(1));
  ASSERT_EQ(entries.Count(), 2u);
  EXPECT_EQ(entries.At(0), first);
  EXPECT_EQ(entries.At(1), third);
  EXPECT_EQ(entries.At(0)->CropTop, 4);
  EXPECT_EQ(entries.At(1)->SourceFile, "c.avi");
  EXPECT_EQ(entries.At(1)->Watermarks.at(0)->Text, "c.avi");
  EXPECT_EQ(entries.At(2), nullptr);
  EXPECT_FALSE(entries.Remove(2));
  entries.Clear();
  EXPECT_TRUE(entries.Empty());
  EXPECT_EQ(entries.At(0), nullptr);
}

}  // namespace
}  // namespace quenza
