#include "cli/ProfileMode.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>

#include "app/ConversionHook.h"
#include "app/FileEntry.h"
#include "app/FormatCatalogue.h"
#include "app/GlobalUnit.h"
#include "app/JobBuilder.h"
#include "app/ProfileMapping.h"
#include "cli/Console.h"
#include "cli/Json.h"
#include "media/FFmpegLoader.h"
#include "media/FFmpegLogger.h"
#include "media/FFmpegVCL.h"

namespace quenza::cli {

namespace {

constexpr const char* kUsage =
    "Usage: quenza-convert [--profile CODE] [--output-dir DIR] [--trim-start S] [--trim-length S]\n"
    "                      [--crop TOP,BOTTOM,LEFT,RIGHT] [--zoom full|lbox|pan|center]\n"
    "                      [--brightness N] [--contrast N] [--saturation N] [--exposure N]\n"
    "                      [--text TEXT,X,Y[,OPACITY[,START,END[,FONT,SIZE,COLOUR,BACKGROUND]]]]...\n"
    "                      [--image FILE,X,Y[,OPACITY[,START,END]]]...\n"
    "                      [--jobs N] [--settings FILE] [--catalogue FILE] [--json] [--verbose] FILE...\n"
    "       quenza-convert --list-profiles [--settings FILE] [--catalogue FILE]\n";

int UsageError(const std::string& msg) {
  std::fprintf(stderr, "quenza-convert: %s\n%s", msg.c_str(), kUsage);
  return 2;
}

// Splits at commas; "\," is a comma inside a field.
std::vector<std::string> SplitFields(const std::string& text) {
  std::vector<std::string> fields(1);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == ',') {
      fields.back() += ',';
      ++i;
    } else if (text[i] == ',') {
      fields.emplace_back();
    } else {
      fields.back() += text[i];
    }
  }
  return fields;
}

std::optional<int> IntArg(const std::string& text, int low, int high) {
  auto v = IntegerText(text);
  if (!v || *v < low || *v > high) return std::nullopt;
  return static_cast<int>(*v);
}

// Seconds (fractions allowed) to microseconds.
std::optional<std::int64_t> SecondsArg(const std::string& text) {
  auto v = NumberText(text);
  if (!v || *v < 0 || *v > 1e9) return std::nullopt;
  return static_cast<std::int64_t>(std::llround(*v * 1e6));
}

// "#RRGGBB" or a colour name to 0x00BBGGRR.
std::optional<std::uint32_t> ColourArg(const std::string& text) {
  QColor c(QString::fromStdString(text));
  if (!c.isValid()) return std::nullopt;
  return static_cast<std::uint32_t>(c.red()) | (static_cast<std::uint32_t>(c.green()) << 8) |
         (static_cast<std::uint32_t>(c.blue()) << 16);
}

class TConsoleMessages : public TMessageService {
 public:
  void ShowMessage(const std::string& title, const std::string& text) override {
    std::fprintf(stderr, "quenza-convert: %s: %s\n", title.c_str(), text.c_str());
  }
};

// The command line cannot ask; it takes the answer the question suggests and says so.
class TConsoleQuestions : public TQuestionService {
 public:
  bool AskYesNo(const std::string& title, const std::string& text) override {
    std::fprintf(stderr, "quenza-convert: %s: %s Yes\n", title.c_str(), text.c_str());
    return true;
  }
};

struct TTextArg {
  TWmRec Item;
  bool SizeFromFont = true;
};

struct TOptions {
  std::optional<int> Profile;
  std::optional<std::string> OutputDir, Zoom, Settings, Catalogue;
  std::int64_t TrimStart = 0, TrimLength = 0;
  int Crop[4] = {0, 0, 0, 0};  // top, bottom, left, right
  int Brightness = kNeutralBrightness, Contrast = kNeutralContrast, Saturation = kNeutralSaturation,
      Exposure = kNeutralExposure;
  std::vector<TWmRec> Watermarks;
  int Jobs = 1;
  bool Json = false, ListProfiles = false, Verbose = false;
  std::vector<std::string> Files;
};

