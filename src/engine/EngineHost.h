#pragma once
// What the engine needs from the process around it: the logger, the library state
// and the process-wide codec lock. The media layer installs the host when its loader
// starts; without one the engine logs nowhere and treats the libraries as not loaded.

#include <mutex>
#include <string>

#include "engine/LogLevel.h"

namespace quenza {

class TEngineHost {
 public:
  virtual ~TEngineHost() = default;
  // True when the engine's library set is loaded and verified.
  virtual bool EngineLibrariesLoaded() = 0;
  virtual void Log(const void* sender, TLogLevel level, const std::string& msg) = 0;
  virtual void SetLogLevelByName(const std::string& name) = 0;
  virtual TLogLevel GetLogLevel() = 0;
  // True on the application's main thread.
  virtual bool OnMainThread() { return false; }
  // Runs the calls queued for the main thread (called there while it waits for a worker,
  // so that a worker blocked on the main thread can finish).
  virtual void ServiceMainThread() {}
};

void SetEngineHost(TEngineHost* host);
TEngineHost* GetEngineHost();

// Serialises decoder and encoder opening and closing across all engines and players.
std::recursive_mutex& CodecLock();

// Guards the preview flags of every engine; preview work is done while holding it.
std::mutex& PreviewLock();

}  // namespace quenza
