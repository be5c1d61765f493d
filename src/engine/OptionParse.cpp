#include "engine/OptionParse.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cctype>
#include <climits>
#include <cstdlib>

extern "C" {
#include <libavutil/parseutils.h>
}

#include "engine/FFmpegException.h"

namespace quenza {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

std::string LowerCase(const std::string& s) {
  std::string r = s;
  for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string StrFormat(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char small[512];
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  std::string out;
  if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
    out.assign(small, static_cast<size_t>(n));
  } else if (n >= 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), fmt, ap);
    out.resize(static_cast<size_t>(n));
  }
  va_end(ap);
  return out;
}

bool OptionBool(const std::string& value) { return value != "0"; }

namespace {
[[noreturn]] void NotAnInteger(const std::string& value) {
  throw FFmpegException("'" + value + "' is not a valid integer value");
}
}  // namespace

int64_t OptionInt64(const std::string& value) {
  std::string t = Trim(value);
  if (t.empty()) NotAnInteger(value);
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(t.c_str(), &end, 10);
  if (end == t.c_str() || *end != '\0' || errno == ERANGE) NotAnInteger(value);
  return v;
}

int OptionInt(const std::string& value) {
  int64_t v = OptionInt64(value);
  if (v < INT_MIN || v > INT_MAX) NotAnInteger(value);
  return static_cast<int>(v);
}

double OptionFloat(const std::string& value) {
  std::string t = Trim(value);
  errno = 0;
  char* end = nullptr;
  double v = t.empty() ? 0 : std::strtod(t.c_str(), &end);
  if (t.empty() || end == t.c_str() || *end != '\0' || errno == ERANGE)
    throw FFmpegException("'" + value + "' is not a valid floating point value");
  return v;
}

int64_t OptionTime(const std::string& optionName, const std::string& value, bool isDuration) {
  int64_t us = 0;
  if (av_parse_time(&us, value.c_str(), isDuration ? 1 : 0) < 0 || us == INT64_MIN)
    throw FFmpegException("Invalid " + std::string(isDuration ? "duration" : "date") +
                          " specification for " + optionName + ": " + value);
  return us;
}

bool ParseCInteger(const std::string& text, size_t& pos, long& out) {
  const char* start = text.c_str() + pos;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(start, &end, 0);
  if (end == start) return false;
  out = v;
  pos += static_cast<size_t>(end - start);
  return true;
}

std::string NormaliseLineBreaks(const std::string& text) {
  std::string r;
  r.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r') {
      r += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      r += c;
    }
  }
  return r;
}

std::vector<std::pair<std::string, std::string>> ParseOptionList(const std::string& text) {
  std::string t = NormaliseLineBreaks(Trim(text));
  static const std::string kToken = "<CRLF>";
  for (size_t p = t.find(kToken); p != std::string::npos; p = t.find(kToken, p + 1))
    t.replace(p, kToken.size(), "\n");
  std::vector<std::pair<std::string, std::string>> out;
  size_t start = 0;
  while (start <= t.size()) {
    size_t nl = t.find('\n', start);
    std::string line = t.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    if (!Trim(line).empty()) {
      size_t eq = line.find('=');
      std::string name = eq == std::string::npos ? line : line.substr(0, eq);
      std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
      out.emplace_back(LowerCase(Trim(name)), value);
    }
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return out;
}

}  // namespace quenza
