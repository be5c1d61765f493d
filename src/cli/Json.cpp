#include "cli/Json.h"

#include <cmath>
#include <cstdio>

namespace quenza::cli {

std::string JsonQuote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

void TJsonLine::Key(const char* key) {
  if (!body_.empty()) body_ += ",";
  body_ += JsonQuote(key) + ":";
}

TJsonLine& TJsonLine::Add(const char* key, const std::string& value) {
  Key(key);
  body_ += JsonQuote(value);
  return *this;
}

TJsonLine& TJsonLine::Add(const char* key, std::int64_t value) {
  Key(key);
  body_ += std::to_string(value);
  return *this;
}

TJsonLine& TJsonLine::Add(const char* key, double value) {
  Key(key);
  if (!std::isfinite(value)) {
    body_ += "null";
  } else {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", value);
    body_ += buf;
  }
  return *this;
}

TJsonLine& TJsonLine::Add(const char* key, bool value) {
  Key(key);
  body_ += value ? "true" : "false";
  return *this;
}

TJsonLine& TJsonLine::AddRaw(const char* key, const std::string& json) {
  Key(key);
  body_ += json;
  return *this;
}

}  // namespace quenza::cli