// Parses a text watermark: TEXT,X,Y[,OPACITY[,START,END[,FONT,SIZE,COLOUR,BACKGROUND]]].
std::optional<std::string> ParseText(const std::string& arg, TWmRec& w) {
  const auto f = SplitFields(arg);
  if (f.size() != 3 && f.size() != 4 && f.size() != 6 && f.size() != 10)
    return "--text needs TEXT,X,Y[,OPACITY[,START,END[,FONT,SIZE,COLOUR,BACKGROUND]]]";
  w.Kind = TWmRec::kTextKind;
  w.Text = f[0];
  if (w.Text.empty()) return "--text needs a text";
  auto x = IntArg(f[1], -100000, 100000), y = IntArg(f[2], -100000, 100000);
  if (!x || !y) return "--text: X and Y must be integers";
  w.TextLeft = *x;
  w.TextTop = *y;
  w.Font.Size = 24;
  w.Font.Color = 0xFFFFFF;
  w.StartSec = 0;
  w.EndSec = INT_MAX;
  if (f.size() >= 4) {
    auto o = IntArg(f[3], 0, 255);
    if (!o) return "--text: OPACITY must be 0 to 255";
    w.TextOpacity = *o;
  }
  if (f.size() >= 6) {
    auto s = IntArg(f[4], 0, INT_MAX), e = IntArg(f[5], 0, INT_MAX);
    if (!s || !e) return "--text: START and END must be whole seconds";
    w.StartSec = *s;
    w.EndSec = *e;
  }
  if (f.size() == 10) {
    if (!f[6].empty()) w.Font.Name = f[6];
    auto size = IntArg(f[7], 1, 1000);
    if (!size) return "--text: SIZE must be 1 to 1000 points";
    w.Font.Size = *size;
    auto colour = ColourArg(f[8]);
    if (!colour) return "--text: unknown colour '" + f[8] + "'";
    w.Font.Color = *colour;
    if (f[9] != "none" && !f[9].empty()) {
      auto bg = ColourArg(f[9]);
      if (!bg) return "--text: unknown background colour '" + f[9] + "'";
      w.BackColor = *bg;
      w.HasBackground = true;
    }
  }
  return std::nullopt;
}

// Parses an image watermark: FILE,X,Y[,OPACITY[,START,END]].
std::optional<std::string> ParseImage(const std::string& arg, TWmRec& w) {
  const auto f = SplitFields(arg);
  if (f.size() != 3 && f.size() != 4 && f.size() != 6) return "--image needs FILE,X,Y[,OPACITY[,START,END]]";
  w.Kind = TWmRec::kImageKind;
  w.ImageFile = f[0];
  std::error_code ec;
  if (!std::filesystem::is_regular_file(w.ImageFile, ec)) return "--image: no such file '" + w.ImageFile + "'";
  auto x = IntArg(f[1], -100000, 100000), y = IntArg(f[2], -100000, 100000);
  if (!x || !y) return "--image: X and Y must be integers";
  w.ImageLeft = *x;
  w.ImageTop = *y;
  w.StartSec = 0;
  w.EndSec = INT_MAX;
  if (f.size() >= 4) {
    auto o = IntArg(f[3], 0, 255);
    if (!o) return "--image: OPACITY must be 0 to 255";
    w.ImageOpacity = *o;
  }
  if (f.size() == 6) {
    auto s = IntArg(f[4], 0, INT_MAX), e = IntArg(f[5], 0, INT_MAX);
    if (!s || !e) return "--image: START and END must be whole seconds";
    w.StartSec = *s;
    w.EndSec = *e;
  }
  return std::nullopt;
}

