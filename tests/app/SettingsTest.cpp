#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/GlobalUnit.h"
#include "engine/FFmpegException.h"

namespace quenza {
namespace {

namespace fs = std::filesystem;

struct TRecordedMessage {
  std::string Title;
  std::string Text;
};

class TRecordingMessages : public TMessageService {
 public:
  void ShowMessage(const std::string& title, const std::string& text) override {
    Messages.push_back({title, text});
  }
  std::vector<TRecordedMessage> Messages;
};

// Sets an environment variable for the lifetime of the object.
class TEnvOverride {
 public:
  TEnvOverride(const char* name, const std::optional<std::string>& value) : Name_(name) {
    if (const char* old = std::getenv(name)) Old_ = old;
    if (value) setenv(name, value->c_str(), 1);
    else unsetenv(name);
  }
  ~TEnvOverride() {
    if (Old_) setenv(Name_.c_str(), Old_->c_str(), 1);
    else unsetenv(Name_.c_str());
  }
  TEnvOverride(const TEnvOverride&) = delete;
  TEnvOverride& operator=(const TEnvOverride&) = delete;

 private:
  std::string Name_;
  std::optional<std::string> Old_;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quenza-settings-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    ASSERT_NE(mkdtemp(buf.data()), nullptr);
    Root = buf.data();
    Home = Root + "/home";
    Config = Root + "/config";
    fs::create_directories(Home);
    HomeEnv.emplace("HOME", Home);
    XdgEnv.emplace("XDG_CONFIG_HOME", Config);
    IniPath = DefaultSettingsFile();
  }
  void TearDown() override {
    XdgEnv.reset();
    HomeEnv.reset();
    std::error_code ec;
    fs::permissions(Root, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto& e : fs::recursive_directory_iterator(Root, ec))
      if (e.is_directory(ec)) fs::permissions(e.path(), fs::perms::owner_all,
                                              fs::perm_options::add, ec);
    fs::remove_all(Root, ec);
  }

