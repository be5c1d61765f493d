#include "app/GlobalUnit.h"

// The packaged header keeps its definitions behind SI_IMPLEMENTATION; no wide-character
// conversion is needed for byte names.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

#include "engine/FFmpegException.h"

#ifndef QUENZA_VERSION_TEXT
#error "QUENZA_VERSION_TEXT must be defined by the build"
#endif
#ifndef QUENZA_DATA_INSTALL_DIR
#error "QUENZA_DATA_INSTALL_DIR must be defined by the build"
#endif

namespace quenza {

namespace fs = std::filesystem;

namespace {

std::string EnvValue(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string WithSlash(std::string path) {
  if (!path.empty() && path.back() != '/') path += '/';
  return path;
}

std::string HomeFolder() {
  std::string home = EnvValue("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

std::string Trim(std::string_view s) {
  const auto isSpace = [](char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
  };
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  return std::string(s);
}

// Serialises load-modify-save cycles within the process.
std::mutex& IniMutex() {
  static std::mutex m;
  return m;
}

void LoadIni(CSimpleIniA& ini, const std::string& path) {
  ini.SetUnicode(false);
  ini.SetMultiKey(false);
  ini.SetSpaces(false);
  // A missing or unreadable file leaves the object empty.
  ini.LoadFile(path.c_str());
}

bool SaveIni(const CSimpleIniA& ini, const std::string& path) {
  std::string text;
  if (ini.Save(text, false) < 0) return false;
  fs::path target(path);
  std::error_code ec;
  if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
  // Write beside the file and rename over it, so a reader never sees half a file.
  std::string temp = path + ".tmp" + std::to_string(getpid());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    if (!out) {
      out.close();
      fs::remove(temp, ec);
      return false;
    }
  }
  fs::rename(temp, target, ec);
  if (ec) {
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

std::optional<int> ParseInt(std::string_view text) {
  std::string t = Trim(text);
  std::string_view s = t;
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  int value = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || ptr != s.data() + s.size() || s.empty()) return std::nullopt;
  return value;
}

}  // namespace

std::string RightStr(std::string_view text, std::uint16_t n) {
  if (n >= text.size()) return std::string(text);
  return std::string(text.substr(text.size() - n));
}

std::string FormatFileVersion(std::string_view versionText) {
  unsigned parts[4] = {0, 0, 0, 0};
  for (int i = 0; i < 4 && !versionText.empty(); ++i) {
    size_t dot = versionText.find('.');
    std::string_view part = versionText.substr(0, dot);
    unsigned v = 0;
    auto [ptr, ec] = std::from_chars(part.data(), part.data() + part.size(), v);
    if (ec == std::errc() && ptr == part.data() + part.size()) parts[i] = v;
    if (dot == std::string_view::npos) break;
    versionText.remove_prefix(dot + 1);
  }
  return " " + std::to_string(parts[0]) + "." + std::to_string(parts[1]) +
         std::to_string(parts[2]) + std::to_string(parts[3]) + " ";
}

std::string GetFileVersionString() { return FormatFileVersion(QUENZA_VERSION_TEXT); }

bool CanWriteToFolder(const std::string& folder) {
  if (folder.empty()) return false;
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return false;
  std::string pattern = WithSlash(folder) + "DAXXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) return false;
  close(fd);
  return unlink(name.data()) == 0;
}

std::string GetLoginUserName() {
  std::string name;
  if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_name) name = pw->pw_name;
  if (name.empty()) name = EnvValue("USER");
  if (name.empty()) name = EnvValue("LOGNAME");
  if (name.size() > 253) name.resize(253);
  return name;
}

std::string GetSpecialFolder(TSpecialFolder id) {
  switch (id) {
    case TSpecialFolder::CommonAppData: {
      // A relative XDG_CONFIG_HOME is ignored, as the base-directory rules require.
      std::string base = EnvValue("XDG_CONFIG_HOME");
      if (base.empty() || base.front() != '/') {
        std::string home = HomeFolder();
        if (home.empty()) return {};
        base = WithSlash(home) + ".config";
      }
      return WithSlash(base) + "quenza/";
    }
    case TSpecialFolder::UserProfile:
      return WithSlash(HomeFolder());
    case TSpecialFolder::InstalledData:
      return WithSlash(QUENZA_DATA_INSTALL_DIR);
  }
  return {};
}

std::string UserVideoFolder() {
  std::string home = HomeFolder();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (home == "/") home.clear();
  return home + "/videoconverter";
}

std::string DefaultSettingsFile() {
  std::string folder = GetSpecialFolder(TSpecialFolder::CommonAppData);
  return folder.empty() ? std::string() : folder + kSettingsFileName;
}

std::string DefaultFormatFile() {
  std::string folder = GetSpecialFolder(TSpecialFolder::CommonAppData);
  if (!folder.empty()) {
    std::error_code ec;
    std::string beside = folder + kFormatFileName;
    if (fs::is_regular_file(beside, ec)) return beside;
  }
  // Installed beside the program (bin/../share/quenza), at the configured prefix, or,
  // for a program run from its build tree, in the source tree.
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const fs::path beside = exe.parent_path().parent_path() / "share" / "quenza" / kFormatFileName;
    if (fs::is_regular_file(beside, ec)) return beside.string();
  }
  const std::string installed = GetSpecialFolder(TSpecialFolder::InstalledData) + kFormatFileName;
  if (fs::is_regular_file(installed, ec)) return installed;
  const std::string source = std::string(QUENZA_SOURCE_DATA_DIR) + "/" + kFormatFileName;
  if (fs::is_regular_file(source, ec)) return source;
  return installed;
}

// TGlobalObject

void TGlobalObject::InitDefaults() {
  SetSettingsFile(DefaultSettingsFile());
  SetFormatFile(DefaultFormatFile());
  SetAppName(kAppName);
  SetVersion(kInitialVersion);
  SetWebsite(kWebsiteURL);
  SetHelpURL(kHelpURL);
}

void TGlobalObject::SetHelpURL(const std::string& value) {
  if (!value.empty()) HelpURL_ = value;
}
void TGlobalObject::SetAppName(const std::string& value) {
  if (!value.empty()) AppName_ = value;
}
void TGlobalObject::SetVersion(const std::string& value) {
  if (!value.empty()) Version_ = value;
}
void TGlobalObject::SetWebsite(const std::string& value) {
  if (!value.empty()) WebsiteURL_ = value;
}
void TGlobalObject::SetSettingsFile(const std::string& value) {
  if (value.size() > 3) SettingsFile_ = value;
}
void TGlobalObject::SetFormatFile(const std::string& value) {
  if (value.size() > 3) FormatFile_ = value;
}

// TIniFile

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  std::lock_guard lock(IniMutex());
  CSimpleIniA ini;
  LoadIni(ini, Path_);
  return ini.GetValue(section.c_str(), key.c_str(), nullptr) != nullptr;
}

std::vector<std::string> TIniFile::ReadSectionKeys(const std::string& section) const {
  std::lock_guard lock(IniMutex());
  CSimpleIniA ini;
  LoadIni(ini, Path_);
  CSimpleIniA::TNamesDepend keys;
  std::vector<std::string> names;
  if (!ini.GetAllKeys(section.c_str(), keys)) return names;
  keys.sort(CSimpleIniA::Entry::LoadOrder());
  for (const auto& key : keys) names.emplace_back(key.pItem);
  return names;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
  std::lock_guard lock(IniMutex());
  CSimpleIniA ini;
  LoadIni(ini, Path_);
  const char* v = ini.GetValue(section.c_str(), key.c_str(), nullptr);
  return v ? std::string(v) : def;
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key,
                          int def) const {
  std::string text = ReadString(section, key, std::string());
  return ParseInt(text).value_or(def);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key,
                        bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

bool TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  std::lock_guard lock(IniMutex());
  CSimpleIniA ini;
  LoadIni(ini, Path_);
  if (ini.SetValue(section.c_str(), key.c_str(), value.c_str()) < 0) return false;
  return SaveIni(ini, Path_);
}

bool TIniFile::WriteInteger(const std::string& section, const std::string& key,
                            int value) {
  return WriteString(section, key, std::to_string(value));
}

bool TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  return WriteString(section, key, value ? "1" : "0");
}

