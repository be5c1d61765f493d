#include "media/FFmpegLogger.h"
#include "support/TestDispatcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/version.h>
}

#include "LogCollector.h"
#include "media/Dispatcher.h"
#include "media/FFmpegLoader.h"

namespace quenza {
namespace {

using test::TLogCollector;
using test::TLogRecord;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Something that looks like a library context: its first member is its class.
struct TFakeContext {
  const AVClass* Class;
};

AVClass MakeClass(const char* name) {
  AVClass cls{};
  cls.class_name = name;
  cls.item_name = av_default_item_name;
  cls.version = LIBAVUTIL_VERSION_INT;
  return cls;
}

std::string ContextPrefix(const char* name, const void* context) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, "[%s @ %p]", name, context);
  return buffer;
}

class LoggerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FFLoader().LoadLibraries(ConverterLibraries)) << FFLoader().LastError();
    GetLogger().SetTriggerEventInMainThread(false);
    GetLogger().SetOnLog(fCollector.Handler());
  }
  void TearDown() override { GetLogger().SetOnLog(nullptr); }

  TMediaProcessScope fScope;
  TLogCollector fCollector;
};
using media_Logger = LoggerFixture;

TEST_F(media_Logger, PartialLibraryLineIsJoinedAndPrefixedOnceByItsFirstContext) {
  const AVClass firstClass = MakeClass("joiner");
  const AVClass secondClass = MakeClass("other");
  TFakeContext first{&firstClass};
  TFakeContext second{&secondClass};

  av_log(&first, AV_LOG_WARNING, "first part %d", 1);
  EXPECT_THAT(fCollector.Messages(), IsEmpty());
  av_log(&second, AV_LOG_WARNING, ", second part\nthird line\n");
  av_log(nullptr, AV_LOG_WARNING, "no context\n");

  const std::vector<TLogRecord> records = fCollector.Records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].Msg, ContextPrefix("joiner", &first) + "first part 1, second part");
  EXPECT_EQ(records[1].Msg, "third line");
  EXPECT_EQ(records[2].Msg, "no context");
  for (const TLogRecord& r : records) {
    EXPECT_EQ(r.Sender, &GetLogger());
    EXPECT_EQ(r.ThreadID, CurrentThreadID());
    EXPECT_EQ(r.Level, llWarning);
  }
}

TEST_F(media_Logger, LinesOfInterleavedThreadsStaySeparate) {
  // The two threads take turns so that each has a partial line pending while the
  // other one logs.
  std::mutex lock;
  std::condition_variable turnChanged;
  int turn = 0;
  auto step = [&](int mine, const char* text) {
    std::unique_lock guard(lock);
    turnChanged.wait(guard, [&] { return turn == mine; });
    av_log(nullptr, AV_LOG_ERROR, "%s", text);
    ++turn;
    turnChanged.notify_all();
  };
  unsigned long idA = 0, idB = 0;
  std::thread a([&] {
    idA = CurrentThreadID();
    step(0, "alpha one, ");
    step(2, "alpha two\n");
  });
  std::thread b([&] {
    idB = CurrentThreadID();
    step(1, "beta one, ");
    step(3, "beta two\n");
  });
  a.join();
  b.join();

  const std::vector<TLogRecord> records = fCollector.Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].Msg, "alpha one, alpha two");
  EXPECT_EQ(records[0].ThreadID, idA);
  EXPECT_EQ(records[1].Msg, "beta one, beta two");
  EXPECT_EQ(records[1].ThreadID, idB);
  EXPECT_NE(idA, idB);
}

