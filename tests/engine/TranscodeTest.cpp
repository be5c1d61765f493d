#include <clocale>
#include <fstream>

#include "TranscodeFixture.h"

namespace quenza::test {
namespace {

std::string Mp4() { return MakeMedia(TranscodeTest::Clip("mp4", "libx264", "aac", 2.0)); }

TEST_F(TranscodeTest, ContainersAndCodecs) {
  struct Case {
    const char* file;
    Options options;
    const char* video;  // "" = no video stream
    const char* audio;
    int width;
  };
  const Case cases[] = {
      {"out.avi", {{"vcodec", "mpeg4"}, {"acodec", "libmp3lame"}, {"s", "160x120"}}, "mpeg4", "mp3", 160},
      {"out.mkv", {{"vcodec", "libx264"}, {"acodec", "aac"}}, "h264", "aac", 320},
      {"out.mpg", {{"vcodec", "mpeg2video"}, {"acodec", "mp2"}}, "mpeg2video", "mp2", 320},
      {"out.wmv", {{"vcodec", "wmv2"}, {"acodec", "wmav2"}}, "wmv2", "wmav2", 320},
      {"out.flv", {{"vcodec", "flv"}, {"acodec", "libmp3lame"}}, "flv1", "mp3", 320},
      {"out.mov", {{"vcodec", "mpeg4"}, {"acodec", "aac"}, {"s", "176x144"}}, "mpeg4", "aac", 176},
      {"out.mp3", {{"vn", "1"}, {"acodec", "libmp3lame"}}, "", "mp3", 0},
  };
  const std::string input = Mp4();
  for (const Case& c : cases) {
    const std::string out = OutPath(c.file);
    ASSERT_EQ(Convert({{input, {}}}, c.options, out), "") << c.file;
    MediaInfo info = ReadMediaInfo(out);
    const StreamInfo* v = info.Find(AVMEDIA_TYPE_VIDEO);
    const StreamInfo* a = info.Find(AVMEDIA_TYPE_AUDIO);
    if (*c.video) {
      ASSERT_NE(v, nullptr) << c.file;
      EXPECT_EQ(v->codecName, c.video) << c.file;
      EXPECT_EQ(v->width, c.width) << c.file;
      EXPECT_EQ(CountDecodedFrames(out, AVMEDIA_TYPE_VIDEO), 50) << c.file;
    } else {
      EXPECT_EQ(info.Count(AVMEDIA_TYPE_VIDEO), 0) << c.file;
    }
    ASSERT_NE(a, nullptr) << c.file;
    EXPECT_EQ(a->codecName, c.audio) << c.file;
    EXPECT_NEAR(info.durationUs / 1e6, 2.0, 0.15) << c.file;
    EXPECT_GT(MeasureRms(out), kToneRms * 0.7) << c.file << ": the tone survives";
  }
}

TEST_F(TranscodeTest, LimitsEndTheRun) {
  const std::string input = MakeMedia(Clip("mp4", "libx264", "aac", 3.0));
  const std::string frames = OutPath("frames.avi");
  ASSERT_EQ(Convert({{input, {}}}, {{"vcodec", "mpeg4"}, {"vframes", "10"}}, frames), "");
  EXPECT_EQ(CountDecodedFrames(frames, AVMEDIA_TYPE_VIDEO), 10);

  const std::string timed = OutPath("timed.mkv");
  ASSERT_EQ(Convert({{input, {}}}, {{"vcodec", "mpeg4"}, {"acodec", "aac"}, {"t", "1"}}, timed), "");
  EXPECT_NEAR(ReadMediaInfo(timed).durationUs / 1e6, 1.0, 0.1);
  EXPECT_NEAR(CountDecodedFrames(timed, AVMEDIA_TYPE_VIDEO), 25, 1);

  // A size limit stops the run at the first read after the limit; the file is finished.
  const std::string sized = OutPath("sized.avi");
  ASSERT_EQ(Convert({{input, {}}}, {{"vcodec", "mpeg4"}, {"b", "2000000"}, {"fs", "100000"}}, sized), "");
  const auto size = std::filesystem::file_size(sized);
  EXPECT_GT(size, 100000u);
  EXPECT_LT(size, 200000u);
  EXPECT_GT(ReadMediaInfo(sized).durationUs, 0);
}

TEST_F(TranscodeTest, StartTimeBeforeAndAfterTheInput) {
  MediaSpec spec = Clip("mp4", "libx264", "", 3.0);
  spec.gopSize = 5;
  const std::string input = MakeMedia(spec);
  // Before the input: the input is seeked (to the key frame at 1 s).
  const std::string seeked = OutPath("seeked.avi");
  ASSERT_EQ(Convert({{input, {{"ss", "1"}}}}, {{"vcodec", "mpeg4"}}, seeked), "");
  std::vector<int> counters = ReadFrameCounters(seeked);
  ASSERT_FALSE(counters.empty());
  EXPECT_EQ(counters.front(), 25);
  EXPECT_EQ(counters.back(), 74);
  // After the input: everything is read, output starts at 1.2 s.
  TCustomFFmpeg engine;
  const std::string later = OutPath("later.avi");
  ASSERT_EQ(Prepare(engine, {{input, {}}}, {{"vcodec", "mpeg4"}, {"ss", "1.2"}}, later), "");
  engine.Transcode();
  engine.ReleaseFiles(false);
  counters = ReadFrameCounters(later);
  ASSERT_FALSE(counters.empty());
  EXPECT_EQ(counters.front(), 30);
  EXPECT_EQ(counters.size(), 45u);
}

TEST_F(TranscodeTest, ShortestEndsWithTheFirstInput) {
  const std::string video = MakeMedia(Clip("mp4", "libx264", "", 1.0));
  const std::string audio = MakeMedia(Clip("wav", "", "pcm_s16le", 3.0));
  const std::string out = OutPath("short.mkv");
  ASSERT_EQ(Convert({{video, {}}, {audio, {}}}, {{"vcodec", "mpeg4"}, {"acodec", "aac"}, {"shortest", "1"}}, out), "");
  EXPECT_LT(ReadMediaInfo(out).durationUs / 1e6, 1.6);
  const std::string full = OutPath("full.mkv");
  ASSERT_EQ(Convert({{video, {}}, {audio, {}}}, {{"vcodec", "mpeg4"}, {"acodec", "aac"}}, full), "");
  EXPECT_NEAR(ReadMediaInfo(full).durationUs / 1e6, 3.0, 0.15);
}

TEST_F(TranscodeTest, JoinWritesTheInputsOneAfterAnother) {
  const std::string a = MakeMedia(Clip("mp4", "libx264", "aac", 1.0));
  const std::string b = MakeMedia(Clip("mp4", "libx264", "aac", 2.0));
  const std::string c = MakeMedia(Clip("avi", "mpeg4", "libmp3lame", 1.0));
  TCustomFFmpeg engine;
  const std::string out = OutPath("joined.mkv");
  ASSERT_EQ(Prepare(engine, {{a, {}}, {b, {}}, {c, {}}}, {{"vcodec", "mpeg4"}, {"acodec", "aac"}}, out, true), "");
  EXPECT_TRUE(engine.Joined());
  EXPECT_EQ(engine.OutputFileCount(), 3);
  EXPECT_NEAR(engine.ExpectedTotalDuration() / 1e6, 4.0, 0.2);
  EXPECT_EQ(engine.AddOutputFile(OutPath("second.mkv"), false), -1);
  EXPECT_EQ(engine.LastErrorText(), "Cannot join more than one output file.");
  std::vector<int> files;
  engine.OnProgress = [&files](TCustomFFmpeg*, int file, int64_t, int64_t, int64_t, float, float, int, int) {
    if (files.empty() || files.back() != file) files.push_back(file);
  };
  engine.SetProgressInterval(0);
  engine.Transcode();
  engine.ReleaseFiles(false);
  EXPECT_EQ(files, (std::vector<int>{0, 1, 2, -1}));
  MediaInfo info = ReadMediaInfo(out);
  EXPECT_EQ(info.Count(AVMEDIA_TYPE_VIDEO), 1);
  EXPECT_NEAR(info.durationUs / 1e6, 4.0, 0.2);
  std::vector<int> counters = ReadFrameCounters(out);
  ASSERT_EQ(counters.size(), 100u);
  EXPECT_EQ(counters[24], 24);
  EXPECT_EQ(counters[25], 0) << "the second input starts after the first";
  EXPECT_EQ(counters[75], 0) << "the third input starts after the second";
}

TEST_F(TranscodeTest, StreamMapsChooseSources) {
  const std::string input = Mp4();
  const std::string out = OutPath("mapped.mkv");
  EXPECT_EQ(Convert({{input, {}}}, {{"map", "0.1"}, {"map", "0.0"}, {"vcodec", "mpeg4"}}, out),
            "Codec type mismatch for mapping #0.1 (Audio) -> #0.0 (Video)");
  EXPECT_FALSE(std::filesystem::exists(out)) << "a failed run leaves no file";
  EXPECT_EQ(Convert({{input, {}}}, {{"map", "0.0"}, {"vcodec", "mpeg4"}}, out),
            "Number of stream maps must match number of output streams");
  EXPECT_EQ(Convert({{input, {}}}, {{"map", "0.5"}, {"map", "0.1"}}, out), "Could not find input stream #0.5");
  EXPECT_EQ(Convert({{input, {}}}, {{"map", "0.0"}, {"map", "0.1"}, {"vcodec", "mpeg4"}}, out), "");
  EXPECT_EQ(ReadMediaInfo(out).streams.size(), 2u);
}

TEST_F(TranscodeTest, AutomaticSourceHasTheMostFrames) {
  const std::string shortAudio = MakeMedia(Clip("wav", "", "pcm_s16le", 1.0));
  const std::string longAudio = MakeMedia(Clip("mp3", "", "libmp3lame", 2.0));
  const std::string out = OutPath("chosen.wav");
  ASSERT_EQ(Convert({{shortAudio, {}}, {longAudio, {}}}, {}, out), "");
  EXPECT_NEAR(ReadMediaInfo(out).durationUs / 1e6, 2.0, 0.1);
}

TEST_F(TranscodeTest, StreamCopyStartsAtAKeyFrame) {
  MediaSpec spec = Clip("mp4", "libx264", "", 3.0);
  spec.gopSize = 10;
  const std::string input = MakeMedia(spec);
  int64_t packets[2];
  for (int inkf = 0; inkf < 2; ++inkf) {
    TCustomFFmpeg engine;
    const std::string out = OutPath("copy" + std::to_string(inkf) + ".mkv");
    Options opts = {{"vcodec", "copy"}, {"ss", "1.12"}};
    if (inkf) opts.push_back({"copyinkf", "1"});
    ASSERT_EQ(Prepare(engine, {{input, {}}}, opts, out), "");
    engine.Transcode();
    engine.ReleaseFiles(false);
    packets[inkf] = ReadMediaInfo(out).streams.at(0).packets;
  }
  EXPECT_EQ(packets[0], 75 - 30) << "non-key frames before the key frame at 1.2 s are dropped";
  EXPECT_EQ(packets[1], 75 - 28);
}

TEST_F(TranscodeTest, CopyRefusals) {
  const std::string input = Mp4();
  EXPECT_EQ(Convert({{input, {}}}, {{"acodec", "copy"}, {"vol", "300"}, {"vn", "1"}}, OutPath("a.mka")),
            "-acodec copy and -vol are incompatible (frames are not decoded)");
  EXPECT_EQ(Convert({{input, {}}}, {{"vcodec", "copy"}, {"vhook", QUENZA_TEST_HOOK}, {"an", "1"}}, OutPath("v.mkv")),
            "-vcodec copy and -vhook are incompatible (frames are not decoded)");
  EXPECT_FALSE(std::filesystem::exists(OutPath("a.mka")));
}

TEST_F(TranscodeTest, PassOneWritesTheDefaultLog) {
  const std::string input = MakeMedia(Clip("mp4", "libx264", "", 1.0));
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
  std::string err = Convert({{input, {}}}, {{"vcodec", "mpeg4"}, {"pass", "1"}}, OutPath("p1.avi"));
  std::filesystem::current_path(cwd);
  ASSERT_EQ(err, "");
  ASSERT_TRUE(std::filesystem::exists(dir_ / "ffmpeg2pass-0.log"));
  EXPECT_GT(std::filesystem::file_size(dir_ / "ffmpeg2pass-0.log"), 0u);
  // The second pass reads it.
  const std::string prefix = (dir_ / "ffmpeg2pass").string();
  EXPECT_EQ(Convert({{input, {}}}, {{"vcodec", "mpeg4"}, {"pass", "2"}, {"passlogfile", prefix}}, OutPath("p2.avi")), "");
  EXPECT_EQ(Convert({{input, {}}}, {{"vcodec", "mpeg4"}, {"pass", "2"}, {"passlogfile", prefix + "-none"}}, OutPath("p3.avi")),
            "Cannot read file: Error reading log file \"" + prefix + "-none-0.log\" for pass-2 encoding");
}

TEST_F(TranscodeTest, NearestSampleRateAndFrameRate) {
  const std::string input = Mp4();
  TCustomFFmpeg engine;
  ASSERT_EQ(Prepare(engine, {{input, {}}}, {{"vcodec", "mpeg2video"}, {"r", "26"}, {"acodec", "mp2"}, {"ar", "44000"}},
                    OutPath("rates.mpg")),
            "");
  EXPECT_TRUE(host.HasLine(llWarning, "Requested sampling rate unsupported using closest supported (44100)"));
  AVFormatContext* oc = engine.OutputContext(0);
  engine.Transcode();
  EXPECT_EQ(oc->streams[0]->avg_frame_rate.num, 25);
  EXPECT_EQ(oc->streams[1]->codecpar->sample_rate, 44100);
  engine.ReleaseFiles(false);
}

TEST_F(TranscodeTest, OutputSetUpMessages) {
  const std::string input = Mp4();
  TCustomFFmpeg engine;
  EXPECT_EQ(Prepare(engine, {{input, {}}}, {}, OutPath("x.nosuchext")),
            "Unable to find a suitable output format for '" + OutPath("x.nosuchext") + "'");
  EXPECT_EQ(Prepare(engine, {{input, {}}}, {{"f", "nosuchformat"}}, OutPath("x.avi")),
            "Requested output format 'nosuchformat' is not a suitable output format");
  EXPECT_EQ(Prepare(engine, {{input, {}}}, {{"vcodec", "libmp3lame"}}, OutPath("x.avi")),
            "new_video_stream fail: Invalid encoder type 'libmp3lame'");
  EXPECT_EQ(Prepare(engine, {{input, {}}}, {{"acodec", "nonesuch"}}, OutPath("x.avi")),
            "new_audio_stream fail: Unknown encoder 'nonesuch'");
  EXPECT_EQ(Prepare(engine, {{input, {}}}, {{"vcodec", "mpeg4"}}, input),
            "Output file '" + input + "' is the same file as input file '" + input + "'");
  EXPECT_GT(std::filesystem::file_size(input), 0u) << "the source is untouched";

  // No audio in the input: no audio stream although AVI has a default audio codec.
  const std::string silent = MakeMedia(Clip("mp4", "libx264", "", 1.0));
  ASSERT_EQ(Prepare(engine, {{silent, {}}}, {}, OutPath("v.avi")), "");
  EXPECT_EQ(engine.OutputContext(0)->nb_streams, 1u);
  // vn when the output is added: no video stream, and vn stays set.
  ASSERT_EQ(Prepare(engine, {{input, {}}}, {{"vn", "1"}}, OutPath("a.avi")), "");
  EXPECT_EQ(engine.OutputContext(0)->nb_streams, 1u);
  EXPECT_TRUE(engine.Settings().video.disabled);
  engine.ReleaseFiles(false);
  EXPECT_FALSE(std::filesystem::exists(OutPath("a.avi"))) << "an output never written is removed";
}

TEST_F(TranscodeTest, BadInputsFailWithTheirTexts) {
  const std::string missing = OutPath("missing.mp4");
  const std::string empty = OutPath("empty.mp4");
  const std::string text = OutPath("text.mp4");
  std::ofstream(empty).close();
  std::ofstream(text) << "this is not a video, just some words\n";
  struct Case {
    std::string file;
    std::string error;
  };
  for (const Case& c : {Case{missing, missing + ": No such file or directory"},
                        Case{empty, empty + ": Invalid data found when processing input"},
                        Case{text, text + ": Invalid data found when processing input"},
                        Case{dir_.string(), ""}}) {
    TCustomFFmpeg engine;
    engine.Reset();
    EXPECT_FALSE(engine.AddInputFile(c.file)) << c.file;
    if (!c.error.empty()) {
      EXPECT_EQ(engine.LastErrorText(), c.error);
    }
    EXPECT_EQ(engine.LastErrorText().rfind(c.file + ": ", 0), 0u) << engine.LastErrorText();
  }
}

TEST_F(TranscodeTest, DamagedInputsConvertWhatCanBeRead) {
  const std::string good = MakeMedia(Clip("mpegts", "mpeg2video", "mp2", 2.0));
  const auto size = std::filesystem::file_size(good);
  std::ifstream in(good, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // A damaged middle.
  std::string damaged = bytes;
  for (size_t i = size / 3; i < size / 3 + 20000 && i < damaged.size(); ++i) damaged[i] = static_cast<char>(i * 37);
  std::ofstream(OutPath("damaged.ts"), std::ios::binary) << damaged;
  // A truncated file.
  std::ofstream(OutPath("truncated.ts"), std::ios::binary) << bytes.substr(0, size * 6 / 10);
  const std::string mp4 = MakeMedia(Clip("mp4", "libx264", "aac", 2.0));
  std::ifstream in4(mp4, std::ios::binary);
  std::string mp4bytes((std::istreambuf_iterator<char>(in4)), std::istreambuf_iterator<char>());
  std::ofstream(OutPath("truncated.mp4"), std::ios::binary) << mp4bytes.substr(0, mp4bytes.size() * 6 / 10);

  for (const char* name : {"damaged.ts", "truncated.ts", "truncated.mp4"}) {
    const std::string out = OutPath(std::string(name) + ".avi");
    std::string err = Convert({{OutPath(name), {}}}, {{"vcodec", "mpeg4"}, {"acodec", "libmp3lame"}}, out);
    if (err.empty()) {
      EXPECT_GT(ReadMediaInfo(out).durationUs, 0) << name << ": finished with a trailer";
    } else {
      EXPECT_EQ(err.rfind(OutPath(name) + ": ", 0), 0u) << name << ": " << err;
      EXPECT_FALSE(std::filesystem::exists(out)) << name;
    }
  }
}

TEST_F(TranscodeTest, FailingOutputsLeaveNoFile) {
  const std::string input = MakeMedia(Clip("mp4", "libx264", "aac", 1.0));
  const std::string nowhere = OutPath("no/such/folder/out.avi");
  EXPECT_EQ(Convert({{input, {}}}, {}, nowhere), nowhere + ": No such file or directory");
  // An encoder that refuses its settings: the output created for it is removed.
  const std::string bad = OutPath("bad.avi");
  std::string err = Convert({{input, {}}}, {{"vcodec", "libx264"}, {"preset", "nosuchpreset"}}, bad);
  EXPECT_EQ(err.rfind("Error while opening encoder for output stream #0.0 (Video)", 0), 0u) << err;
  EXPECT_FALSE(std::filesystem::exists(bad));
  // A write error during the run.
  if (std::filesystem::exists("/dev/full")) {
    err = Convert({{input, {}}}, {{"vcodec", "mpeg4"}, {"f", "avi"}}, "/dev/full");
    EXPECT_NE(err, "");
    EXPECT_TRUE(std::filesystem::exists("/dev/full"));
  }
}

TEST_F(TranscodeTest, TimestampJumpsAreRemoved) {
  const std::string first = MakeMedia(Clip("mpegts", "mpeg2video", "mp2", 2.0));
  const std::string shifted = OutPath("shifted.ts");
  ASSERT_EQ(Convert({{first, {{"itsoffset", "20"}}}}, {{"vcodec", "copy"}, {"acodec", "copy"}}, shifted), "");
  // Two streams back to back, the second 20 s later than it should be.
  {
    std::ofstream out(OutPath("jump.ts"), std::ios::binary);
    for (const std::string& part : {first, shifted}) {
      std::ifstream in(part, std::ios::binary);
      out << in.rdbuf();
    }
  }
  const std::string out = OutPath("jump.mkv");
  ASSERT_EQ(Convert({{OutPath("jump.ts"), {}}}, {{"vcodec", "mpeg4"}, {"acodec", "aac"}}, out), "");
  EXPECT_NEAR(ReadMediaInfo(out).durationUs / 1e6, 4.0, 0.5);
  EXPECT_NEAR(CountDecodedFrames(out, AVMEDIA_TYPE_VIDEO), 100, 3);
}

TEST_F(TranscodeTest, BitstreamFiltersRunOnWrittenPackets) {
  const std::string input = MakeMedia(Clip("mp4", "libx264", "", 2.0));
  const std::string slow = OutPath("slow.mkv");
  ASSERT_EQ(Convert({{input, {}}}, {{"vcodec", "copy"}, {"vbsf", "setts=pts=PTS*2:dts=DTS*2"}}, slow), "");
  EXPECT_NEAR(ReadMediaInfo(slow).durationUs / 1e6, 4.0, 0.2);
  const std::string mpeg4 = MakeMedia(Clip("avi", "mpeg4", "", 1.0));
  std::string err = Convert({{mpeg4, {}}}, {{"vcodec", "copy"}, {"vbsf", "h264_mp4toannexb"}}, OutPath("bad.mkv"));
  EXPECT_EQ(err.rfind("h264_mp4toannexb failed for stream 0, codec copy: ", 0), 0u) << err;
}

TEST_F(TranscodeTest, NonAsciiNamesUnderALatin1Locale) {
  const std::string saved = std::setlocale(LC_CTYPE, nullptr);
  if (!std::setlocale(LC_CTYPE, "en_US.ISO-8859-1")) GTEST_SKIP() << "scripts/setup generates this locale";
  const std::string input = OutPath("entr\xc3\xa9" "e.mp4");  // "entrée", representable in Latin-1
  std::filesystem::copy_file(MakeMedia(Clip("mp4", "libx264", "aac", 1.0)), input);
  const std::string output = OutPath("sortie-\xe6\x97\xa5\xe6\x9c\xac.avi");  // not representable
  std::string err = Convert({{input, {}}}, {{"vcodec", "mpeg4"}}, output);
  std::setlocale(LC_CTYPE, saved.c_str());
  ASSERT_EQ(err, "");
  ASSERT_TRUE(std::filesystem::exists(output));
  EXPECT_EQ(CountDecodedFrames(output, AVMEDIA_TYPE_VIDEO), 25);
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir_)) files += e.is_regular_file();
  EXPECT_EQ(files, 2) << "no file under a look-alike name";
}

}  // namespace
}  // namespace quenza::test
