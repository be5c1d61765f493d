// quenza-convert: the command-line front end.

#include <cstdio>
#include <cstring>

#include "cli/EngineMode.h"
#include "cli/ProbeMode.h"
#include "cli/ProfileMode.h"

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "Usage: quenza-convert [--profile CODE] [--output-dir DIR] [--trim-start S] [--trim-length S]\n"
               "                      [--crop TOP,BOTTOM,LEFT,RIGHT] [--zoom full|lbox|pan|center]\n"
               "                      [--brightness N] [--contrast N] [--saturation N] [--exposure N]\n"
               "                      [--text TEXT,X,Y[,OPACITY[,START,END[,FONT,SIZE,COLOUR,BACKGROUND]]]]...\n"
               "                      [--image FILE,X,Y[,OPACITY[,START,END]]]... [--jobs N]\n"
               "                      [--settings FILE] [--catalogue FILE] [--json] [--verbose] FILE...\n"
               "       quenza-convert --list-profiles [--settings FILE] [--catalogue FILE] [--json]\n"
               "       quenza-convert --engine [-I NAME=VALUE]... INPUT [[-I NAME=VALUE]... INPUT]...\n"
               "                      [-O NAME=VALUE]... -o OUTPUT [--join]\n"
               "       quenza-convert --probe FILE...\n"
               "       quenza-convert --help\n"
               "\n"
               "Without --engine or --probe, files are converted with an output profile (default:\n"
               "the one chosen in the application) into its output folder; defaults come from the\n"
               "settings file. Effects: brightness and saturation 0..512 (255 = unchanged),\n"
               "contrast -100..100, exposure -255..512 (0 = unchanged). Watermark times are whole\n"
               "seconds; \\, is a comma inside TEXT; COLOUR is #RRGGBB or a name, BACKGROUND also none.\n"
               "--engine  converts with the engine's own options: each -I option applies to the\n"
               "          next INPUT, each -O option to the output (names as in option lists,\n"
               "          e.g. -O vcodec=mpeg4 -O b=800000 -O s=640x360).\n"
               "Exit status: 0 converted, 1 failed, 2 usage error, 130 interrupted.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--engine") == 0)
    return quenza::cli::RunEngineMode(argc - 2, argv + 2);
  if (argc >= 2 && std::strcmp(argv[1], "--probe") == 0) return quenza::cli::RunProbeMode(argc - 2, argv + 2);
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    Usage(stdout);
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--help") != 0 && std::strcmp(argv[1], "-h") != 0)
    return quenza::cli::RunProfileMode(argc - 1, argv + 1);
  Usage(stderr);
  return 2;
}
