#include "media/FFmpegLogger.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "media/Dispatcher.h"
#include "media/FFmpegLoader.h"

namespace quenza {

namespace {

// Pending text of one thread that logged a partial line.
struct TLogItem {
  unsigned long ThreadID;
  std::string Pending;
};

// Partial library lines per thread. Items whose pending text is empty are removed.
class TLogList {
 public:
  constexpr TLogList() = default;

  // Adds one formatted library message for a thread and returns the lines it
  // completes. The prefix starts a line only. With endsLine the rest is a line too.
  std::vector<std::string> Add(unsigned long threadID, const std::string& prefix,
                               std::string_view text, bool endsLine) {
    std::vector<std::string> lines;
    std::lock_guard guard(fLock);
    auto it = std::find_if(fItems.begin(), fItems.end(),
                           [threadID](const TLogItem& item) { return item.ThreadID == threadID; });
    if (it == fItems.end()) it = fItems.insert(fItems.end(), TLogItem{threadID, {}});
    std::string& pending = it->Pending;
    if (pending.empty()) pending = prefix;
    pending.append(text);

    std::size_t start = 0;
    for (std::size_t lf; (lf = pending.find('\n', start)) != std::string::npos; start = lf + 1)
      lines.emplace_back(pending, start, lf - start);
    pending.erase(0, start);
    if (endsLine && !pending.empty()) {
      lines.push_back(std::move(pending));
      pending.clear();
    }
    if (pending.empty()) fItems.erase(it);
    return lines;
  }

  void Clear() {
    std::lock_guard guard(fLock);
    fItems.clear();
  }

 private:
  std::mutex fLock;
  std::vector<TLogItem> fItems;
};

// Constant-initialised so that they outlive any logger destroyed at exit.
constinit TLogList g_logList;
constinit std::atomic<TFFLogger*> g_instance{nullptr};
constinit std::atomic<int> g_libraryLevel{32};
constinit std::mutex g_createLock;
constinit std::unique_ptr<TFFLogger> g_ownedLogger;

struct TVaListEnd {
  va_list& args;
  ~TVaListEnd() { va_end(args); }
};

// printf-style formatting into a buffer that grows to fit; an invalid format is
// returned as it is.
std::string FormatV(const char* fmt, va_list args) {
  std::string text(256, '\0');
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(text.data(), text.size(), fmt, copy);
    va_end(copy);
    if (n < 0) return fmt;
    if (static_cast<std::size_t>(n) < text.size()) {
      text.resize(static_cast<std::size_t>(n));
      return text;
    }
    text.assign(static_cast<std::size_t>(n) + 1, '\0');
  }
}

// "[name @ address]" for a context whose first member is its AVClass pointer.
std::string ContextPrefix(void* context) {
  if (context == nullptr) return {};
  const AVClass* cls = *static_cast<const AVClass* const*>(context);
  if (cls == nullptr) return {};
  const char* name = cls->item_name ? cls->item_name(context) : av_default_item_name(context);
  char buffer[256];
  const int n = std::snprintf(buffer, sizeof buffer, "[%s @ %p]", name ? name : "", context);
  if (n < 0) return {};
  return std::string(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1));
}

constexpr std::pair<const char*, int> kLevelNames[] = {
    {"quiet", AV_LOG_QUIET},     {"panic", AV_LOG_PANIC},     {"fatal", AV_LOG_FATAL},
    {"error", AV_LOG_ERROR},     {"warning", AV_LOG_WARNING}, {"info", AV_LOG_INFO},
    {"verbose", AV_LOG_VERBOSE}, {"debug", AV_LOG_DEBUG},
};

}  // namespace

TFFLogger::TFFLogger() {
  TFFLogger* expected = nullptr;
  if (!g_instance.compare_exchange_strong(expected, this, std::memory_order_acq_rel))
    throw std::logic_error("Allow creating only one instance of TFFLogger.");
  // A logger replacing a freed one takes over the libraries' messages at once.
  if (FFLoader().LibraryLoaded(liAVUtil)) AttachToLibraries();
}

TFFLogger::~TFFLogger() {
  if (fAttached.load(std::memory_order_acquire)) DetachFromLibraries();
  g_instance.store(nullptr, std::memory_order_release);
  g_logList.Clear();
}

TFFLogger* TFFLogger::Instance() { return g_instance.load(std::memory_order_acquire); }

void TFFLogger::SetLogLevel(TLogLevel level) {
  std::lock_guard guard(fLevelLock);
  if (fLogLevel.exchange(level, std::memory_order_acq_rel) == level) return;
  if (FFLoader().LibraryLoaded(liAVUtil)) PushLevelToLibraries(level);
}

