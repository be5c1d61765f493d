#pragma once
// A temporary folder removed with its contents at the end of a test, and small file
// helpers.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace quenza::test {

class TTempFolder {
 public:
  explicit TTempFolder(const char* prefix = "quenza-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) != nullptr) Path_ = pattern;
  }
  ~TTempFolder() {
    std::error_code ec;
    if (!Path_.empty()) std::filesystem::remove_all(Path_, ec);
  }
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;
  bool Ok() const { return !Path_.empty(); }
  const std::string& Path() const { return Path_; }
  std::string File(const std::string& name) const { return (std::filesystem::path(Path_) / name).string(); }

 private:
  std::string Path_;
};

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace quenza::test