TEST_F(media_Logger, OverlongLibraryMessageIsCutToTheBufferAndEndsItsLine) {
  const std::string longText(5000, 'x');
  const std::size_t kept = LibraryLogBufferSize - 1;
  struct Case {
    const char* head;
    std::vector<std::string> expected;
  } cases[] = {
      {"", {std::string(kept, 'x')}},
      {"line one\n", {"line one", std::string(kept - 9, 'x')}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    fCollector.Clear();
    av_log(nullptr, AV_LOG_ERROR, "%s%s\n", c.head, longText.c_str());
    av_log(nullptr, AV_LOG_ERROR, "after\n");
    std::vector<std::string> expected = c.expected;
    expected.push_back("after");
    EXPECT_EQ(fCollector.Messages(), expected);
  }
}

TEST_F(media_Logger, LibraryMessagesAboveTheLibraryLevelAreDropped) {
  struct Case {
    TLogLevel logLevel;
    int libraryLevel;
    bool delivered;
  } cases[] = {
      {llInfo, AV_LOG_INFO, true},     {llInfo, AV_LOG_VERBOSE, false},
      {llWarning, AV_LOG_INFO, false}, {llWarning, AV_LOG_ERROR, true},
      {llQuiet, AV_LOG_PANIC, false},  {llDebug, AV_LOG_DEBUG, true},
      {llDebug, AV_LOG_TRACE, false},  {llVerbose, AV_LOG_VERBOSE, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "LogLevel " << c.logLevel << ", message level " << c.libraryLevel);
    fCollector.Clear();
    GetLogger().SetLogLevel(c.logLevel);
    EXPECT_EQ(av_log_get_level(), LogLevelToLibrary(c.logLevel));
    EXPECT_EQ(LibraryLogLevel(), LogLevelToLibrary(c.logLevel));
    av_log(nullptr, c.libraryLevel, "message\n");
    const std::vector<TLogRecord> records = fCollector.Records();
    ASSERT_EQ(records.size(), c.delivered ? 1u : 0u);
    if (c.delivered) {
      EXPECT_EQ(records[0].Level, LibraryToLogLevel(c.libraryLevel));
    }
  }
}

TEST_F(media_Logger, LevelReachesTheLibrariesOnlyWhileAvutilIsBound) {
  ASSERT_EQ(av_log_get_level(), AV_LOG_INFO);
  FFLoader().UnloadLibrary(liAVUtil);
  GetLogger().SetLogLevel(llError);
  EXPECT_EQ(av_log_get_level(), AV_LOG_INFO);
  EXPECT_EQ(LibraryLogLevel(), AV_LOG_INFO);
  av_log_set_level(AV_LOG_QUIET);  // keep the default callback from printing
  av_log(nullptr, AV_LOG_ERROR, "while detached\n");
  EXPECT_THAT(fCollector.Messages(), IsEmpty());

  ASSERT_TRUE(FFLoader().LoadLibraries(TLibrarySet{liAVUtil})) << FFLoader().LastError();
  EXPECT_EQ(av_log_get_level(), AV_LOG_ERROR);
  EXPECT_EQ(LibraryLogLevel(), AV_LOG_ERROR);
  av_log(nullptr, AV_LOG_ERROR, "attached again\n");
  EXPECT_THAT(fCollector.Messages(), ElementsAre("attached again"));
}

TEST_F(media_Logger, LogDeliversByLevelWithVerboseUnlessQuiet) {
  struct Case {
    TLogLevel logLevel;
    TLogLevel msgLevel;
    bool delivered;
  } cases[] = {
      {llError, llVerbose, true}, {llQuiet, llVerbose, false}, {llPanic, llVerbose, true},
      {llError, llError, true},   {llError, llFatal, true},    {llError, llWarning, false},
      {llError, llDebug, false},  {llQuiet, llPanic, false},   {llInfo, llVerbose, true},
      {llDebug, llDebug, true},   {llVerbose, llDebug, false},
  };
  const int sender = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "LogLevel " << c.logLevel << ", message level " << c.msgLevel);
    fCollector.Clear();
    GetLogger().SetLogLevel(c.logLevel);
    GetLogger().Log(&sender, c.msgLevel, "plain");
    GetLogger().LogFmt(&sender, c.msgLevel, "formatted %d", 7);
    const std::vector<TLogRecord> records = fCollector.Records();
    if (!c.delivered) {
      EXPECT_THAT(records, IsEmpty());
      continue;
    }
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].Msg, "plain");
    EXPECT_EQ(records[1].Msg, "formatted 7");
    for (const TLogRecord& r : records) {
      EXPECT_EQ(r.Sender, &sender);
      EXPECT_EQ(r.Level, c.msgLevel);
      EXPECT_EQ(r.ThreadID, CurrentThreadID());
    }
  }
}

