#pragma once
// quenza-convert --probe: the media probe's report of each file.

namespace quenza::cli {

// argv holds the arguments after "--probe": one or more files. Prints each report to
// stdout, a blank line between reports, and each file's open error to stderr. Returns
// 0 when every file was reported, 1 when one could not be, 2 for a usage error.
int RunProbeMode(int argc, char** argv);

}  // namespace quenza::cli