// Returns a usage error text, or nothing.
std::optional<std::string> ParseArgs(int argc, char** argv, TOptions& o) {
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    auto need = [&](const char* what) -> std::string {
      return a + " needs " + what;
    };
    if (a == "--profile") {
      auto v = value();
      auto code = v ? IntArg(*v, 0, 5099) : std::nullopt;
      if (!code) return need("a profile code (see --list-profiles)");
      o.Profile = code;
    } else if (a == "--output-dir") {
      auto v = value();
      if (!v || v->empty()) return need("a folder");
      o.OutputDir = v;
    } else if (a == "--trim-start" || a == "--trim-length") {
      auto v = value();
      auto us = v ? SecondsArg(*v) : std::nullopt;
      if (!us) return need("a number of seconds");
      (a == "--trim-start" ? o.TrimStart : o.TrimLength) = *us;
    } else if (a == "--crop") {
      auto v = value();
      const auto f = v ? SplitFields(*v) : std::vector<std::string>();
      if (f.size() != 4) return need("TOP,BOTTOM,LEFT,RIGHT");
      for (int k = 0; k < 4; ++k) {
        auto c = IntArg(f[static_cast<std::size_t>(k)], 0, 100000);
        if (!c) return need("four whole numbers of pixels, 0 or more");
        o.Crop[k] = *c;
      }
    } else if (a == "--zoom") {
      auto v = value();
      if (!v || (*v != "full" && *v != "lbox" && *v != "pan" && *v != "center"))
        return need("full, lbox, pan or center");
      o.Zoom = v;
    } else if (a == "--brightness" || a == "--saturation") {
      auto v = value();
      auto n = v ? IntArg(*v, 0, 512) : std::nullopt;
      if (!n) return need("a value from 0 to 512");
      (a == "--brightness" ? o.Brightness : o.Saturation) = *n;
    } else if (a == "--contrast") {
      auto v = value();
      auto n = v ? IntArg(*v, -100, 100) : std::nullopt;
      if (!n) return need("a value from -100 to 100");
      o.Contrast = *n;
    } else if (a == "--exposure") {
      auto v = value();
      auto n = v ? IntArg(*v, -255, 512) : std::nullopt;
      if (!n) return need("a value from -255 to 512");
      o.Exposure = *n;
    } else if (a == "--text" || a == "--image") {
      auto v = value();
      if (!v) return need("a description");
      TWmRec w;
      if (auto err = a == "--text" ? ParseText(*v, w) : ParseImage(*v, w)) return *err;
      o.Watermarks.push_back(std::move(w));
    } else if (a == "--jobs") {
      auto v = value();
      auto n = v ? IntArg(*v, 1, 64) : std::nullopt;
      if (!n) return need("a number from 1 to 64");
      o.Jobs = *n;
    } else if (a == "--settings" || a == "--catalogue") {
      auto v = value();
      if (!v || v->empty()) return need("a file");
      (a == "--settings" ? o.Settings : o.Catalogue) = v;
    } else if (a == "--json") {
      o.Json = true;
    } else if (a == "--verbose") {
      o.Verbose = true;
    } else if (a == "--list-profiles") {
      o.ListProfiles = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return "unknown argument '" + a + "'";
    } else {
      o.Files.push_back(a);
    }
  }
  if (!o.ListProfiles && o.Files.empty()) return std::string("no input file");
  return std::nullopt;
}

int ListProfiles(const TIniFile& catalogue, bool json) {
  for (int category = 0; category < kBuiltInCategoryCount; ++category) {
    const auto names = BuiltInFormatNames(category);
    if (!json) std::printf("%s\n", BuiltInCategoryName(category).c_str());
    for (std::size_t pos = 0; pos < names.size(); ++pos) {
      const int code = ProfileCode(category, static_cast<int>(pos));
      const TCatalogueProfile p = ReadCatalogueProfile(catalogue, code);
      const TProfileChoices d = CatalogueDefaultChoices(p);
      const std::string video =
          d.IsAudioOnly() ? std::string("-") : d.paraVideoEncoder + " " + d.paraVideoSize;
      const std::string audio = d.paraAudioEncoder + " " + d.paraSampleRate + " Hz";
      if (json) {
        std::printf("%s\n", TJsonLine()
                                .Add("event", "profile")
                                .Add("code", code)
                                .Add("name", names[pos])
                                .Add("category", BuiltInCategoryName(category))
                                .Add("format", p.Format)
                                .Add("extension", p.FileExt)
                                .Add("video", video)
                                .Add("audio", audio)
                                .Text()
                                .c_str());
      } else {
        std::printf("  %4d  %-42s  .%-4s  %-22s  %s\n", code, names[pos].c_str(), p.FileExt.c_str(),
                    video.c_str(), audio.c_str());
      }
    }
  }
  return 0;
}

// Box of a text item: the text's extent in its font (Qt needs a GUI application).
void SizeTextBox(TWmRec& w) {
  QFont font(QString::fromStdString(w.Font.Name));
  font.setPointSize(w.Font.Size);
  font.setBold(w.Font.Bold);
  font.setItalic(w.Font.Italic);
  QFontMetrics metrics(font);
  const QString text = QString::fromStdString(w.Text);
  w.TextWidth = std::max(1, metrics.horizontalAdvance(text) + 2);
  w.TextHeight = std::max(1, metrics.height());
}

struct TFileResult {
  std::string Input, Output, Message;
  int TaskIndex = -1;
  bool Added = false, Finished = false, Failed = false;
  double Seconds = 0;
  std::chrono::steady_clock::time_point Started;
  bool StartedSet = false;
};

const char* ResultText(const TFileResult& r) {
  return r.Failed || !r.Added ? "failed" : r.Finished ? "done" : "stopped";
}

}  // namespace

