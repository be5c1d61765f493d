#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "TranscodeFixture.h"

namespace quenza::test {
namespace {

using WorkerThread = TranscodeTest;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct TerminateLog {
  std::atomic<int> count{0};
  std::atomic<bool> completed{false}, error{false};
  std::thread::id thread;
  std::string message;
  void Attach(TCustomFFmpeg& engine) {
    engine.OnTerminate = [this](TCustomFFmpeg* e) {
      thread = std::this_thread::get_id();
      completed = e->Completed();
      error = e->ErrorOccurred();
      message = e->ErrorMessage();
      ++count;
    };
  }
};

TEST_F(WorkerThread, StartWithoutOutputTerminatesWithTheError) {
  TCustomFFmpeg engine;
  engine.Reset();
  TerminateLog log;
  log.Attach(engine);
  EXPECT_FALSE(engine.StartConvert(true));
  EXPECT_EQ(log.count, 1);
  EXPECT_TRUE(log.error);
  EXPECT_EQ(log.message, "At least one output file must be specified");
  EXPECT_TRUE(host.HasLine(llQuiet, "At least one output file must be specified"));
  EXPECT_FALSE(engine.StartConvert(true)) << "a terminated engine does not start again";
  engine.StopConvert(true);
  EXPECT_EQ(log.count, 1);
}

TEST_F(WorkerThread, RunsInTheBackgroundOnceAndReportsCompletion) {
  const std::string input = MakeMedia(Clip("mp4", "libx264", "aac", 1.0));
  TCustomFFmpeg engine;
  ASSERT_EQ(Prepare(engine, {{input, {}}}, {{"vcodec", "mpeg4"}}, OutPath("bg.avi")), "");
  TerminateLog log;
  log.Attach(engine);
  ASSERT_TRUE(engine.StartConvert(true));
  EXPECT_FALSE(engine.StartConvert(true)) << "second start";
  engine.AbortConvert(false);
  engine.StopConvert(true);
  EXPECT_EQ(log.count, 1);
  EXPECT_NE(log.thread, std::this_thread::get_id());
  EXPECT_EQ(engine.OpenedEncoderCount() + engine.OpenedDecoderCount(), 0);

  // Uninterrupted, in the caller's thread.
  TCustomFFmpeg inCaller;
  ASSERT_EQ(Prepare(inCaller, {{input, {}}}, {{"vcodec", "mpeg4"}}, OutPath("fg.avi")), "");
  TerminateLog log2;
  log2.Attach(inCaller);
  EXPECT_FALSE(inCaller.StartConvert(false));
  EXPECT_EQ(log2.count, 1);
  EXPECT_EQ(log2.thread, std::this_thread::get_id());
  EXPECT_TRUE(log2.completed);
  EXPECT_FALSE(log2.error);
  EXPECT_EQ(CountDecodedFrames(OutPath("fg.avi"), AVMEDIA_TYPE_VIDEO), 25);
}

TEST_F(WorkerThread, StopWithWaitEndsARunningConversion) {
  const std::string input = MakeMedia(Clip("mp4", "libx264", "aac", 10.0));
  TCustomFFmpeg engine;
  ASSERT_EQ(Prepare(engine, {{input, {{"re", "1"}}}}, {{"vcodec", "mpeg4"}, {"acodec", "aac"}}, OutPath("stop.mkv")), "");
  TerminateLog log;
  log.Attach(engine);
  ASSERT_TRUE(engine.StartConvert(true, TCustomFFmpeg::tpLower));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  engine.StopConvert(true);
  EXPECT_FALSE(engine.Running());
  EXPECT_EQ(log.count, 1);
  EXPECT_FALSE(log.completed);
  EXPECT_FALSE(log.error);
  MediaInfo info = ReadMediaInfo(OutPath("stop.mkv"));
  EXPECT_LT(info.durationUs, 5000000) << "stopped early, trailer written";
}

TEST_F(WorkerThread, StopOnANeverStartedTaskDeliversFromAnotherThread) {
  const std::string input = MakeMedia(Clip("mp4", "libx264", "", 1.0));
  TCustomFFmpeg engine;
  ASSERT_EQ(Prepare(engine, {{input, {}}}, {{"vcodec", "mpeg4"}}, OutPath("never.avi")), "");
  TerminateLog log;
  log.Attach(engine);
  engine.StopConvert(true);
  EXPECT_EQ(log.count, 1);
  EXPECT_NE(log.thread, std::this_thread::get_id());
  EXPECT_TRUE(engine.TerminateEventSet());
  engine.StopConvert(true);
  EXPECT_FALSE(engine.StartConvert(true));
  EXPECT_EQ(log.count, 1);
}

TEST_F(WorkerThread, EncoderFailureTerminatesOnceAndLeavesNothing) {
  const std::string input = MakeMedia(Clip("mp4", "libx264", "", 1.0));
  TCustomFFmpeg engine;
  const std::string out = OutPath("fail.mkv");
  ASSERT_EQ(Prepare(engine, {{input, {}}}, {{"vcodec", "libx264"}, {"preset", "nosuchpreset"}}, out), "");
  ASSERT_TRUE(std::filesystem::exists(out));
  TerminateLog log;
  log.Attach(engine);
  ASSERT_TRUE(engine.StartConvert(true));
  engine.AbortConvert(true);
  EXPECT_EQ(log.count, 1);
  EXPECT_TRUE(log.error);
  EXPECT_EQ(log.message.rfind("Error while opening encoder for output stream #0.0 (Video)", 0), 0u) << log.message;
  EXPECT_EQ(engine.OpenedEncoderCount() + engine.OpenedDecoderCount(), 0);
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(WorkerThread, PauseStopsProgressAndKeepsTheOutputIdentical) {
  MediaSpec spec = Clip("mp4", "libx264", "aac", 3.0);
  const std::string input = MakeMedia(spec);
  const std::string straight = OutPath("straight.avi"), paused = OutPath("paused.avi");
  ASSERT_EQ(Convert({{input, {}}}, {{"vcodec", "mpeg4"}, {"acodec", "libmp3lame"}}, straight), "");

  TCustomFFmpeg engine;
  ASSERT_EQ(Prepare(engine, {{input, {{"re", "1"}}}}, {{"vcodec", "mpeg4"}, {"acodec", "libmp3lame"}}, paused), "");
  TerminateLog log;
  log.Attach(engine);
  std::atomic<int> frames{0};
  engine.OnProgress = [&](TCustomFFmpeg*, int, int64_t, int64_t, int64_t, float, float, int, int f) { frames = f; };
  engine.SetProgressInterval(0);
  ASSERT_TRUE(engine.StartConvert(true));
  for (int i = 0; i < 4; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    engine.PauseConvert();
    // The worker finishes the packet in hand and stops at its next gate.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int before = frames;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(frames, before) << "no progress while paused";
    engine.ResumeConvert();
  }
  engine.AbortConvert(false);
  while (engine.Running()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  engine.StopConvert(true);
  ASSERT_EQ(log.count, 1);
  EXPECT_FALSE(log.completed) << "stopped";

  // A paused run that is resumed to the end equals the straight one.
  TCustomFFmpeg full;
  ASSERT_EQ(Prepare(full, {{input, {}}}, {{"vcodec", "mpeg4"}, {"acodec", "libmp3lame"}}, paused), "");
  TerminateLog log2;
  log2.Attach(full);
  ASSERT_TRUE(full.StartConvert(true));
  for (int i = 0; i < 5; ++i) {
    full.PauseConvert();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    full.ResumeConvert();
  }
  while (log2.count == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(log2.completed);
  const std::string a = ReadAll(paused), b = ReadAll(straight);
  EXPECT_EQ(a.size(), b.size());
  EXPECT_TRUE(a == b) << "the paused run's output differs from the straight run's";
}

}  // namespace
}  // namespace quenza::test
