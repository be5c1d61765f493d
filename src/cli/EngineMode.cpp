#include "cli/EngineMode.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/Console.h"
#include "engine/FFmpegException.h"
#include "engine/OptionParse.h"
#include "media/FFmpegLoader.h"
#include "media/FFmpegVCL.h"

namespace quenza::cli {

namespace {

constexpr const char* kUsage =
    "Usage: quenza-convert --engine [-I NAME=VALUE]... INPUT [[-I NAME=VALUE]... INPUT]...\n"
    "                      [-O NAME=VALUE]... -o OUTPUT [--join]\n"
    "       quenza-convert --engine --jobs N --output-dir DIR --format EXT [-O NAME=VALUE]... INPUT...\n";

using Pairs = std::vector<std::pair<std::string, std::string>>;

struct Input {
  Pairs options;
  std::string file;
};

bool SplitPair(const char* arg, std::pair<std::string, std::string>& out) {
  std::string s(arg);
  size_t eq = s.find('=');
  std::string name = LowerCase(Trim(eq == std::string::npos ? s : s.substr(0, eq)));
  if (name.empty()) return false;
  out = {name, eq == std::string::npos ? std::string() : s.substr(eq + 1)};
  return true;
}

// Option pairs as the lines of an option list.
std::string OptionLines(const Pairs& pairs) {
  std::string text;
  for (const auto& [name, value] : pairs) text += name + "=" + value + "\n";
  return text;
}

int UsageError(const std::string& msg) {
  std::fprintf(stderr, "quenza-convert: %s\n%s", msg.c_str(), kUsage);
  return 2;
}

struct TaskResult {
  std::string input, output;
  bool added = false, finished = false, failed = false;
  std::string message;
};

}  // namespace

int RunEngineMode(int argc, char** argv) {
  std::vector<Input> inputs;
  Pairs pending, outputOptions;
  std::string output, outputDir, format;
  bool join = false;
  int jobs = 0;
  for (int i = 0; i < argc; ++i) {
    const char* a = argv[i];
    auto value = [&](const char* what) -> const char* {
      if (i + 1 >= argc) return nullptr;
      (void)what;
      return argv[++i];
    };
    if (!std::strcmp(a, "-I") || !std::strcmp(a, "-O")) {
      const char* v = value(a);
      if (!v) return UsageError(std::string(a) + " needs NAME=VALUE");
      std::pair<std::string, std::string> opt;
      if (!SplitPair(v, opt)) return UsageError(std::string("bad option '") + v + "'");
      (a[1] == 'I' ? pending : outputOptions).push_back(opt);
    } else if (!std::strcmp(a, "-o")) {
      const char* v = value(a);
      if (!v) return UsageError("-o needs a file name");
      if (!output.empty()) return UsageError("only one output file");
      output = v;
    } else if (!std::strcmp(a, "--join")) {
      join = true;
    } else if (!std::strcmp(a, "--jobs")) {
      const char* v = value(a);
      if (!v || std::atoi(v) < 1) return UsageError("--jobs needs a number of at least 1");
      jobs = std::atoi(v);
    } else if (!std::strcmp(a, "--output-dir")) {
      const char* v = value(a);
      if (!v) return UsageError("--output-dir needs a folder");
      outputDir = v;
    } else if (!std::strcmp(a, "--format")) {
      const char* v = value(a);
      if (!v || !*v) return UsageError("--format needs a file extension");
      format = v[0] == '.' ? v + 1 : v;
    } else if (a[0] == '-' && a[1] != '\0') {
      return UsageError(std::string("unknown argument '") + a + "'");
    } else {
      inputs.push_back({std::move(pending), a});
      pending.clear();
    }
  }
  const bool batch = jobs > 0 || !outputDir.empty() || !format.empty();
  if (inputs.empty()) return UsageError("no input file");
  if (!pending.empty()) return UsageError("-I options after the last input");
  if (batch) {
    if (jobs < 1) jobs = 1;
    if (outputDir.empty()) return UsageError("--output-dir is missing");
    if (format.empty()) return UsageError("--format is missing");
    if (!output.empty() || join) return UsageError("-o and --join do not go with --output-dir");
    for (const Input& in : inputs)
      if (!in.options.empty()) return UsageError("-I options do not go with --output-dir");
  } else if (output.empty()) {
    return UsageError("no output file (-o)");
  }

  TMediaProcessScope media;
  InstallConsoleLog();
  TFFmpegVCL conv;
  conv.SetTriggerEventInMainThread(false);
  if (!conv.LoadLibraries("")) {
    std::fprintf(stderr, "quenza-convert: %s\n", conv.LastError().c_str());
    return 1;
  }

  // Tasks.
  std::vector<TaskResult> results;
  std::map<int, size_t> resultOfTask;
  TOutputOptions outOpts;
  outOpts.ExtOptions = OptionLines(outputOptions);
  outOpts.Join = join;
  if (!batch) {
    TaskResult r;
    r.input = inputs[0].file;
    r.output = output;
    TInputOptions inOpts;
    inOpts.ExtOptions = OptionLines(inputs[0].options);
    const int t = conv.AddTask(inputs[0].file, &inOpts);
    if (t < 0) {
      std::fprintf(stderr, "quenza-convert: %s\n", conv.LastError().c_str());
      return 1;
    }
    // Further inputs of the same task (join or extra streams).
    TFFmpeg* task = conv.Task(t);
    try {
      for (size_t i = 1; i < inputs.size(); ++i) {
        const int index = task->InputFileCount();
        if (index >= kMaxInputFiles) throw FFmpegException("Too many input files");
        task->InputOptions[index].ExtOptions = OptionLines(inputs[i].options);
        ApplyInputOptions(*task, task->InputOptions[index], inputs[i].file);
        if (!task->AddInputFile(inputs[i].file)) throw FFmpegException(task->LastErrorText());
        task->Probes[index] = std::make_unique<TAVProbe>();
        task->Probes[index]->AttachContext(task->InputContext(index));
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "quenza-convert: %s\n", e.what());
      return 1;
    }
    if (!conv.SetOutputFile(t, output, &outOpts)) {
      std::fprintf(stderr, "quenza-convert: %s\n", conv.LastError().c_str());
      return 1;
    }
    r.added = true;
    resultOfTask[t] = results.size();
    results.push_back(r);
  } else {
    std::error_code ec;
    std::filesystem::create_directories(outputDir, ec);
    for (const Input& in : inputs) {
      TaskResult r;
      r.input = in.file;
      r.output = (std::filesystem::path(outputDir) / (std::filesystem::path(in.file).stem().string() + "." + format)).string();
      const int t = conv.AddTask(in.file);
      if (t < 0) {
        r.failed = true;
        r.message = conv.LastError();
      } else if (!conv.SetOutputFile(t, r.output, &outOpts)) {
        r.failed = true;
        r.message = conv.LastError();
        conv.RemoveTask(t);
      } else {
        r.added = true;
        resultOfTask[t] = results.size();
      }
      if (r.failed) std::fprintf(stderr, "quenza-convert: %s: %s\n", in.file.c_str(), r.message.c_str());
      results.push_back(r);
    }
  }

  // Events. Terminate events come from the delivery thread; everything they touch is
  // guarded by resultsLock.
  std::mutex resultsLock;
  std::atomic<bool> allDone{false};
  std::map<int, std::unique_ptr<TProgressPrinter>> printers;
  const bool single = !batch;
  conv.SetProgressInterval(500);
  conv.OnProgress = [&](TCustomFFmpegVCL*, PProgressInfo p) {
    std::lock_guard<std::mutex> g(resultsLock);
    auto& printer = printers[p->TaskIndex];
    if (!printer) {
      std::string label = single ? "" : "[" + std::filesystem::path(results[resultOfTask[p->TaskIndex]].input).filename().string() + "] ";
      printer = std::make_unique<TProgressPrinter>(label, !single);
    }
    printer->Update(p->TotalDuration, p->CurrentDuration, p->CurrentSize, p->BitRate, p->FPS);
  };
  conv.OnTerminate = [&](TCustomFFmpegVCL*, const TTerminateInfo& info) {
    std::lock_guard<std::mutex> g(resultsLock);
    if (info.TaskIndex < 0) {
      allDone = true;
      return;
    }
    if (auto it = printers.find(info.TaskIndex); it != printers.end()) it->second->Finish();
    auto it = resultOfTask.find(info.TaskIndex);
    if (it == resultOfTask.end()) return;
    TaskResult& r = results[it->second];
    r.finished = info.Finished;
    r.failed = info.Exception;
    r.message = info.ExceptionMsg;
  };

  const bool interrupted = RunTasks(conv, batch ? jobs : 1, allDone);
  conv.ClearTasks();

  int failures = 0;
  for (const TaskResult& r : results) {
    if (!r.finished || r.failed) ++failures;
    if (r.failed && r.added) std::fprintf(stderr, "quenza-convert: %s: %s\n", r.input.c_str(), r.message.c_str());
  }
  if (batch) {
    std::fprintf(stderr, "\n%-8s  %s\n", "result", "input -> output");
    for (const TaskResult& r : results)
      std::fprintf(stderr, "%-8s  %s -> %s\n", r.failed ? "failed" : r.finished ? "done" : "stopped", r.input.c_str(),
                   r.output.c_str());
    std::fprintf(stderr, "%zu converted, %d not converted\n", results.size() - failures, failures);
  }
  if (interrupted) return 130;
  return failures ? 1 : 0;
}

}  // namespace quenza::cli
