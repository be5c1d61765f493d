#pragma once
// Log levels shared by the engine and the media layer, and their mapping to the
// libraries' numeric levels (quiet -8, panic 0, fatal 8, ... debug 48).

namespace quenza {

enum TLogLevel : int {
  llQuiet = 0,
  llPanic,
  llFatal,
  llError,
  llWarning,
  llInfo,
  llVerbose,
  llDebug,
};

// (ordinal - 1) * 8: llQuiet -> -8 ... llDebug -> 48.
constexpr int LogLevelToLibrary(TLogLevel level) { return (static_cast<int>(level) - 1) * 8; }

// n / 8 rounded toward zero (for negative n: (n + 7) >> 3), plus 1, clamped to 0..7.
constexpr TLogLevel LibraryToLogLevel(int n) {
  int v = (n < 0 ? ((n + 7) >> 3) : n / 8) + 1;
  if (v < 0) v = 0;
  if (v > 7) v = 7;
  return static_cast<TLogLevel>(v);
}

}  // namespace quenza
