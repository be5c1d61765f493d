#pragma once

namespace quenza::cli {

// Converts files with an output profile, as the application does; argv holds the
// arguments after the program name.
int RunProfileMode(int argc, char** argv);

}  // namespace quenza::cli
