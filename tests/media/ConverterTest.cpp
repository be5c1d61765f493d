// The converter component: task list, threading modes, events, stop and pause.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>

#include "media/Dispatcher.h"
#include "media/FFmpegLoader.h"
#include "media/FFmpegLogger.h"
#include "media/FFmpegVCL.h"
#include "support/TestDispatcher.h"
#include "support/TestMedia.h"

namespace quenza::test {
namespace {

class media_Converter : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scope_ = new TMediaProcessScope();
    GetLogger().SetLogLevel(llError);
    ASSERT_TRUE(FFLoader().LoadLibraries(ConverterLibraries));
  }
  static void TearDownTestSuite() {
    delete scope_;
    scope_ = nullptr;
  }
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("quenza-conv-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
            std::to_string(getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Out(const std::string& name) const { return (dir_ / name).string(); }

  static std::string Clip(double seconds) {
    MediaSpec s;
    s.container = "mp4";
    s.videoCodec = "libx264";
    s.audioCodec = "aac";
    s.width = 160;
    s.height = 120;
    s.duration = seconds;
    return MakeMedia(s);
  }
  // Options of a task whose input is read in real time.
  static TInputOptions RealTime() {
    TInputOptions o;
    o.ExtOptions = "re=1";
    return o;
  }
  static TOutputOptions Mpeg4() {
    TOutputOptions o;
    o.ExtOptions = "vcodec=mpeg4<CRLF>acodec=mp2";
    return o;
  }

  static TMediaProcessScope* scope_;
  std::filesystem::path dir_;
};
TMediaProcessScope* media_Converter::scope_ = nullptr;

struct Events {
  std::mutex lock;
  std::vector<TTerminateInfo> terminated;
  std::atomic<bool> final{false};
  std::atomic<int> finals{0};
  void Attach(TFFmpegVCL& conv) {
    conv.OnTerminate = [this](TCustomFFmpegVCL*, const TTerminateInfo& info) {
      std::lock_guard<std::mutex> g(lock);
      if (info.TaskIndex < 0) {
        ++finals;
        final = true;
      } else {
        terminated.push_back(info);
      }
    };
  }
  void WaitFinal() {
    for (int i = 0; i < 2000 && !final; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(final) << "no final terminate event";
  }
};

TEST_F(media_Converter, PropertiesAndRefusals) {
  TFFmpegVCL conv;
  EXPECT_STREQ(conv.Version(), "3.3");
  conv.SetProgressInterval(50);
  EXPECT_EQ(conv.ProgressInterval(), 100);
  conv.SetProgressInterval(250);
  EXPECT_EQ(conv.ProgressInterval(), 250);
  EXPECT_EQ(conv.AddTask(Out("missing.mp4")), -1);
  EXPECT_EQ(conv.LastError(), Out("missing.mp4") + ": No such file or directory");
  const int t = conv.AddTask(Clip(1.0));
  ASSERT_EQ(t, 0);
  ASSERT_NE(conv.TaskProbe(0, 0), nullptr);
  EXPECT_EQ(conv.TaskProbe(0, 0)->VideoStreamCount(), 1);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(conv.SetOutputFile(t, Out("o" + std::to_string(i) + ".avi"))) << i;
  EXPECT_FALSE(conv.SetOutputFile(t, Out("o20.avi")));
  EXPECT_EQ(conv.LastError(), "max output files 20 reached");
  conv.RemoveTask(0);
  EXPECT_EQ(conv.TaskCount(), 0);
  EXPECT_FALSE(std::filesystem::exists(Out("o0.avi"))) << "outputs never written are removed";
}

TEST_F(media_Converter, SequentialParallelAndCallerThread) {
  const std::string clip = Clip(0.6);
  for (int threads : {1, 2}) {
    TFFmpegVCL conv;
    Events ev;
    ev.Attach(conv);
    std::atomic<int> maxRunning{0};
    conv.SetTriggerEventInMainThread(false);
    conv.SetProgressInterval(100);
    conv.OnProgress = [&](TCustomFFmpegVCL* c, PProgressInfo) {
      int running = 0;
      for (int i = 0; i < 3; ++i) running += static_cast<TFFmpegVCL*>(c)->Task(i)->Running();
      if (running > maxRunning) maxRunning = running;
    };
    for (int i = 0; i < 3; ++i) {
      TInputOptions in = RealTime();
      TOutputOptions out = Mpeg4();
      ASSERT_EQ(conv.AddTask(clip, &in), i);
      ASSERT_TRUE(conv.SetOutputFile(i, Out(std::to_string(threads) + "-" + std::to_string(i) + ".avi"), &out));
    }
    conv.StartTask(threads);
    ev.WaitFinal();
    EXPECT_EQ(maxRunning, threads) << threads << " at once";
    ASSERT_EQ(ev.terminated.size(), 3u);
    for (const TTerminateInfo& t : ev.terminated) {
      EXPECT_TRUE(t.Finished);
      EXPECT_FALSE(t.Exception) << t.ExceptionMsg;
    }
    if (threads == 1) {
      for (int i = 0; i < 3; ++i) EXPECT_EQ(ev.terminated[i].TaskIndex, i);
    }
    // Finished: nothing can be added until the list is cleared.
    try {
      conv.AddTask(clip);
      ADD_FAILURE() << "AddTask after the final event";
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), "Cannot AddTask while working.");
    }
    conv.ClearTasks();
    EXPECT_EQ(conv.AddTask(clip), 0);
  }

  // Threads 0: every task in the caller's thread, the final event before StartTask returns.
  TFFmpegVCL conv;
  std::vector<std::thread::id> threadsSeen;
  std::vector<int> order;
  conv.OnTerminate = [&](TCustomFFmpegVCL*, const TTerminateInfo& info) {
    threadsSeen.push_back(std::this_thread::get_id());
    order.push_back(info.TaskIndex);
  };
  for (int i = 0; i < 2; ++i) {
    TOutputOptions out = Mpeg4();
    ASSERT_EQ(conv.AddTask(clip), i);
    ASSERT_TRUE(conv.SetOutputFile(i, Out("caller" + std::to_string(i) + ".avi"), &out));
  }
  conv.StartTask(0);
  EXPECT_EQ(order, (std::vector<int>{0, 1, -1}));
  for (auto id : threadsSeen) EXPECT_EQ(id, std::this_thread::get_id());
  EXPECT_TRUE(conv.AllDone());
}

TEST_F(media_Converter, FailuresEndTheirTaskAndTheRunGoesOn) {
  const std::string clip = Clip(0.4);
  TFFmpegVCL conv;
  Events ev;
  ev.Attach(conv);
  ASSERT_EQ(conv.AddTask(clip), 0);  // no output
  ASSERT_EQ(conv.AddTask(clip), 1);
  TOutputOptions bad;
  bad.ExtOptions = "vcodec=libx264<CRLF>preset=nosuchpreset";
  ASSERT_TRUE(conv.SetOutputFile(1, Out("bad.mkv"), &bad));
  ASSERT_EQ(conv.AddTask(clip), 2);
  TOutputOptions good = Mpeg4();
  ASSERT_TRUE(conv.SetOutputFile(2, Out("good.avi"), &good));
  conv.StartTask(1);
  ev.WaitFinal();
  ASSERT_EQ(ev.terminated.size(), 3u);
  EXPECT_TRUE(ev.terminated[0].Exception);
  EXPECT_EQ(ev.terminated[0].ExceptionMsg, "At least one output file must be specified");
  EXPECT_TRUE(ev.terminated[1].Exception);
  EXPECT_EQ(ev.terminated[1].ExceptionMsg.rfind("Error while opening encoder for output stream #0.0 (Video)", 0), 0u);
  EXPECT_FALSE(std::filesystem::exists(Out("bad.mkv")));
  EXPECT_TRUE(ev.terminated[2].Finished);
  EXPECT_FALSE(ev.terminated[2].Exception);
  EXPECT_GT(std::filesystem::file_size(Out("good.avi")), 0u);
  EXPECT_EQ(conv.Task(1)->OpenedEncoderCount() + conv.Task(1)->OpenedDecoderCount(), 0);
}

TEST_F(media_Converter, StopWithWaitDeliversEveryTaskThenTheFinalEvent) {
  const std::string clip = Clip(5.0);
  TFFmpegVCL conv;
  Events ev;
  ev.Attach(conv);
  for (int i = 0; i < 3; ++i) {
    TInputOptions in = RealTime();
    TOutputOptions out = Mpeg4();
    ASSERT_EQ(conv.AddTask(clip, &in), i);
    ASSERT_TRUE(conv.SetOutputFile(i, Out("s" + std::to_string(i) + ".avi"), &out));
  }
  conv.StartTask(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  conv.StopTasks(true);
  ev.WaitFinal();
  ASSERT_EQ(ev.terminated.size(), 3u);
  for (const TTerminateInfo& t : ev.terminated) EXPECT_FALSE(t.Finished);
  EXPECT_EQ(ev.finals, 1);
  EXPECT_GT(std::filesystem::file_size(Out("s0.avi")), 0u) << "the stopped task's output is finished";
  conv.ClearTasks();
  EXPECT_FALSE(std::filesystem::exists(Out("s1.avi"))) << "tasks that never ran leave no file";
}

TEST_F(media_Converter, HookFlagsThroughTheComponent) {
  const std::string clip = Clip(0.4);
  for (int mode = 0; mode < 2; ++mode) {
    TFFmpegVCL conv;
    Events ev;
    ev.Attach(conv);
    int calls = 0;
    conv.OnCustomHook = [&](TCustomFFmpegVCL*, PHookInfo info) {
      ++calls;
      EXPECT_TRUE(info->Update);
      EXPECT_FALSE(info->StopHook);
      EXPECT_EQ(info->FrameNumber, calls);
      for (int y = 0; y < info->Bitmap->Height(); ++y) std::memset(info->Bitmap->ScanLine(y), 255, info->Bitmap->Width() * 3);
      if (mode == 0) info->StopHook = true;
      if (mode == 1) info->Update = false;
    };
    TOutputOptions out = Mpeg4();
    out.CustomHook = true;
    ASSERT_EQ(conv.AddTask(clip), 0);
    const std::string file = Out("hook" + std::to_string(mode) + ".avi");
    ASSERT_TRUE(conv.SetOutputFile(0, file, &out));
    conv.StartTask(1);
    ev.WaitFinal();
    EXPECT_EQ(calls, mode == 0 ? 1 : 10);
    // Whatever the handler drew never reached the output.
    std::vector<int> counters = ReadFrameCounters(file);
    ASSERT_EQ(counters.size(), 10u);
    for (size_t i = mode == 0 ? 1 : 0; i < counters.size(); ++i) EXPECT_EQ(counters[i], static_cast<int>(i));
  }
}

// Many short runs with stop, pause and resume at random moments, handlers marshalled to
// a main thread that pumps: no deadlock, one terminate event per task, one final event per
// run, no codec left open, no empty file left behind.
TEST_F(media_Converter, StressStartPauseResumeStop) {
  const std::string clip = Clip(1.0);
  TTestDispatcher dispatcher;
  TDispatcherInstall install(&dispatcher);
  std::mt19937 rng(12345);
  auto ms = [&](int max) { return std::chrono::milliseconds(std::uniform_int_distribution<int>(0, max)(rng)); };
  const int cycles = 200;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    TFFmpegVCL conv;
    std::atomic<int> finals{0};
    std::vector<int> perTask(2, 0);
    std::mutex lock;
    std::atomic<int> progress{0};
    conv.SetProgressInterval(100);
    conv.OnProgress = [&](TCustomFFmpegVCL*, PProgressInfo) {
      EXPECT_TRUE(dispatcher.IsMainThread());
      ++progress;
    };
    conv.OnTerminate = [&](TCustomFFmpegVCL*, const TTerminateInfo& info) {
      // Terminate handlers marshal to the main thread themselves.
      dispatcher.Synchronize([&] {
        std::lock_guard<std::mutex> g(lock);
        if (info.TaskIndex < 0) {
          ++finals;
        } else {
          perTask.at(info.TaskIndex)++;
        }
      });
    };
    std::vector<std::string> outputs;
    for (int i = 0; i < 2; ++i) {
      TOutputOptions out = Mpeg4();
      ASSERT_EQ(conv.AddTask(clip), i);
      outputs.push_back(Out("c" + std::to_string(cycle) + "-" + std::to_string(i) + ".avi"));
      ASSERT_TRUE(conv.SetOutputFile(i, outputs.back(), &out));
    }
    conv.StartTask(1 + cycle % 2);
    dispatcher.PumpUntil([&, until = std::chrono::steady_clock::now() + ms(15)] {
      return std::chrono::steady_clock::now() >= until;
    });
    conv.PauseTasks();
    std::this_thread::sleep_for(ms(5));
    conv.ResumeTasks();
    dispatcher.PumpUntil([&, until = std::chrono::steady_clock::now() + ms(10)] {
      return std::chrono::steady_clock::now() >= until;
    });
    conv.StopTasks(cycle % 3 != 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    dispatcher.PumpUntil([&] { return finals > 0 || std::chrono::steady_clock::now() > deadline; });
    ASSERT_EQ(finals, 1) << "cycle " << cycle;
    conv.ClearTasks();
    dispatcher.PumpUntil([] { return true; });
    EXPECT_EQ(perTask, (std::vector<int>{1, 1})) << "cycle " << cycle;
    for (const std::string& f : outputs) {
      if (std::filesystem::exists(f)) {
        EXPECT_GT(std::filesystem::file_size(f), 0u) << f;
      }
    }
    std::error_code ec;
    for (const std::string& f : outputs) std::filesystem::remove(f, ec);
  }
}

}  // namespace
}  // namespace quenza::test
