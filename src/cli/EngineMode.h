#pragma once
// quenza-convert --engine: the engine driven by plain option pairs.

namespace quenza::cli {

// argv holds the arguments after "--engine". Returns the process exit code.
int RunEngineMode(int argc, char** argv);

}  // namespace quenza::cli
