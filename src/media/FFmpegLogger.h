#pragma once
// The process-wide logger. It receives the media libraries' messages through their
// log callback and the components' own messages through Log/LogFmt, and hands
// complete lines to one OnLog handler.

#include <atomic>
#include <cstdarg>
#include <functional>
#include <mutex>
#include <string>

#include "engine/LogLevel.h"
#include "media/FFBaseComponent.h"

namespace quenza {

using TLogEvent = std::function<void(const void* sender, unsigned long threadID, TLogLevel level,
                                     const std::string& msg)>;

// What one delivery hands to OnLog.
struct TLogInfo {
  const void* Sender = nullptr;
  unsigned long ThreadID = 0;
  TLogLevel LogLevel = llInfo;
  std::string LogMsg;
};

// Size of the buffer a library message is formatted into; longer messages are cut.
inline constexpr int LibraryLogBufferSize = 2048;

class TFFLogger : public TFFBaseComponent {
 public:
  // Becomes the process's logger, attached to the libraries when avutil is bound.
  // Throws std::logic_error "Allow creating only one instance of TFFLogger." when one
  // exists already; no second one is created.
  TFFLogger();
  // Detaches from the libraries. No other thread may be logging through it by then.
  ~TFFLogger() override;

  // The existing logger or nullptr; never creates one.
  static TFFLogger* Instance();

  // Read from any thread. Setting a different level also sets the libraries' level
  // when avutil is bound.
  TLogLevel LogLevel() const { return fLogLevel.load(std::memory_order_acquire); }
  void SetLogLevel(TLogLevel level);

  // "quiet", "panic", "fatal", "error", "warning", "info", "verbose", "debug" (any
  // case) or a decimal number on the libraries' scale, mapped to TLogLevel. Any other
  // text throws std::invalid_argument and leaves the level unchanged.
  void SetLogLevelByName(const std::string& name);

  // The handler may be set from any thread; it is called on the main thread when
  // TriggerEventInMainThread is true (and a dispatcher is installed), otherwise on
  // the logging thread.
  void SetOnLog(TLogEvent handler);

  // Delivered when level <= LogLevel, or when level is llVerbose and LogLevel is
  // above llQuiet.
  void Log(const void* sender, TLogLevel level, const std::string& msg);
  void LogFmt(const void* sender, TLogLevel level, const char* fmt, ...)
      __attribute__((format(printf, 4, 5)));

  // Installs the library log callback and pushes the current level to the libraries.
  void AttachToLibraries();
  // Puts the libraries' default callback back.
  void DetachFromLibraries();

  // The libraries' log callback: drops messages above the libraries' level, prefixes
  // a line with its context's name and address, buffers partial lines per thread and
  // delivers complete ones.
  static void LibraryLogCallback(void* context, int level, const char* fmt, va_list args);

 private:
  bool ShouldDeliver(TLogLevel level) const;
  void Deliver(const TLogInfo& info);
  void PushLevelToLibraries(TLogLevel level);

  std::atomic<TLogLevel> fLogLevel{llInfo};
  std::atomic<bool> fAttached{false};
  // Serialises level changes so that the libraries' level follows LogLevel.
  std::mutex fLevelLock;
  // Guards fOnLog; never held while the handler runs.
  std::mutex fHandlerLock;
  TLogEvent fOnLog;
};

// The process's logger, created on first use.
TFFLogger& GetLogger();
// Frees the logger GetLogger created, if any (process end).
void FreeLogger();

// The libraries' current level as last set by the logger; initially 32.
int LibraryLogLevel();

// Stable numeric id of the calling thread (its kernel thread id).
unsigned long CurrentThreadID();

}  // namespace quenza
