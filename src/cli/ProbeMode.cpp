#include "cli/ProbeMode.h"

#include <cstdio>
#include <string>
#include <vector>

#include "engine/FFmpegException.h"
#include "engine/OptionParse.h"
#include "media/AVProbe.h"
#include "media/FFmpegLoader.h"

namespace quenza::cli {

namespace {

constexpr const char* kUsage = "Usage: quenza-convert --probe FILE...\n";

int UsageError(const std::string& msg) {
  std::fprintf(stderr, "quenza-convert: %s\n%s", msg.c_str(), kUsage);
  return 2;
}

}  // namespace

int RunProbeMode(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.size() > 1 && a[0] == '-') return UsageError("unknown argument '" + a + "'");
    files.push_back(a);
  }
  if (files.empty()) return UsageError("no input file");

  // No console log: the report and the error texts are the whole output.
  TMediaProcessScope media;
  if (!FFLoader().LoadLibraries(ProbeLibraries)) {
    std::fprintf(stderr, "quenza-convert: %s\n", FFLoader().LastError().c_str());
    return 1;
  }

  int status = 0;
  bool first = true;
  TAVProbe probe;
  for (const std::string& file : files) {
    try {
      if (!probe.LoadFile(file)) {
        std::fprintf(stderr, "quenza-convert: %s\n", probe.LastError().c_str());
        status = 1;
        continue;
      }
    } catch (const FFmpegException& e) {
      std::fprintf(stderr, "quenza-convert: %s\n", e.what());
      return 1;
    }
    // The report's lines end in CR LF; the console gets plain line feeds.
    const std::string report = NormaliseLineBreaks(probe.GetInfoText());
    std::printf("%s%s\n", first ? "" : "\n", report.c_str());
    first = false;
    probe.CloseFile();
  }
  if (std::fflush(stdout) != 0) {
    std::perror("quenza-convert: stdout");
    return 1;
  }
  return status;
}

}  // namespace quenza::cli
