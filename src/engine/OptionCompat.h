#pragma once
// The one compatibility table for encoder names and option names or flags that the
// installed libraries dropped. Everything the option layer and the codec resolution
// cannot find under its old name is looked up here.
//
// Encoder names:
//   libfaac  -> aac        (libfaac wrapper removed; the native AAC encoder replaces it)
//   vorbis   -> libvorbis  (the native Vorbis encoder is experimental)
// Options (legacy flag sets became private options of the encoder wrapper):
//   flags2 +dct8x8 +wpred +mixed_refs +fastpskip +mbtree +bpyramid +aud +psy  (libx264)
//          -> 8x8dct weightb mixed-refs fast-pskip mbtree b-pyramid aud psy;
//             the bits that libavcodec still has stay in flags2
//   partitions +parti4x4+parti8x8+partp4x4+partp8x8+partb8x8  (libx264)
//          -> partitions=i4x4,i8x8,p4x4,p8x8,b8x8 (the wrapper's list syntax)
//   directpred N  (libx264) -> direct-pred N
//   cqp N         (libx264) -> qp N  (N < 0 meant "off")
//   flags +scan_offset  (mpeg1video, mpeg2video) -> scan_offset=1; the other bits stay
// An x264 line for another encoder has no meaning there and is dropped.

#include <string>
#include <utility>
#include <vector>

namespace quenza {

struct TCompatEncoderRow {
  const char* legacy;
  const char* current;
};
const std::vector<TCompatEncoderRow>& CompatEncoderTable();

// The installed encoder name for a requested one (the name itself when no row applies).
std::string CompatEncoderName(const std::string& name);

struct TCompatOption {
  enum Kind { None, Translated, Dropped };
  Kind kind = None;
  // Replacement options, applied in order through the generic fallback.
  std::vector<std::pair<std::string, std::string>> options;
  // Why the option (or parts of it) was dropped, for the verbose log.
  std::string dropped;
};

// Translates a legacy option for the named pending video encoder (empty: none).
TCompatOption TranslateLegacyOption(const std::string& name, const std::string& value,
                                    const std::string& videoEncoder);

}  // namespace quenza