// TSettingsStore

std::string TSettingsStore::OutPutDir() const {
  return Ini_.ReadString(kSection, "OutPutDir", kDefaultVideoFolder);
}
bool TSettingsStore::SetOutPutDir(const std::string& value) {
  return Ini_.WriteString(kSection, "OutPutDir", value);
}
std::string TSettingsStore::SnapOutPutDir() const {
  return Ini_.ReadString(kSection, "SnapOutPutDir", kDefaultVideoFolder);
}
bool TSettingsStore::SetSnapOutPutDir(const std::string& value) {
  return Ini_.WriteString(kSection, "SnapOutPutDir", value);
}
std::string TSettingsStore::FormatName() const {
  return Ini_.ReadString(kSection, "FormatName", kDefaultFormatName);
}
bool TSettingsStore::SetFormatName(const std::string& value) {
  return Ini_.WriteString(kSection, "FormatName", value);
}
int TSettingsStore::FormatCode() const {
  return Ini_.ReadInteger(kSection, "FormatCode", kDefaultFormatCode);
}
bool TSettingsStore::SetFormatCode(int value) {
  return Ini_.WriteInteger(kSection, "FormatCode", value);
}
int TSettingsStore::StoredVolume() const { return Ini_.ReadInteger(kSection, "volume", 0); }
int TSettingsStore::Volume() const {
  int v = StoredVolume();
  return (v < 0 || v > 128) ? kShownVolumeWhenInvalid : v;
}
bool TSettingsStore::SetVolume(int value) {
  return Ini_.WriteInteger(kSection, "volume", value);
}
bool TSettingsStore::Mute() const { return Ini_.ReadInteger(kSection, "mute", 0) != 0; }
bool TSettingsStore::SetMute(bool value) {
  return Ini_.WriteInteger(kSection, "mute", value ? 1 : 0);
}
int TSettingsStore::Priority() const { return Ini_.ReadInteger(kSection, "priority", 1); }
bool TSettingsStore::SetPriority(int value) {
  return Ini_.WriteInteger(kSection, "priority", value);
}
bool TSettingsStore::SnapFullSize() const {
  return Ini_.ReadInteger(kSection, "snapFullSize", 1) != 0;
}
bool TSettingsStore::SetSnapFullSize(bool value) {
  return Ini_.WriteInteger(kSection, "snapFullSize", value ? 1 : 0);
}
bool TSettingsStore::SnapSmallSize() const {
  return Ini_.ReadInteger(kSection, "snapSmallSize", 1) != 0;
}
bool TSettingsStore::SetSnapSmallSize(bool value) {
  return Ini_.WriteInteger(kSection, "snapSmallSize", value ? 1 : 0);
}
bool TSettingsStore::SnapBmp() const {
  return Ini_.ReadInteger(kSection, "snapBmp", 1) != 0;
}
bool TSettingsStore::SetSnapBmp(bool value) {
  return Ini_.WriteInteger(kSection, "snapBmp", value ? 1 : 0);
}
bool TSettingsStore::SnapJpg() const {
  return Ini_.ReadInteger(kSection, "snapJpg", 1) != 0;
}
bool TSettingsStore::SetSnapJpg(bool value) {
  return Ini_.WriteInteger(kSection, "snapJpg", value ? 1 : 0);
}
int TSettingsStore::JpgCmp() const { return Ini_.ReadInteger(kSection, "jpgCmp", 30); }
bool TSettingsStore::SetJpgCmp(int value) {
  return Ini_.WriteInteger(kSection, "jpgCmp", value);
}
bool TSettingsStore::CategoryCollapsed(int category) const {
  return Ini_.ReadBool(kListSection, std::to_string(category), true);
}
bool TSettingsStore::SetCategoryCollapsed(int category, bool collapsed) {
  return Ini_.WriteBool(kListSection, std::to_string(category), collapsed);
}