int RunProfileMode(int argc, char** argv) {
  TOptions o;
  if (auto err = ParseArgs(argc, argv, o)) return UsageError(*err);

  TGlobalObject global;
  global.InitDefaults();
  if (o.Settings) global.SetSettingsFile(*o.Settings);
  if (o.Catalogue) global.SetFormatFile(*o.Catalogue);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(global.FormatFile(), ec)) {
    std::fprintf(stderr, "quenza-convert: format catalogue '%s' not found\n", global.FormatFile().c_str());
    return 2;
  }
  TIniFile catalogue(global.FormatFile());
  if (o.ListProfiles) return ListProfiles(catalogue, o.Json);

  // Fonts need a GUI application; it never opens a window.
  std::unique_ptr<QGuiApplication> gui;
  const bool hasText = std::any_of(o.Watermarks.begin(), o.Watermarks.end(),
                                   [](const TWmRec& w) { return w.IsText(); });
  int qtArgc = 1;
  char qtName[] = "quenza-convert";
  char* qtArgv[] = {qtName, nullptr};
  if (hasText) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    gui = std::make_unique<QGuiApplication>(qtArgc, qtArgv);
    for (TWmRec& w : o.Watermarks)
      if (w.IsText()) SizeTextBox(w);
  }

  TSettingsStore settings(global.SettingsFile());
  TConsoleMessages messages;
  TConsoleQuestions questions;
  TFolderRules folders(settings, messages);
  TJobBuilder builder(settings, catalogue, folders, questions);
  if (o.Profile) builder.SetProfileCode(*o.Profile);
  if (o.OutputDir) builder.SetOutputFolder(*o.OutputDir);
  if (o.Zoom) builder.SetZoomMode(*o.Zoom);
  const int code = builder.ProfileCode();
  TFormatNameTable names;
  for (int category = 0; category < kBuiltInCategoryCount; ++category) names.FillBuiltIn(category);
  if (names.NameOfCode(code).empty()) {
    std::fprintf(stderr, "quenza-convert: no profile with code %d (see --list-profiles)\n", code);
    return 2;
  }

  TMediaProcessScope media;
  GetLogger().SetLogLevel(o.Verbose ? llInfo : llError);
  InstallConsoleLog();
  TFFmpegVCL conv;
  conv.SetTriggerEventInMainThread(false);
  if (!conv.LoadLibraries("")) {
    std::fprintf(stderr, "quenza-convert: %s\n", conv.LastError().c_str());
    return 1;
  }

  // Entries and tasks.
  TFileEntries entries;
  std::vector<TFileResult> results;
  std::map<int, std::size_t> entryOfTask;
  builder.BeginRun();
  for (const std::string& file : o.Files) {
    auto record = MakeFileRecord(file, std::string(), std::string());
    record->TrimStart = o.TrimStart;
    record->TrimLength = o.TrimLength;
    record->CropTop = o.Crop[0];
    record->CropBottom = o.Crop[1];
    record->CropLeft = o.Crop[2];
    record->CropRight = o.Crop[3];
    record->Brightness = o.Brightness;
    record->Contrast = o.Contrast;
    record->Saturation = o.Saturation;
    record->Exposure = o.Exposure;
    for (const TWmRec& w : o.Watermarks) record->AddWatermark() = w;
    const std::size_t row = entries.Add(std::move(record));
    TFileResult r;
    r.Input = file;
    try {
      const TJobBuilder::TEntryTask task = builder.AddEntryTask(conv, *entries.At(row));
      r.Output = task.OutputFile;
      r.TaskIndex = task.TaskIndex;
      r.Added = task.TaskIndex >= 0;
      r.Message = task.Error;
    } catch (const EConvertError& e) {
      std::fprintf(stderr, "quenza-convert: %s\n", e.what());
      return 1;
    }
    if (r.Added) {
      entryOfTask[r.TaskIndex] = row;
    } else {
      r.Failed = true;
      std::fprintf(stderr, "quenza-convert: %s: %s\n", file.c_str(), r.Message.c_str());
    }
    results.push_back(std::move(r));
  }

  TConversionHook hook;
  conv.OnCustomHook = hook.MakeCustomHookEvent([&](int taskIndex) -> const TlvFilesRecord* {
    auto it = entryOfTask.find(taskIndex);
    return it == entryOfTask.end() ? nullptr : entries.At(it->second);
  });

  // Events; terminate events come from the delivery thread, progress from the workers.
  std::mutex lock;
  std::atomic<bool> allDone{false};
  std::chrono::steady_clock::time_point runStart, lastFinish;  // guarded by lock once started
  std::map<int, std::unique_ptr<TProgressPrinter>> printers;
  std::map<int, std::size_t> resultOfTask;
  for (std::size_t i = 0; i < results.size(); ++i)
    if (results[i].Added) resultOfTask[results[i].TaskIndex] = i;
  auto EmitJson = [&](const TJsonLine& line) { std::printf("%s\n", line.Text().c_str()); std::fflush(stdout); };
  conv.SetProgressInterval(500);
  conv.OnProgress = [&](TCustomFFmpegVCL*, PProgressInfo p) {
    std::lock_guard<std::mutex> g(lock);
    auto it = resultOfTask.find(p->TaskIndex);
    if (it == resultOfTask.end()) return;
    TFileResult& r = results[it->second];
    if (!r.StartedSet) {
      r.StartedSet = true;
      r.Started = std::chrono::steady_clock::now();
    }
    if (o.Json) {
      const double percent = p->TotalDuration > 0
                                 ? std::min(100.0, 100.0 * static_cast<double>(p->CurrentDuration) / p->TotalDuration)
                                 : -1.0;
      EmitJson(TJsonLine()
               .Add("event", "progress")
               .Add("input", r.Input)
               .Add("output", r.Output)
               .Add("percent", percent)
               .Add("time", static_cast<double>(p->CurrentDuration) / 1e6)
               .Add("size", static_cast<std::int64_t>(p->CurrentSize))
               .Add("fps", p->FPS));
      return;
    }
    auto& printer = printers[p->TaskIndex];
    if (!printer)
      printer = std::make_unique<TProgressPrinter>(
          "[" + std::filesystem::path(r.Input).filename().string() + "] ", o.Jobs > 1 && results.size() > 1);
    printer->Update(p->TotalDuration, p->CurrentDuration, p->CurrentSize, p->BitRate, p->FPS);
  };
  conv.OnTerminate = [&](TCustomFFmpegVCL*, const TTerminateInfo& info) {
    std::lock_guard<std::mutex> g(lock);
    if (info.TaskIndex < 0) {
      allDone = true;
      return;
    }
    if (auto it = printers.find(info.TaskIndex); it != printers.end()) it->second->Finish();
    auto it = resultOfTask.find(info.TaskIndex);
    if (it == resultOfTask.end()) return;
    TFileResult& r = results[it->second];
    r.Finished = info.Finished;
    r.Failed = info.Exception;
    r.Message = info.ExceptionMsg;
    // One at a time, a file starts when the one before it ends; several at a time, with
    // its first progress report (or the run's start when none came).
    const auto now = std::chrono::steady_clock::now();
    const auto started = o.Jobs == 1 ? lastFinish : r.StartedSet ? r.Started : runStart;
    r.Seconds = std::chrono::duration<double>(now - started).count();
    lastFinish = now;
    if (o.Json)
      EmitJson(TJsonLine()
               .Add("event", "finished")
               .Add("input", r.Input)
               .Add("output", r.Output)
               .Add("result", ResultText(r))
               .Add("message", r.Message));
  };

  runStart = lastFinish = std::chrono::steady_clock::now();
  const bool interrupted = RunTasks(conv, o.Jobs, allDone);
  conv.ClearTasks();
  const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - runStart).count();

  int failures = 0;
  for (const TFileResult& r : results)
    if (r.Failed || !r.Finished) ++failures;
  if (o.Json) {
    std::string files = "[";
    for (const TFileResult& r : results) {
      if (files.size() > 1) files += ",";
      files += TJsonLine()
                   .Add("input", r.Input)
                   .Add("output", r.Output)
                   .Add("result", ResultText(r))
                   .Add("message", r.Message)
                   .Text();
    }
    files += "]";
    EmitJson(TJsonLine()
             .Add("event", "summary")
             .Add("profile", code)
             .Add("converted", static_cast<int>(results.size()) - failures)
             .Add("failed", failures)
             .Add("seconds", total)
             .AddRaw("files", files));
  } else {
    std::fprintf(stderr, "\n%-8s  %8s  %s\n", "result", "seconds", "input -> output");
    for (const TFileResult& r : results) {
      std::fprintf(stderr, "%-8s  %8.1f  %s -> %s\n", ResultText(r), r.Seconds, r.Input.c_str(),
                   r.Output.empty() ? "-" : r.Output.c_str());
      if (r.Failed && !r.Message.empty()) std::fprintf(stderr, "          %s\n", r.Message.c_str());
    }
    std::fprintf(stderr, "%d converted, %d not converted (%s)\n", static_cast<int>(results.size()) - failures,
                 failures, names.NameOfCode(code).c_str());
  }
  if (interrupted) return 130;
  return failures ? 1 : 0;
}

}  // namespace quenza::cli