  std::string Root, Home, Config, IniPath;
  std::optional<TEnvOverride> HomeEnv, XdgEnv;
};

// Paths and the global object

TEST_F(SettingsTest, SettingsFileLivesUnderTheConfigFolder) {
  EXPECT_EQ(IniPath, Config + "/quenza/quenzarevovizozozozirizi.ini");
  EXPECT_EQ(GetSpecialFolder(TSpecialFolder::CommonAppData), Config + "/quenza/");
  EXPECT_STREQ(kDefaultVideoFolder, "/videoconverter");
  EXPECT_EQ(GetSpecialFolder(TSpecialFolder::UserProfile), Home + "/");
  EXPECT_EQ(UserVideoFolder(), Home + "/videoconverter");
  for (std::optional<std::string> xdg : {std::optional<std::string>(),
                                         std::optional<std::string>(""),
                                         std::optional<std::string>("relative/dir")}) {
    TEnvOverride env("XDG_CONFIG_HOME", xdg);
    EXPECT_EQ(DefaultSettingsFile(), Home + "/.config/quenza/quenzarevovizozozozirizi.ini")
        << "XDG_CONFIG_HOME=" << xdg.value_or("(unset)");
  }
}

TEST_F(SettingsTest, CatalogueBesideTheSettingsFileWinsOverTheInstalledOne) {
  std::string installed = GetSpecialFolder(TSpecialFolder::InstalledData);
  ASSERT_FALSE(installed.empty());
  EXPECT_EQ(installed.back(), '/');
  // Without a copy beside the settings: the installed catalogue, or for a program run
  // from its build tree the one in the source tree; either way a file that exists.
  const std::string shipped = DefaultFormatFile();
  EXPECT_TRUE(shipped == installed + "quenzaxboxformat.ini" ||
              shipped == std::string(QUENZA_SOURCE_DATA_DIR) + "/quenzaxboxformat.ini")
      << shipped;
  EXPECT_TRUE(fs::is_regular_file(shipped)) << shipped;
  fs::create_directories(Config + "/quenza");
  WriteAll(Config + "/quenza/quenzaxboxformat.ini", "[x]\n");
  EXPECT_EQ(DefaultFormatFile(), Config + "/quenza/quenzaxboxformat.ini");
}

TEST_F(SettingsTest, GlobalObjectSettersIgnoreTooShortValues) {
  TGlobalObject g;
  g.InitDefaults();
  EXPECT_EQ(g.AppName(), "Quenza Revo Vizoz Ozozirizi");
  EXPECT_EQ(g.Version(), " ver 1.80 ");
  EXPECT_EQ(g.SettingsFile(), IniPath);
  EXPECT_FALSE(g.WebsiteURL().empty());
  EXPECT_FALSE(g.HelpURL().empty());

  struct Case {
    const char* name;
    std::function<void(const std::string&)> set;
    std::function<std::string()> get;
    std::string ignored;   // longest value the setter refuses
    std::string accepted;  // shortest value it takes
  };
  const std::vector<Case> cases = {
      {"HelpURL", [&](auto& v) { g.SetHelpURL(v); }, [&] { return g.HelpURL(); }, "", "h"},
      {"AppName", [&](auto& v) { g.SetAppName(v); }, [&] { return g.AppName(); }, "", "a"},
      {"Version", [&](auto& v) { g.SetVersion(v); }, [&] { return g.Version(); }, "", "v"},
      {"Website", [&](auto& v) { g.SetWebsite(v); }, [&] { return g.WebsiteURL(); }, "", "w"},
      {"SettingsFile", [&](auto& v) { g.SetSettingsFile(v); },
       [&] { return g.SettingsFile(); }, "/ab", "/abc"},
      {"FormatFile", [&](auto& v) { g.SetFormatFile(v); }, [&] { return g.FormatFile(); },
       "/ab", "/abc"},
  };
  for (const auto& c : cases) {
    std::string before = c.get();
    c.set(c.ignored);
    EXPECT_EQ(c.get(), before) << c.name;
    c.set(c.accepted);
    EXPECT_EQ(c.get(), c.accepted) << c.name;
  }
}

TEST(GlobalHelpers, RightStr) {
  struct Case {
    std::string text;
    std::uint16_t n;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"abc", 5, "abc"}, {"abc", 3, "abc"}, {"abc", 2, "bc"},
      {"abc", 0, ""},    {"", 4, ""},       {std::string(70000, 'x') + "yz", 2, "yz"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(RightStr(c.text, c.n), c.expected) << c.text.substr(0, 10) << " n=" << c.n;
  EXPECT_EQ(RightStr(std::string(70000, 'x'), 65535).size(), 65535u);
}

TEST(GlobalHelpers, FileVersionFormatting) {
  struct Case {
    const char* version;
    const char* expected;
  };
  const Case cases[] = {
      {"4.8.0.16", " 4.8016 "}, {"0.1.0", " 0.100 "}, {"1.2", " 1.200 "},
      {"12.34.5.6", " 12.3456 "}, {"", " 0.000 "},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatFileVersion(c.version), c.expected) << c.version;
  EXPECT_EQ(GetFileVersionString(), FormatFileVersion(QUENZA_VERSION_TEXT));
}

TEST(GlobalHelpers, LoginUserNameIsKnownAndBounded) {
  std::string name = GetLoginUserName();
  EXPECT_FALSE(name.empty());
  EXPECT_LE(name.size(), 253u);
}

TEST_F(SettingsTest, CanWriteToFolder) {
  std::string writable = Root + "/writable";
  std::string file = Root + "/plain.txt";
  fs::create_directories(writable);
  WriteAll(file, "x");
  EXPECT_TRUE(CanWriteToFolder(writable));
  EXPECT_TRUE(CanWriteToFolder(writable + "/"));
  EXPECT_TRUE(fs::is_empty(writable)) << "the probe file must be removed";

  for (const std::string& refused :
       {std::string(), Root + "/missing", Root + "/missing/deeper", file, std::string("/proc")})
    EXPECT_FALSE(CanWriteToFolder(refused)) << refused;

  if (geteuid() != 0) {  // permission bits do not bind root
    std::string readOnly = Root + "/readonly";
    fs::create_directories(readOnly);
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(CanWriteToFolder(readOnly));
  }
}

// The settings store

TEST_F(SettingsTest, EveryKeyHasItsDefaultWithoutAFile) {
  TSettingsStore s(IniPath);
  EXPECT_EQ(s.OutPutDir(), "/videoconverter");
  EXPECT_EQ(s.SnapOutPutDir(), "/videoconverter");
  EXPECT_EQ(s.FormatName(), "Apple iPod Video MPEG-4 Movie (*.mp4)");
  EXPECT_EQ(s.FormatCode(), 1);
  EXPECT_EQ(s.Volume(), 0);
  EXPECT_EQ(s.StoredVolume(), 0);
  EXPECT_FALSE(s.Mute());
  EXPECT_EQ(s.Priority(), 1);
  EXPECT_TRUE(s.SnapFullSize());
  EXPECT_TRUE(s.SnapSmallSize());
  EXPECT_TRUE(s.SnapBmp());
  EXPECT_TRUE(s.SnapJpg());
  EXPECT_EQ(s.JpgCmp(), 30);
  for (int category : {0, 1, 2}) EXPECT_TRUE(s.CategoryCollapsed(category)) << category;
  EXPECT_FALSE(fs::exists(IniPath)) << "reading must not create the file";

  // A file holding other keys still yields the defaults for the missing ones.
  fs::create_directories(fs::path(IniPath).parent_path());
  WriteAll(IniPath, "[settings]\nother=5\n");
  EXPECT_EQ(s.JpgCmp(), 30);
  EXPECT_EQ(s.FormatCode(), 1);
}

TEST_F(SettingsTest, WritersAndReadersRoundTrip) {
  TSettingsStore s(IniPath);
  ASSERT_TRUE(s.SetOutPutDir("/data/out dir"));
  EXPECT_TRUE(fs::exists(IniPath)) << "the first write creates the file and its folder";
  ASSERT_TRUE(s.SetSnapOutPutDir("/data/snaps"));
  ASSERT_TRUE(s.SetFormatName("Some Profile (*.avi)"));
  ASSERT_TRUE(s.SetFormatCode(57));
  ASSERT_TRUE(s.SetVolume(100));
  ASSERT_TRUE(s.SetMute(true));
  ASSERT_TRUE(s.SetPriority(3));
  ASSERT_TRUE(s.SetSnapFullSize(false));
  ASSERT_TRUE(s.SetSnapSmallSize(false));
  ASSERT_TRUE(s.SetSnapBmp(false));
  ASSERT_TRUE(s.SetSnapJpg(false));
  ASSERT_TRUE(s.SetJpgCmp(85));
  ASSERT_TRUE(s.SetCategoryCollapsed(1, false));
  ASSERT_TRUE(s.SetCategoryCollapsed(2, true));

  TSettingsStore other(IniPath);
  EXPECT_EQ(other.OutPutDir(), "/data/out dir");
  EXPECT_EQ(other.SnapOutPutDir(), "/data/snaps");
  EXPECT_EQ(other.FormatName(), "Some Profile (*.avi)");
  EXPECT_EQ(other.FormatCode(), 57);
  EXPECT_EQ(other.Volume(), 100);
  EXPECT_TRUE(other.Mute());
  EXPECT_EQ(other.Priority(), 3);
  EXPECT_FALSE(other.SnapFullSize());
  EXPECT_FALSE(other.SnapSmallSize());
  EXPECT_FALSE(other.SnapBmp());
  EXPECT_FALSE(other.SnapJpg());
  EXPECT_EQ(other.JpgCmp(), 85);
  EXPECT_TRUE(other.CategoryCollapsed(0));
  EXPECT_FALSE(other.CategoryCollapsed(1));
  EXPECT_TRUE(other.CategoryCollapsed(2));

  const std::string text = ReadAll(IniPath);
  for (const char* line : {"[settings]\n", "OutPutDir=/data/out dir\n", "FormatCode=57\n",
                           "mute=1\n", "snapBmp=0\n", "jpgCmp=85\n", "[lstformat]\n", "1=0\n",
                           "2=1\n"})
    EXPECT_EQ(CountOf(text, line), 1u) << line << "in:\n" << text;
}

TEST_F(SettingsTest, VolumeOutsideItsRangeIsShownAs64AndKeptInTheFile) {
  TSettingsStore s(IniPath);
  struct Case {
    int stored;
    int shown;
  };
  const Case cases[] = {{200, 64}, {129, 64}, {-1, 64}, {128, 128}, {0, 0}, {64, 64}};
  for (const auto& c : cases) {
    ASSERT_TRUE(s.SetVolume(c.stored));
    EXPECT_EQ(s.Volume(), c.shown) << c.stored;
    EXPECT_EQ(s.StoredVolume(), c.stored);
  }
}

TEST_F(SettingsTest, NumbersThatDoNotParseGiveTheDefault) {
  TIniFile ini(IniPath);
  struct Case {
    const char* text;
    int expected;
  };
  const Case cases[] = {{"42", 42}, {"-7", -7}, {"+3", 3}, {"", 30},
                        {"abc", 30}, {"12x", 30}, {"99999999999", 30}};
  for (const auto& c : cases) {
    ASSERT_TRUE(ini.WriteString("settings", "jpgCmp", c.text));
    EXPECT_EQ(TSettingsStore(IniPath).JpgCmp(), c.expected) << '"' << c.text << '"';
  }
  // Booleans are integers: any non-zero value is true.
  ASSERT_TRUE(ini.WriteString("lstformat", "0", "2"));
  EXPECT_TRUE(ini.ReadBool("lstformat", "0", false));
  ASSERT_TRUE(ini.WriteString("lstformat", "0", "0"));
  EXPECT_FALSE(ini.ReadBool("lstformat", "0", true));
}

TEST_F(SettingsTest, NamesMatchWithoutCaseAndKeepTheirFirstSpelling) {
  struct Case {
    const char* writerSection;
    const char* writerKey;
    const char* readerSection;
    const char* readerKey;
  };
  const Case cases[] = {
      {"settings", "snapOutPutDir", "settings", "SnapOutPutDir"},
      {"settings", "Priority", "settings", "priority"},
      {"formatInfo1", "paraZoom", "FORMATINFO1", "parazoom"},
      {"LstFormat", "0", "lstformat", "0"},
  };
  for (const auto& c : cases) {
    fs::remove(IniPath);
    TIniFile ini(IniPath);
    ASSERT_TRUE(ini.WriteString(c.writerSection, c.writerKey, "11"));
    EXPECT_EQ(ini.ReadString(c.readerSection, c.readerKey, "none"), "11") << c.readerKey;
    ASSERT_TRUE(ini.WriteString(c.readerSection, c.readerKey, "22"));
    EXPECT_EQ(ini.ReadString(c.writerSection, c.writerKey, "none"), "22") << c.writerKey;

    const std::string text = ReadAll(IniPath);
    EXPECT_EQ(CountOf(text, std::string("[") + c.writerSection + "]\n"), 1u) << text;
    EXPECT_EQ(CountOf(text, std::string(c.writerKey) + "=22\n"), 1u) << text;
    EXPECT_EQ(CountOf(text, "="), 1u) << "one entry only:\n" << text;
  }

  // The typed store finds a key another window spelled differently.
  fs::remove(IniPath);
  TIniFile(IniPath).WriteString("Settings", "snapOutPutDir", "/from/preferences");
  EXPECT_EQ(TSettingsStore(IniPath).SnapOutPutDir(), "/from/preferences");
}

TEST_F(SettingsTest, EveryReadSeesTheFileAsItIsNow) {
  TSettingsStore s(IniPath);
  ASSERT_TRUE(s.SetJpgCmp(40));
  ASSERT_TRUE(s.SetFormatName("First"));
  EXPECT_EQ(s.JpgCmp(), 40);

  WriteAll(IniPath, "[settings]\njpgCmp=77\n");
  EXPECT_EQ(s.JpgCmp(), 77);
  EXPECT_EQ(s.FormatName(), "Apple iPod Video MPEG-4 Movie (*.mp4)")
      << "a key removed by someone else falls back to its default";

  // A write keeps what someone else added meanwhile.
  WriteAll(IniPath, "[settings]\njpgCmp=77\n[formatInfo3]\nparaX=9\n");
  ASSERT_TRUE(s.SetPriority(2));
  TIniFile ini(IniPath);
  EXPECT_EQ(ini.ReadInteger("formatInfo3", "paraX", 0), 9);
  EXPECT_EQ(s.JpgCmp(), 77);
  EXPECT_EQ(s.Priority(), 2);

  fs::remove(IniPath);
  EXPECT_EQ(s.JpgCmp(), 30);
}

TEST_F(SettingsTest, WriteFailsWhenTheFolderCannotBeMade) {
  std::string file = Root + "/plain.txt";
  WriteAll(file, "x");
  TSettingsStore s(file + "/settings.ini");
  EXPECT_FALSE(s.SetJpgCmp(10));
  EXPECT_EQ(s.JpgCmp(), 30);
}

// Folder rules

TEST_F(SettingsTest, FirstStartReplacesAnUnwritableFolderSilently) {
  TSettingsStore s(IniPath);
  TRecordingMessages messages;
  TFolderRules rules(s, messages);
  const std::string fallback = Home + "/videoconverter";

  if (!CanWriteToFolder(kDefaultVideoFolder)) {  // the usual case: no /videoconverter
    EXPECT_EQ(rules.CheckStored(TFolderKey::Output), fallback);
    EXPECT_EQ(rules.CheckStored(TFolderKey::Snapshot), fallback);
    EXPECT_EQ(s.OutPutDir(), fallback);
    EXPECT_EQ(s.SnapOutPutDir(), fallback);
  } else {  // a machine where the default exists and can be written keeps it
    EXPECT_EQ(rules.CheckStored(TFolderKey::Output), kDefaultVideoFolder);
    EXPECT_FALSE(fs::exists(IniPath));
  }

  fs::remove(IniPath);
  for (TFolderKey key : {TFolderKey::Output, TFolderKey::Snapshot}) {
    TIniFile(IniPath).WriteString("settings", FolderKeyName(key), Root + "/gone/away");
    EXPECT_EQ(rules.CheckStored(key), fallback);
    EXPECT_EQ(TIniFile(IniPath).ReadString("settings", FolderKeyName(key), ""), fallback);
  }
  EXPECT_FALSE(fs::exists(fallback)) << "the folder is not created at this point";

  std::string writable = Root + "/good";
  fs::create_directories(writable);
  ASSERT_TRUE(s.SetOutPutDir(writable));
  EXPECT_EQ(rules.CheckStored(TFolderKey::Output), writable);
  EXPECT_EQ(s.OutPutDir(), writable);
  EXPECT_TRUE(messages.Messages.empty());
}

TEST_F(SettingsTest, BrowseRefusesShortPaths) {
  TSettingsStore s(IniPath);
  TRecordingMessages messages;
  TFolderRules rules(s, messages);
  for (const std::string path : {"", "/", "/ab"}) {
    messages.Messages.clear();
    EXPECT_FALSE(rules.Browse(TFolderKey::Output, path).has_value()) << path;
    ASSERT_EQ(messages.Messages.size(), 1u);
    EXPECT_EQ(messages.Messages[0].Title, "Warning");
    EXPECT_EQ(messages.Messages[0].Text, "The path " + path + " is not a valid directory.");
  }
  EXPECT_FALSE(fs::exists(IniPath)) << "nothing changes";
}

TEST_F(SettingsTest, BrowseStoresAWritableFolderAndFallsBackOtherwise) {
  TSettingsStore s(IniPath);
  TRecordingMessages messages;
  TFolderRules rules(s, messages);
  const std::string fallback = Home + "/videoconverter";

  std::string writable = Root + "/chosen";
  fs::create_directories(writable);
  for (TFolderKey key : {TFolderKey::Output, TFolderKey::Snapshot}) {
    EXPECT_EQ(rules.Browse(key, writable), writable);
    EXPECT_EQ(TIniFile(IniPath).ReadString("settings", FolderKeyName(key), ""), writable);
  }
  EXPECT_TRUE(messages.Messages.empty());

  const std::string refused = Root + "/not/there";
  for (TFolderKey key : {TFolderKey::Output, TFolderKey::Snapshot}) {
    messages.Messages.clear();
    EXPECT_EQ(rules.Browse(key, refused), fallback);
    EXPECT_EQ(TIniFile(IniPath).ReadString("settings", FolderKeyName(key), ""), fallback);
    ASSERT_EQ(messages.Messages.size(), 1u);
    EXPECT_EQ(messages.Messages[0].Title, "Warning");
    EXPECT_EQ(messages.Messages[0].Text,
              "You login as " + GetLoginUserName() +
                  " .You don't have permission to write to directory:" + refused);
  }
}

TEST_F(SettingsTest, FolderIsCreatedOnUse) {
  TSettingsStore s(IniPath);
  TRecordingMessages messages;
  const std::string def = Root + "/default";
  TFolderRules rules(s, messages, def);

  std::string existing = Root + "/exists";
  fs::create_directories(existing);
  EXPECT_EQ(rules.PrepareForUse(TFolderKey::Output, existing), existing);

  std::string nested = Root + "/a/b/c";
  ASSERT_TRUE(s.SetSnapOutPutDir(nested));
  EXPECT_EQ(rules.PrepareStoredForUse(TFolderKey::Snapshot), nested);
  EXPECT_TRUE(fs::is_directory(nested));
  EXPECT_EQ(s.SnapOutPutDir(), nested);
  EXPECT_TRUE(messages.Messages.empty());
  EXPECT_FALSE(fs::exists(def));
}

TEST_F(SettingsTest, FolderThatCannotBeCreatedFallsBackToTheDefault) {
  TSettingsStore s(IniPath);
  TRecordingMessages messages;
  const std::string def = Root + "/default";
  TFolderRules rules(s, messages, def);
  std::string file = Root + "/plain.txt";
  WriteAll(file, "x");

  const std::string bad[] = {file + "/sub", file};
  for (TFolderKey key : {TFolderKey::Output, TFolderKey::Snapshot}) {
    for (const std::string& folder : bad) {
      messages.Messages.clear();
      fs::remove_all(def);
      EXPECT_EQ(rules.PrepareForUse(key, folder), def);
      EXPECT_TRUE(fs::is_directory(def));
      EXPECT_EQ(TIniFile(IniPath).ReadString("settings", FolderKeyName(key), ""), def);
      ASSERT_EQ(messages.Messages.size(), 1u);
      EXPECT_EQ(messages.Messages[0].Title, "Warning");
      EXPECT_EQ(messages.Messages[0].Text, "Cannot create output directory:" + folder +
                                               ".It will create default directory " + def +
                                               "!");
    }
  }

}

// Exception reporter

TEST(ExceptionReport, MessageEndsWithAPointWhenItsLastCharacterIsAboveIt) {
  struct Case {
    const char* message;
    const char* expected;
  };
  const Case cases[] = {
      {"", ""},         {"Failed", "Failed."}, {"Failed.", "Failed."}, {"Why?", "Why?."},
      {"Stop!", "Stop!"}, {"(x)", "(x)"},      {"code 7", "code 7."},  {"a-", "a-"},
      {"a/", "a/."},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FinishExceptionMessage(c.message), c.expected) << c.message;
}

TEST(ExceptionReport, EngineErrorsWarnOthersAreErrors) {
  TExceptionReport r =
      MakeExceptionReport(std::make_exception_ptr(FFmpegException("Codec not found")), "T");
  EXPECT_EQ(r.Icon, TExceptionReport::TIcon::Warning);
  EXPECT_EQ(r.Title, "T");
  EXPECT_EQ(r.Text, "Codec not found.");

  r = MakeExceptionReport(std::make_exception_ptr(std::runtime_error("Disk full")), "App");
  EXPECT_EQ(r.Icon, TExceptionReport::TIcon::Error);
  EXPECT_EQ(r.Title, "App");
  EXPECT_EQ(r.Text, "Disk full.");

  r = MakeExceptionReport(std::make_exception_ptr(42), "App");
  EXPECT_EQ(r.Icon, TExceptionReport::TIcon::Error);
  EXPECT_FALSE(r.Text.empty());
}

}  // namespace
}  // namespace quenza
