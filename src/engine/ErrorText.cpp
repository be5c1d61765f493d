#include "engine/ErrorText.h"

#include <cerrno>
#include <cstdio>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/error.h>
}

namespace quenza {

// The table names the codes of the library generation it was written for; the
// installed libraries report the same conditions with these codes.
std::string LibraryErrorText(int code) {
  if (code == AVERROR(ENOENT)) return "No such file or directory";
  if (code == AVERROR(EIO)) return "I/O error";
  if (code == AVERROR(ENOMEM)) return "Not enough memory";
  if (code == AVERROR(EINVAL) || code == AVERROR_INVALIDDATA) return "Invalid data found when processing input";
  if (code == AVERROR(EPIPE) || code == AVERROR_EOF) return "End of file";
  if (code == AVERROR(EDOM)) return "Number syntax expected in filename";
  if (code == AVERROR(EILSEQ) || code == AVERROR_DEMUXER_NOT_FOUND || code == AVERROR_MUXER_NOT_FOUND)
    return "Unknown format";
  if (code == AVERROR(EPROTONOSUPPORT) || code == AVERROR_PROTOCOL_NOT_FOUND)
    return "Unsupported network protocol";
  if (code == AVERROR_PATCHWELCOME) return "Not yet implemented in FFmpeg";
  char buf[64];
  std::snprintf(buf, sizeof buf, "Error number %d occurred", code);
  return buf;
}

std::string LibraryError(const std::string& prefix, int code) {
  return prefix + ": " + LibraryErrorText(code);
}

const char* MediaTypeName(int type) {
  switch (type) {
    case AVMEDIA_TYPE_VIDEO: return "Video";
    case AVMEDIA_TYPE_AUDIO: return "Audio";
    case AVMEDIA_TYPE_DATA: return "Data";
    case AVMEDIA_TYPE_SUBTITLE: return "Subtitle";
    case AVMEDIA_TYPE_ATTACHMENT: return "Attachment";
    default: return "Unknown";
  }
}

}  // namespace quenza
