// quenza-convert: the command-line front end.

#include <cstdio>
#include <cstring>

#include "cli/EngineMode.h"
#include "cli/ProbeMode.h"

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "Usage: quenza-convert --engine [-I NAME=VALUE]... INPUT [[-I NAME=VALUE]... INPUT]...\n"
               "                      [-O NAME=VALUE]... -o OUTPUT [--join]\n"
               "       quenza-convert --probe FILE...\n"
               "       quenza-convert --help\n"
               "\n"
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
  Usage(stderr);
  return 2;
}