TEST_F(media_Logger, LogFmtFormatsTextLongerThanItsFirstBuffer) {
  const std::string part(1000, 'y');
  GetLogger().LogFmt(this, llError, "%s|%d|%s", part.c_str(), -42, "end");
  EXPECT_THAT(fCollector.Messages(), ElementsAre(part + "|-42|end"));
}

TEST(media_LogLevel, SetLogLevelByNameMapsNamesAndNumbers) {
  TMediaProcessScope scope;
  struct Case {
    const char* name;
    TLogLevel expected;
  } cases[] = {
      {"quiet", llQuiet},     {"PANIC", llPanic}, {"Fatal", llFatal},     {"error", llError},
      {"WARNING", llWarning}, {"info", llInfo},   {"VeRbOsE", llVerbose}, {"debug", llDebug},
      {"20", llError},        {"-100", llQuiet},  {"-8", llQuiet},        {"-1", llPanic},
      {"7", llPanic},         {"8", llFatal},     {"47", llVerbose},      {"48", llDebug},
      {"1000", llDebug},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GetLogger().SetLogLevel(c.expected == llInfo ? llDebug : llInfo);
    GetLogger().SetLogLevelByName(c.name);
    EXPECT_EQ(GetLogger().LogLevel(), c.expected);
  }
  for (const char* bad : {"", "loud", "12abc", " 16", "info ", "99999999999"}) {
    SCOPED_TRACE(bad);
    GetLogger().SetLogLevel(llFatal);
    EXPECT_THROW(GetLogger().SetLogLevelByName(bad), std::invalid_argument);
    EXPECT_EQ(GetLogger().LogLevel(), llFatal);
  }
}

TEST(media_LogLevel, MappingBetweenLogLevelsAndLibraryLevels) {
  const int toLibrary[] = {-8, 0, 8, 16, 24, 32, 40, 48};
  for (int i = llQuiet; i <= llDebug; ++i) {
    const auto level = static_cast<TLogLevel>(i);
    EXPECT_EQ(LogLevelToLibrary(level), toLibrary[i]) << i;
    EXPECT_EQ(LibraryToLogLevel(toLibrary[i]), level) << i;
  }
  struct Case {
    int library;
    TLogLevel expected;
  } fromLibrary[] = {
      {-100, llQuiet}, {-9, llQuiet}, {-8, llQuiet},   {-1, llPanic},   {0, llPanic},
      {7, llPanic},    {8, llFatal},  {20, llError},   {31, llWarning}, {39, llInfo},
      {47, llVerbose}, {56, llDebug}, {1000, llDebug},
  };
  for (const Case& c : fromLibrary)
    EXPECT_EQ(LibraryToLogLevel(c.library), c.expected) << c.library;
}

