#pragma once
// Time texts shared by the probe's report and the application's time labels.

#include <cstdint>
#include <string>

namespace quenza {

// Whole seconds as "H:MM:SS", hours unpadded and not wrapped at 24; negative input
// counts as 0 (59 -> "0:00:59", 100000 -> "27:46:40").
std::string SecondsToClock(int64_t seconds);

// Microseconds as "HH:MM:SS.mmm", hours at least two digits and not wrapped, the
// milliseconds truncated; "N/A" for AV_NOPTS_VALUE. A negative value gets a leading "-".
std::string DurationToClock(int64_t microseconds);

// Microseconds as seconds with six decimals ("1.400000", "-0.021333").
std::string MicrosecondsToSecondsText(int64_t microseconds);

}  // namespace quenza
