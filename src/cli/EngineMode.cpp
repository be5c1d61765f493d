#include "cli/EngineMode.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/Console.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegException.h"
#include "engine/OptionParse.h"
#include "media/FFmpegLoader.h"

namespace quenza::cli {

namespace {

constexpr const char* kUsage =
    "Usage: quenza-convert --engine [-I NAME=VALUE]... INPUT [[-I NAME=VALUE]... INPUT]...\n"
    "                      [-O NAME=VALUE]... -o OUTPUT [--join]\n";

struct Input {
  std::vector<std::pair<std::string, std::string>> options;
  std::string file;
};

bool SplitPair(const char* arg, std::pair<std::string, std::string>& out) {
  std::string s(arg);
  size_t eq = s.find('=');
  std::string name = LowerCase(eq == std::string::npos ? s : s.substr(0, eq));
  if (Trim(name).empty()) return false;
  out = {name, eq == std::string::npos ? std::string() : s.substr(eq + 1)};
  return true;
}

int UsageError(const std::string& msg) {
  std::fprintf(stderr, "quenza-convert: %s\n%s", msg.c_str(), kUsage);
  return 2;
}

}  // namespace

int RunEngineMode(int argc, char** argv) {
  std::vector<Input> inputs;
  std::vector<std::pair<std::string, std::string>> pending, outputOptions;
  std::string output;
  bool join = false;
  for (int i = 0; i < argc; ++i) {
    const char* a = argv[i];
    if (!std::strcmp(a, "-I") || !std::strcmp(a, "-O")) {
      if (i + 1 >= argc) return UsageError(std::string(a) + " needs NAME=VALUE");
      std::pair<std::string, std::string> opt;
      if (!SplitPair(argv[++i], opt)) return UsageError(std::string("bad option '") + argv[i] + "'");
      (a[1] == 'I' ? pending : outputOptions).push_back(opt);
    } else if (!std::strcmp(a, "-o")) {
      if (i + 1 >= argc) return UsageError("-o needs a file name");
      if (!output.empty()) return UsageError("only one output file");
      output = argv[++i];
    } else if (!std::strcmp(a, "--join")) {
      join = true;
    } else if (a[0] == '-' && a[1] != '\0') {
      return UsageError(std::string("unknown argument '") + a + "'");
    } else {
      inputs.push_back({std::move(pending), a});
      pending.clear();
    }
  }
  if (inputs.empty()) return UsageError("no input file");
  if (output.empty()) return UsageError("no output file (-o)");
  if (!pending.empty()) return UsageError("-I options after the last input");

  TMediaProcessScope media;
  InstallConsoleLog();
  if (!FFLoader().LoadLibraries(ConverterLibraries)) {
    std::fprintf(stderr, "quenza-convert: %s\n", FFLoader().LastError().c_str());
    return 1;
  }

  TCustomFFmpeg engine;
  engine.Reset();
  try {
    for (const Input& in : inputs) {
      for (const auto& [name, value] : in.options) engine.SetOption(name, value);
      if (!engine.AddInputFile(in.file)) {
        std::fprintf(stderr, "quenza-convert: %s\n", engine.LastErrorText().c_str());
        return 1;
      }
    }
    for (const auto& [name, value] : outputOptions) engine.SetOption(name, value);
    if (engine.AddOutputFile(output, join) < 0) {
      std::fprintf(stderr, "quenza-convert: %s\n", engine.LastErrorText().c_str());
      engine.ReleaseFiles(true);
      return 1;
    }
  } catch (const FFmpegException& e) {
    std::fprintf(stderr, "quenza-convert: %s\n", e.what());
    engine.ReleaseFiles(true);
    return 1;
  }

  TProgressPrinter progress("");
  engine.OnProgress = [&progress](TCustomFFmpeg*, int, int64_t total, int64_t current, int64_t size,
                                  float bitrate, float, int fps, int) {
    progress.Update(total, current, size, bitrate, fps);
  };

  InstallInterruptHandler();
  std::string error;  // written by the worker, read after join
  std::atomic<bool> done{false};
  std::thread worker([&] {
    try {
      engine.Transcode();
    } catch (const std::exception& e) {
      error = e.what();
    }
    done = true;
  });
  while (!done) {
    if (Interrupted()) engine.RequestStop();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  worker.join();
  progress.Finish();
  const bool failed = !error.empty();
  engine.ReleaseFiles(failed);
  if (failed) {
    std::fprintf(stderr, "quenza-convert: %s\n", error.c_str());
    return 1;
  }
  if (engine.StopRequested()) return 130;
  return engine.Completed() ? 0 : 1;
}

}  // namespace quenza::cli
