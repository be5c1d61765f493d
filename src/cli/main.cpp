// quenza-convert: the command-line front end.

#include <cstdio>
#include <cstring>

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "Usage: quenza-convert [--help]\n"
               "Quenza Video Converter, command-line front end.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    Usage(stdout);
    return 0;
  }
  Usage(stderr);
  return 2;
}
