#pragma once
#include <string>

namespace quenza {

// Fixed text for a library error code, e.g. "No such file or directory".
std::string LibraryErrorText(int code);
// prefix + ": " + LibraryErrorText(code).
std::string LibraryError(const std::string& prefix, int code);

// "Video", "Audio", "Data", "Subtitle", "Attachment" or "Unknown", as messages name
// media types.
const char* MediaTypeName(int type);

}  // namespace quenza
