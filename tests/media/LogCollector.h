#pragma once
// Collects what the logger delivers, from any thread.

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "media/FFmpegLogger.h"

namespace quenza::test {

struct TLogRecord {
  const void* Sender;
  unsigned long ThreadID;
  TLogLevel Level;
  std::string Msg;
  std::thread::id HandlerThread;  // where the handler ran
};

class TLogCollector {
 public:
  TLogEvent Handler() {
    return [this](const void* sender, unsigned long threadID, TLogLevel level,
                  const std::string& msg) {
      std::lock_guard guard(fLock);
      fRecords.push_back({sender, threadID, level, msg, std::this_thread::get_id()});
    };
  }

  std::vector<TLogRecord> Records() const {
    std::lock_guard guard(fLock);
    return fRecords;
  }

  std::vector<std::string> Messages() const {
    std::lock_guard guard(fLock);
    std::vector<std::string> out;
    for (const TLogRecord& r : fRecords) out.push_back(r.Msg);
    return out;
  }

  void Clear() {
    std::lock_guard guard(fLock);
    fRecords.clear();
  }

 private:
  mutable std::mutex fLock;
  std::vector<TLogRecord> fRecords;
};

}  // namespace quenza::test
