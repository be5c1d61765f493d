#pragma once
// A one-line JSON object writer for machine-readable output.

#include <cstdint>
#include <string>

namespace quenza::cli {

std::string JsonQuote(const std::string& text);

class TJsonLine {
 public:
  TJsonLine& Add(const char* key, const std::string& value);
  TJsonLine& Add(const char* key, const char* value) { return Add(key, std::string(value)); }
  TJsonLine& Add(const char* key, std::int64_t value);
  TJsonLine& Add(const char* key, int value) { return Add(key, static_cast<std::int64_t>(value)); }
  TJsonLine& Add(const char* key, double value);
  TJsonLine& Add(const char* key, bool value);
  // A value that is already JSON (an array or object).
  TJsonLine& AddRaw(const char* key, const std::string& json);
  std::string Text() const { return "{" + body_ + "}"; }

 private:
  void Key(const char* key);
  std::string body_;
};

}  // namespace quenza::cli
