// The media layer's engine host and the process start and end steps.

#include <fenv.h>

#include <atomic>
#include <mutex>
#include <stdexcept>

#include "engine/EngineHost.h"
#include "engine/FFmpegException.h"
#include "media/Dispatcher.h"
#include "media/FFmpegLoader.h"
#include "media/FFmpegLogger.h"

namespace quenza {

namespace {

class TMediaEngineHost final : public TEngineHost {
 public:
  constexpr TMediaEngineHost() = default;

  bool EngineLibrariesLoaded() override { return FFLoader().LibrariesLoaded(ConverterLibraries); }

  void Log(const void* sender, TLogLevel level, const std::string& msg) override {
    GetLogger().Log(sender, level, msg);
  }

  // A bad level text is an engine error like any other bad option value.
  void SetLogLevelByName(const std::string& name) override {
    try {
      GetLogger().SetLogLevelByName(name);
    } catch (const std::invalid_argument& e) {
      throw FFmpegException(e.what());
    }
  }

  TLogLevel GetLogLevel() override { return GetLogger().LogLevel(); }

  bool OnMainThread() override {
    TMainThreadDispatcher* d = GetMainThreadDispatcher();
    return d && d->IsMainThread();
  }

  void ServiceMainThread() override {
    if (TMainThreadDispatcher* d = GetMainThreadDispatcher(); d && d->IsMainThread()) d->ProcessPending();
  }
};

constinit TMediaEngineHost g_host;
constinit std::atomic<bool> g_scopeActive{false};

}  // namespace

TMediaProcessScope::TMediaProcessScope() {
  bool expected = false;
  if (!g_scopeActive.compare_exchange_strong(expected, true))
    throw std::logic_error("Only one TMediaProcessScope may exist at a time.");
  if (fegetenv(&fSavedEnv) != 0) {
    g_scopeActive.store(false);
    throw std::runtime_error("Cannot save the floating-point environment.");
  }
  // The libraries expect every floating-point exception to be masked.
  if (fedisableexcept(FE_ALL_EXCEPT) == -1) {
    g_scopeActive.store(false);
    throw std::runtime_error("Cannot mask the floating-point exceptions.");
  }
  FFLoader();
  SetEngineHost(&g_host);
}

TMediaProcessScope::~TMediaProcessScope() {
  // Wait for any codec opening or closing still in progress.
  { std::lock_guard guard(CodecLock()); }
  if (fesetenv(&fSavedEnv) != 0) {
    if (TFFLogger* logger = TFFLogger::Instance())
      logger->Log(this, llError, "Cannot restore the floating-point environment.");
  }
  SetEngineHost(nullptr);
  FFLoader().Reset();
  FreeLogger();
  g_scopeActive.store(false);
}

}  // namespace quenza
