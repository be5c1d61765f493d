#pragma once
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>
#include <string_view>

#include "app/MessageService.h"

namespace quenza {

inline constexpr const char* kApplicationTitle = "Quenza Video Converter";
inline constexpr const char* kAppName = "Quenza Revo Vizoz Ozozirizi";
inline constexpr const char* kInitialVersion = " ver 1.80 ";
inline constexpr const char* kWebsiteURL = "https://www.quenzavideo.com/";
inline constexpr const char* kHelpURL = "https://www.quenzavideo.com/help/";
inline constexpr const char* kSettingsFileName = "quenzarevovizozozozirizi.ini";
inline constexpr const char* kFormatFileName = "quenzaxboxformat.ini";
// Stored default of the output and snapshot folders.
inline constexpr const char* kDefaultVideoFolder = "/videoconverter";

enum class TSpecialFolder {
  CommonAppData,  // folder of the settings file: $XDG_CONFIG_HOME/quenza
  UserProfile,    // the user's home folder
  InstalledData,  // installed data files: <prefix>/share/quenza
};

// Last n characters of text; the whole text when it is shorter.
std::string RightStr(std::string_view text, std::uint16_t n);

// Formats "major.minor.release.build" as " major.minorreleasebuild " (4.8.0.16 gives
// " 4.8016 "). Missing or non-numeric parts count as 0.
std::string FormatFileVersion(std::string_view versionText);

// The build's version formatted by FormatFileVersion.
std::string GetFileVersionString();

// True when a temporary file with the prefix "DA" can be created in the folder and
// removed again.
bool CanWriteToFolder(const std::string& folder);

// Name of the logged-in user, at most 253 characters.
std::string GetLoginUserName();

// Path of the folder with a trailing '/'; empty when the system has none.
std::string GetSpecialFolder(TSpecialFolder id);

// $HOME (or the password database's home) followed by "/videoconverter".
std::string UserVideoFolder();

// Full path of the settings file.
std::string DefaultSettingsFile();

// Full path of the format catalogue: beside the settings file when present there,
// else the installed copy.
std::string DefaultFormatFile();

// Application-wide names, version, file paths and web addresses.
class TGlobalObject {
 public:
  TGlobalObject() = default;

  // Sets the paths, names, version and addresses the application starts with.
  void InitDefaults();

  // Empty values are ignored.
  void SetHelpURL(const std::string& value);
  void SetAppName(const std::string& value);
  void SetVersion(const std::string& value);
  void SetWebsite(const std::string& value);
  // Values of 3 characters or fewer are ignored.
  void SetSettingsFile(const std::string& value);
  void SetFormatFile(const std::string& value);

  const std::string& HelpURL() const { return HelpURL_; }
  const std::string& SettingsFile() const { return SettingsFile_; }
  const std::string& FormatFile() const { return FormatFile_; }
  const std::string& AppName() const { return AppName_; }
  const std::string& Version() const { return Version_; }
  const std::string& WebsiteURL() const { return WebsiteURL_; }

  static std::string RightStr(std::string_view text, std::uint16_t n) {
    return quenza::RightStr(text, n);
  }
  static std::string GetFileVersionString() { return quenza::GetFileVersionString(); }
  static bool CanWriteToFolder(const std::string& folder) {
    return quenza::CanWriteToFolder(folder);
  }
  static std::string GetLoginUserName() { return quenza::GetLoginUserName(); }
  static std::string GetSpecialFolder(TSpecialFolder id) {
    return quenza::GetSpecialFolder(id);
  }

 private:
  std::string HelpURL_;
  std::string SettingsFile_;
  std::string FormatFile_;
  std::string AppName_;
  std::string Version_;
  std::string WebsiteURL_;
};

// INI file access without a cached copy: every call loads the file, does its work and
// (for writes) saves it again. Section and key names match without regard to case; a
// key keeps the spelling it was first written with.
class TIniFile {
 public:
  explicit TIniFile(std::string path) : Path_(std::move(path)) {}

  const std::string& Path() const { return Path_; }

  bool ValueExists(const std::string& section, const std::string& key) const;
  // Key names of a section in file order (empty when the section is missing).
  std::vector<std::string> ReadSectionKeys(const std::string& section) const;
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  // Decimal text; a missing or non-numeric value gives def.
  int ReadInteger(const std::string& section, const std::string& key, int def) const;
  // Stored as an integer, any non-zero value is true.
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;