TEST(media_LoggerInstance, OnlyOneLoggerExists) {
  TMediaProcessScope scope;
  TFFLogger& first = GetLogger();
  try {
    TFFLogger second;
    ADD_FAILURE() << "a second logger was created";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Allow creating only one instance of TFFLogger.");
  }
  EXPECT_EQ(TFFLogger::Instance(), &first);
  EXPECT_EQ(&GetLogger(), &first);

  // A logger made by its owner is the one GetLogger hands out while it lives, and it
  // takes over the libraries' messages from the freed one.
  ASSERT_TRUE(FFLoader().LoadLibraries(TLibrarySet{liAVUtil})) << FFLoader().LastError();
  FreeLogger();
  EXPECT_EQ(TFFLogger::Instance(), nullptr);
  {
    TFFLogger own;
    EXPECT_EQ(&GetLogger(), &own);
    EXPECT_THROW(TFFLogger(), std::logic_error);
    TLogCollector collector;
    own.SetTriggerEventInMainThread(false);
    own.SetOnLog(collector.Handler());
    av_log(nullptr, AV_LOG_ERROR, "to the new logger\n");
    EXPECT_THAT(collector.Messages(), ElementsAre("to the new logger"));
    own.SetOnLog(nullptr);
  }
  EXPECT_EQ(TFFLogger::Instance(), nullptr);
}

// Ends the process when not disarmed in time: a deadlock would otherwise hang the test.
class TWatchdog {
 public:
  explicit TWatchdog(std::chrono::seconds limit)
      : fThread([this, limit] {
          std::unique_lock guard(fLock);
          if (!fDisarmed.wait_for(guard, limit, [this] { return fDone; })) {
            std::fprintf(stderr, "watchdog: test deadlocked\n");
            std::_Exit(3);
          }
        }) {}
  ~TWatchdog() {
    {
      std::lock_guard guard(fLock);
      fDone = true;
    }
    fDisarmed.notify_all();
    fThread.join();
  }

 private:
  std::mutex fLock;
  std::condition_variable fDisarmed;
  bool fDone = false;
  std::thread fThread;
};

using test::TDispatcherInstall;
using test::TTestDispatcher;

TEST_F(media_Logger, DeliveryRunsOnTheMainThreadWhileTheLoggingThreadWaits) {
  TTestDispatcher dispatcher;
  TDispatcherInstall install(&dispatcher);
  const std::thread::id mainThread = std::this_thread::get_id();

  for (bool inMainThread : {true, false}) {
    SCOPED_TRACE(inMainThread);
    GetLogger().SetTriggerEventInMainThread(inMainThread);
    TLogCollector collector;
    TLogEvent collect = collector.Handler();
    struct TResetHandler {
      ~TResetHandler() { GetLogger().SetOnLog(nullptr); }
    } resetHandler;
    // On the library line the handler logs one of its own while the worker waits.
    GetLogger().SetOnLog([&](const void* s, unsigned long t, TLogLevel l, const std::string& m) {
      collect(s, t, l, m);
      if (m == "library line") av_log(nullptr, AV_LOG_ERROR, "from handler\n");
    });

    TWatchdog watchdog(std::chrono::seconds(60));
    std::atomic<bool> workerDone{false};
    std::size_t seenAfterLog = 0, seenAfterLibraryLine = 0;
    std::thread::id workerThread;
    std::thread worker([&] {
      workerThread = std::this_thread::get_id();
      GetLogger().Log(this, llError, "from worker");
      seenAfterLog = collector.Records().size();
      av_log(nullptr, AV_LOG_ERROR, "library ");
      av_log(nullptr, AV_LOG_ERROR, "line\n");
      seenAfterLibraryLine = collector.Records().size();
      workerDone = true;
    });
    dispatcher.PumpUntil([&] { return workerDone.load(); });
    worker.join();

    EXPECT_EQ(seenAfterLog, 1u);
    EXPECT_EQ(seenAfterLibraryLine, 3u);
    const std::vector<TLogRecord> records = collector.Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].Msg, "from worker");
    EXPECT_EQ(records[1].Msg, "library line");
    EXPECT_EQ(records[2].Msg, "from handler");
    const std::thread::id expected = inMainThread ? mainThread : workerThread;
    EXPECT_EQ(records[0].HandlerThread, expected);
    EXPECT_EQ(records[1].HandlerThread, expected);
    EXPECT_NE(records[0].ThreadID, CurrentThreadID());
    EXPECT_EQ(records[1].ThreadID, records[0].ThreadID);
  }
}

}  // namespace
}  // namespace quenza
