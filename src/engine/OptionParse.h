#pragma once
// Argument conversions of the option layer and option-list splitting.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quenza {

std::string Trim(const std::string& s);
// printf-style formatting into a string.
std::string StrFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string LowerCase(const std::string& s);
bool SameText(const std::string& a, const std::string& b);

// "bool": true unless the value is exactly "0" (empty counts as true).
bool OptionBool(const std::string& value);
// "int": the whole (trimmed) value as a decimal integer; FFmpegException otherwise.
int OptionInt(const std::string& value);
int64_t OptionInt64(const std::string& value);
// "float": decimal conversion with the current locale's separator; FFmpegException otherwise.
double OptionFloat(const std::string& value);
// "duration" (isDuration) or "date" values in microseconds; fails with
// "Invalid %s specification for %s: %s".
int64_t OptionTime(const std::string& optionName, const std::string& value, bool isDuration);
// A C integer literal (decimal, 0x hexadecimal, leading-zero octal) at the start of
// text; advances pos past it. Returns false when no digits are there.
bool ParseCInteger(const std::string& text, size_t& pos, long& out);

// Splits an option list into (name, value) pairs: the whole text is trimmed, CR LF, CR,
// LF and the literal "<CRLF>" separate lines, each line is name=value split at the
// first "=", names are lower-cased. Blank lines are skipped.
std::vector<std::pair<std::string, std::string>> ParseOptionList(const std::string& text);

// Normalises CR LF and CR to LF.
std::string NormaliseLineBreaks(const std::string& text);

}  // namespace quenza