void TFFLogger::PushLevelToLibraries(TLogLevel level) {
  const int libraryLevel = LogLevelToLibrary(level);
  av_log_set_level(libraryLevel);
  g_libraryLevel.store(libraryLevel, std::memory_order_release);
}

void TFFLogger::SetLogLevelByName(const std::string& name) {
  int libraryLevel = 0;
  bool known = false;
  for (const auto& [levelName, value] : kLevelNames) {
    if (strcasecmp(name.c_str(), levelName) == 0) {
      libraryLevel = value;
      known = true;
      break;
    }
  }
  if (!known) {
    const char* first = name.data();
    const char* last = first + name.size();
    auto [ptr, ec] = std::from_chars(first, last, libraryLevel);
    if (name.empty() || ec != std::errc() || ptr != last)
      throw std::invalid_argument("'" + name + "' is not a valid log level");
  }
  SetLogLevel(LibraryToLogLevel(libraryLevel));
}

void TFFLogger::SetOnLog(TLogEvent handler) {
  std::lock_guard guard(fHandlerLock);
  fOnLog = std::move(handler);
}

bool TFFLogger::ShouldDeliver(TLogLevel level) const {
  const TLogLevel current = LogLevel();
  return level <= current || (level == llVerbose && current > llQuiet);
}

void TFFLogger::Log(const void* sender, TLogLevel level, const std::string& msg) {
  if (!ShouldDeliver(level)) return;
  Deliver(TLogInfo{sender, CurrentThreadID(), level, msg});
}

void TFFLogger::LogFmt(const void* sender, TLogLevel level, const char* fmt, ...) {
  if (!ShouldDeliver(level)) return;
  va_list args;
  va_start(args, fmt);
  std::string text;
  {
    TVaListEnd end{args};
    text = FormatV(fmt, args);
  }
  Deliver(TLogInfo{sender, CurrentThreadID(), level, std::move(text)});
}

void TFFLogger::Deliver(const TLogInfo& info) {
  TLogEvent handler;
  {
    std::lock_guard guard(fHandlerLock);
    handler = fOnLog;
  }
  if (!handler) return;
  DeliverEvent(TriggerEventInMainThread(),
               [&] { handler(info.Sender, info.ThreadID, info.LogLevel, info.LogMsg); });
}

void TFFLogger::AttachToLibraries() {
  av_log_set_callback(&TFFLogger::LibraryLogCallback);
  fAttached.store(true, std::memory_order_release);
  std::lock_guard guard(fLevelLock);
  PushLevelToLibraries(LogLevel());
}

void TFFLogger::DetachFromLibraries() {
  av_log_set_callback(&av_log_default_callback);
  fAttached.store(false, std::memory_order_release);
}

void TFFLogger::LibraryLogCallback(void* context, int level, const char* fmt, va_list args) {
  TFFLogger* self = Instance();
  if (self == nullptr) return;
  if (level >= 0) level &= 0xff;  // the bits above carry a colour hint
  if (level > g_libraryLevel.load(std::memory_order_acquire)) return;

  const std::string prefix = ContextPrefix(context);
  char text[LibraryLogBufferSize] = {};
  const int n = std::vsnprintf(text, sizeof text, fmt, args);
  if (n < 0) return;
  // A cut message has lost its line feed; it ends its line all the same.
  const bool cut = n >= LibraryLogBufferSize;
  const std::size_t length = cut ? sizeof text - 1 : static_cast<std::size_t>(n);

  const unsigned long threadID = CurrentThreadID();
  const TLogLevel logLevel = LibraryToLogLevel(level);
  std::vector<std::string> lines =
      g_logList.Add(threadID, prefix, std::string_view(text, length), cut);
  for (std::string& line : lines)
    self->Deliver(TLogInfo{self, threadID, logLevel, std::move(line)});
}

TFFLogger& GetLogger() {
  std::lock_guard guard(g_createLock);
  if (TFFLogger* logger = TFFLogger::Instance()) return *logger;
  g_ownedLogger = std::make_unique<TFFLogger>();
  return *g_ownedLogger;
}

void FreeLogger() {
  std::unique_ptr<TFFLogger> owned;
  {
    std::lock_guard guard(g_createLock);
    owned = std::move(g_ownedLogger);
  }
}

int LibraryLogLevel() { return g_libraryLevel.load(std::memory_order_acquire); }

unsigned long CurrentThreadID() {
  thread_local const unsigned long id = static_cast<unsigned long>(gettid());
  return id;
}

}  // namespace quenza