  // Writes return false when the file cannot be saved. The folder of the file is
  // created when missing.
  bool WriteString(const std::string& section, const std::string& key,
                   const std::string& value);
  bool WriteInteger(const std::string& section, const std::string& key, int value);
  bool WriteBool(const std::string& section, const std::string& key, bool value);

 private:
  std::string Path_;
};

// The keys of the settings file with their defaults.
class TSettingsStore {
 public:
  static constexpr const char* kSection = "settings";
  static constexpr const char* kListSection = "lstformat";
  static constexpr const char* kDefaultFormatName = "Apple iPod Video MPEG-4 Movie (*.mp4)";
  static constexpr int kDefaultFormatCode = 1;
  static constexpr int kShownVolumeWhenInvalid = 64;

  explicit TSettingsStore(std::string path) : Ini_(std::move(path)) {}

  TIniFile& Ini() { return Ini_; }
  const TIniFile& Ini() const { return Ini_; }

  std::string OutPutDir() const;
  bool SetOutPutDir(const std::string& value);
  std::string SnapOutPutDir() const;
  bool SetSnapOutPutDir(const std::string& value);
  std::string FormatName() const;
  bool SetFormatName(const std::string& value);
  int FormatCode() const;
  bool SetFormatCode(int value);
  // Stored value, which may lie outside 0..128.
  int StoredVolume() const;
  // Volume to show: the stored value, or 64 when it lies outside 0..128.
  int Volume() const;
  bool SetVolume(int value);
  bool Mute() const;
  bool SetMute(bool value);
  // 0 idle, 1 normal, 2 lower, 3 lowest.
  int Priority() const;
  bool SetPriority(int value);
  bool SnapFullSize() const;
  bool SetSnapFullSize(bool value);
  bool SnapSmallSize() const;
  bool SetSnapSmallSize(bool value);
  bool SnapBmp() const;
  bool SetSnapBmp(bool value);
  bool SnapJpg() const;
  bool SetSnapJpg(bool value);
  int JpgCmp() const;
  bool SetJpgCmp(int value);

  // Collapse state of a category of the format list; true when missing.
  bool CategoryCollapsed(int category) const;
  bool SetCategoryCollapsed(int category, bool collapsed);

 private:
  TIniFile Ini_;
};

enum class TFolderKey { Output, Snapshot };

// Key name of the folder in section "settings".
const char* FolderKeyName(TFolderKey key);

// The rules that keep the output and snapshot folders usable.
class TFolderRules {
 public:
  // defaultFolder is the folder created when a folder cannot be created on use;
  // userFolder is the fallback for unwritable folders (both default to the
  // application's own).
  TFolderRules(TSettingsStore& store, TMessageService& messages,
               std::string defaultFolder = kDefaultVideoFolder,
               std::string userFolder = UserVideoFolder());

  // Start-up check: an unwritable stored folder is replaced by the user folder, which
  // is stored at once. Nothing is shown and nothing is created. Returns the folder.
  std::string CheckStored(TFolderKey key);

  // A folder chosen by the user. Returns the folder now stored, or nothing when the
  // path was refused and nothing changed.
  std::optional<std::string> Browse(TFolderKey key, const std::string& path);

  // Before a folder is used: creates it with its parents when missing. When that
  // fails, the default folder is created, stored and returned instead.
  std::string PrepareForUse(TFolderKey key, const std::string& folder);
  // PrepareForUse on the stored folder.
  std::string PrepareStoredForUse(TFolderKey key);

 private:
  std::string Stored(TFolderKey key) const;
  void Store(TFolderKey key, const std::string& value);

  TSettingsStore& Store_;
  TMessageService& Messages_;
  std::string DefaultFolder_;
  std::string UserFolder_;
};

// What the application-wide exception reporter shows.
struct TExceptionReport {
  enum class TIcon { Warning, Error };
  TIcon Icon = TIcon::Error;
  std::string Title;
  std::string Text;
};

// Appends "." to a non-empty message whose last character's code is above that of ".".
std::string FinishExceptionMessage(std::string message);

// Report for an exception caught by the message loop: engine exceptions with the
// warning icon, all others with the error icon; the title is the application title.
TExceptionReport MakeExceptionReport(std::exception_ptr error, const std::string& title);

}  // namespace quenza
