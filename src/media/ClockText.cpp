#include "media/ClockText.h"

#include <cinttypes>

extern "C" {
#include <libavutil/avutil.h>
}

#include "engine/OptionParse.h"

namespace quenza {

namespace {

// Magnitude of a signed value without overflow for INT64_MIN + 1 and below.
uint64_t Magnitude(int64_t v) { return v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v); }

}  // namespace

std::string SecondsToClock(int64_t seconds) {
  const uint64_t s = seconds < 0 ? 0 : static_cast<uint64_t>(seconds);
  return StrFormat("%" PRIu64 ":%02u:%02u", s / 3600, static_cast<unsigned>(s / 60 % 60),
                   static_cast<unsigned>(s % 60));
}

std::string DurationToClock(int64_t microseconds) {
  if (microseconds == AV_NOPTS_VALUE) return "N/A";
  const uint64_t us = Magnitude(microseconds);
  const uint64_t secs = us / 1000000;
  return StrFormat("%s%02" PRIu64 ":%02u:%02u.%03u", microseconds < 0 ? "-" : "", secs / 3600,
                   static_cast<unsigned>(secs / 60 % 60), static_cast<unsigned>(secs % 60),
                   static_cast<unsigned>(us % 1000000 / 1000));
}

std::string MicrosecondsToSecondsText(int64_t microseconds) {
  const uint64_t us = Magnitude(microseconds);
  return StrFormat("%s%" PRIu64 ".%06u", microseconds < 0 ? "-" : "", us / 1000000,
                   static_cast<unsigned>(us % 1000000));
}

}  // namespace quenza