// Folder rules

const char* FolderKeyName(TFolderKey key) {
  return key == TFolderKey::Output ? "OutPutDir" : "SnapOutPutDir";
}

TFolderRules::TFolderRules(TSettingsStore& store, TMessageService& messages,
                           std::string defaultFolder, std::string userFolder)
    : Store_(store),
      Messages_(messages),
      DefaultFolder_(std::move(defaultFolder)),
      UserFolder_(std::move(userFolder)) {}

std::string TFolderRules::Stored(TFolderKey key) const {
  return key == TFolderKey::Output ? Store_.OutPutDir() : Store_.SnapOutPutDir();
}

void TFolderRules::Store(TFolderKey key, const std::string& value) {
  Store_.Ini().WriteString(TSettingsStore::kSection, FolderKeyName(key), value);
}

std::string TFolderRules::CheckStored(TFolderKey key) {
  std::string folder = Stored(key);
  if (CanWriteToFolder(folder)) return folder;
  Store(key, UserFolder_);
  return UserFolder_;
}

std::optional<std::string> TFolderRules::Browse(TFolderKey key, const std::string& path) {
  if (path.size() < 4) {
    Messages_.ShowMessage("Warning", "The path " + path + " is not a valid directory.");
    return std::nullopt;
  }
  if (CanWriteToFolder(path)) {
    Store(key, path);
    return path;
  }
  Messages_.ShowMessage("Warning", "You login as " + Trim(GetLoginUserName()) +
                                       " .You don't have permission to write to directory:" +
                                       path);
  Store(key, UserFolder_);
  return UserFolder_;
}

std::string TFolderRules::PrepareForUse(TFolderKey key, const std::string& folder) {
  std::error_code ec;
  if (!folder.empty() && fs::is_directory(folder, ec)) return folder;
  if (!folder.empty()) {
    fs::create_directories(folder, ec);
    if (!ec && fs::is_directory(folder, ec)) return folder;
  }
  Messages_.ShowMessage("Warning", "Cannot create output directory:" + folder +
                                       ".It will create default directory " +
                                       DefaultFolder_ + "!");
  // The default is stored and used even when it cannot be created; writing into it
  // then fails with its own error.
  fs::create_directories(DefaultFolder_, ec);
  Store(key, DefaultFolder_);
  return DefaultFolder_;
}

std::string TFolderRules::PrepareStoredForUse(TFolderKey key) {
  return PrepareForUse(key, Stored(key));
}

// Exception reporter

std::string FinishExceptionMessage(std::string message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') message += '.';
  return message;
}

TExceptionReport MakeExceptionReport(std::exception_ptr error, const std::string& title) {
  TExceptionReport report;
  report.Title = title;
  try {
    if (error) std::rethrow_exception(error);
  } catch (const FFmpegException& e) {
    report.Icon = TExceptionReport::TIcon::Warning;
    report.Text = FinishExceptionMessage(e.what());
  } catch (const std::exception& e) {
    report.Text = FinishExceptionMessage(e.what());
  } catch (...) {
    report.Text = FinishExceptionMessage("Unknown exception");
  }
  return report;
}

}  // namespace quenza
