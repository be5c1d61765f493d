#include <cmath>

#include "TranscodeFixture.h"

namespace quenza::test {
namespace {

using AudioPath = TranscodeTest;

MediaSpec Wav(int rate, int channels, double seconds, AVSampleFormat fmt = AV_SAMPLE_FMT_NONE) {
  MediaSpec s = TranscodeTest::Clip("wav", "", fmt == AV_SAMPLE_FMT_FLT ? "pcm_f32le" : "pcm_s16le", seconds);
  s.sampleRate = rate;
  s.channels = channels;
  s.sampleFormat = fmt;
  return s;
}

TEST_F(AudioPath, RatesChannelsAndFormats) {
  struct Case {
    const char* name;
    MediaSpec in;
    Options options;
    int rate, channels;
    const char* sampleFormat;
    int64_t samples;
  };
  const Case cases[] = {
      {"48k to 44.1k", Wav(48000, 2, 2.0), {{"ar", "44100"}}, 44100, 2, "s16", 88200},
      {"mono to stereo", Wav(44100, 1, 1.0), {{"ac", "2"}}, 44100, 2, "s16", 44100},
      {"float to 16-bit", Wav(44100, 2, 1.0, AV_SAMPLE_FMT_FLT), {{"acodec", "pcm_s16le"}}, 44100, 2, "s16", 44100},
  };
  for (const Case& c : cases) {
    const std::string out = OutPath(std::string(c.name) + ".wav");
    ASSERT_EQ(Convert({{MakeMedia(c.in), {}}}, c.options, out), "") << c.name;
    AudioStats st = MeasureAudio(out);
    EXPECT_EQ(st.sampleRate, c.rate) << c.name;
    ASSERT_EQ(static_cast<int>(st.channelRms.size()), c.channels) << c.name;
    EXPECT_EQ(ReadMediaInfo(out).Find(AVMEDIA_TYPE_AUDIO)->sampleFormat, c.sampleFormat) << c.name;
    EXPECT_NEAR(static_cast<double>(st.samples), static_cast<double>(c.samples), c.samples * 0.002 + 64) << c.name;
    for (double rms : st.channelRms) EXPECT_NEAR(rms, kToneRms, kToneRms * 0.1) << c.name;
  }
  // Mono to stereo puts the tone in both channels.
  AudioStats st = MeasureAudio(OutPath("mono to stereo.wav"));
  EXPECT_NEAR(st.channelFrequency[0], ToneFrequency(0, 0, 1), 5);
  EXPECT_NEAR(st.channelFrequency[1], ToneFrequency(0, 0, 1), 5);
}

TEST_F(AudioPath, SyncMethodOneFillsALateStart) {
  MediaSpec spec = Clip("matroska", "libx264", "aac", 2.0);
  spec.audioStartDelay = 1.0;
  const std::string input = MakeMedia(spec);
  const std::string plain = OutPath("plain.wav"), synced = OutPath("synced.wav");
  ASSERT_EQ(Convert({{input, {}}}, {{"vn", "1"}}, plain), "");
  TCustomFFmpeg engine;
  ASSERT_EQ(Prepare(engine, {{input, {}}}, {{"vn", "1"}, {"async", "1"}, {"v", "3"}}, synced), "");
  engine.Transcode();
  engine.ReleaseFiles(false);
  const int64_t a = CountDecodedSamples(plain), b = CountDecodedSamples(synced);
  EXPECT_NEAR(static_cast<double>(b - a), 44100.0, 1100.0);
  bool logged = false;
  for (const LogLine& l : host.Lines())
    logged |= l.level == llVerbose && l.text.rfind("adding ", 0) == 0 &&
              l.text.find(" audio samples of silence") != std::string::npos;
  EXPECT_TRUE(logged);
  // The first second of the synced file is silent, the tone follows.
  // Mean square per tenth of a second.
  std::vector<double> power(40, 0.0);
  std::vector<int> count(40, 0);
  int64_t position = 0;
  ForEachDecodedFrame(synced, AVMEDIA_TYPE_AUDIO, 0, [&](const AVFrame* f) {
    const int16_t* s = reinterpret_cast<const int16_t*>(f->data[0]);
    for (int i = 0; i < f->nb_samples; ++i, ++position) {
      const size_t slot = static_cast<size_t>(position / 4410);
      if (slot >= power.size()) continue;
      power[slot] += (s[2 * i] / 32768.0) * (s[2 * i] / 32768.0);
      count[slot]++;
    }
  });
  for (int slot : {1, 5, 9}) EXPECT_LT(std::sqrt(power[slot] / count[slot]), 0.001) << "silence, slot " << slot;
  for (int slot : {12, 20, 28}) EXPECT_NEAR(std::sqrt(power[slot] / count[slot]), kToneRms, kToneRms * 0.15) << slot;
}

TEST_F(AudioPath, VolumeScalesSamples) {
  const std::string input = MakeMedia(Wav(44100, 2, 1.0));
  const std::string half = OutPath("half.wav");
  ASSERT_EQ(Convert({{input, {}}}, {{"vol", "128"}}, half), "");
  EXPECT_NEAR(MeasureRms(half), kToneRms / 2, kToneRms * 0.02);
}

}  // namespace
}  // namespace quenza::test
