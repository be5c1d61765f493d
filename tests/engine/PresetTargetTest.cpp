#include <cstdio>
#include <filesystem>
#include <fstream>

#include "EngineFixture.h"
#include "engine/BuiltinPresets.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace quenza::test {
namespace {

using Presets = EngineTest;
using Targets = EngineTest;

std::string WriteTempFile(const std::string& name, const std::string& text) {
  auto path = std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
  std::ofstream(path) << text;
  return path.string();
}

// Opens the pending video encoder with the recorded and private options as a stream set-up
// would, and encodes a few frames.
void EncodeWithPendingOptions(TCustomFFmpeg& engine, const std::string& preset) {
  const AVCodec* codec = avcodec_find_encoder_by_name(engine.Settings().video.codec_name.c_str());
  ASSERT_NE(codec, nullptr);
  AVCodecContextPtr ctx(avcodec_alloc_context3(codec));
  engine.CopyRecordedOptions(engine.CodecOptionContext(mkVideo), ctx.get(), 17);
  ctx->width = 64;
  ctx->height = 48;
  ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx->time_base = {1, 25};
  ctx->thread_count = 1;
  AVDictionary* opts = nullptr;
  av_dict_copy(&opts, engine.EncoderPrivateOptions(mkVideo).get(), 0);
  int ret = avcodec_open2(ctx.get(), codec, &opts);
  int leftover = av_dict_count(opts);
  av_dict_free(&opts);
  ASSERT_GE(ret, 0) << preset;
  EXPECT_EQ(leftover, 0) << preset << ": options the encoder did not take";
  AVFramePtr frame(av_frame_alloc());
  frame->width = 64;
  frame->height = 48;
  frame->format = AV_PIX_FMT_YUV420P;
  ASSERT_GE(av_frame_get_buffer(frame.get(), 0), 0);
  AVPacketPtr pkt(av_packet_alloc());
  int packets = 0;
  for (int i = 0; i <= 5; ++i) {
    if (i < 5) {
      ASSERT_GE(av_frame_make_writable(frame.get()), 0);
      for (int p = 0; p < 3; ++p)
        memset(frame->data[p], 16 + 30 * i + p, static_cast<size_t>(frame->linesize[p]) * (p ? 24 : 48));
      frame->pts = i;
    }
    ASSERT_GE(avcodec_send_frame(ctx.get(), i < 5 ? frame.get() : nullptr), 0) << preset;
    while (avcodec_receive_packet(ctx.get(), pkt.get()) >= 0) {
      ++packets;
      av_packet_unref(pkt.get());
    }
  }
  EXPECT_EQ(packets, 5) << preset;
}

TEST_F(Presets, EveryBuiltinPresetConfiguresTheInstalledX264) {
  ASSERT_EQ(BuiltinPresets().size(), 40u);
  for (const auto& [name, text] : BuiltinPresets()) {
    engine.Reset();
    host.Clear();
    engine.SetOption("vcodec", "libx264");
    ASSERT_EQ(OptionError("vpre", name), "") << name;
    EXPECT_TRUE(host.LibLines().empty()) << name;
    EncodeWithPendingOptions(engine, name);
  }
}

TEST_F(Presets, LookupByNameCodecPrefixAndFile) {
  engine.SetOption("vcodec", "libx264");
  engine.SetOption("vpre", "default");  // libx264-default
  EXPECT_EQ(VideoInt("me_range"), 16);
  EXPECT_EQ(PrivateOption(engine.EncoderPrivateOptions(mkVideo), "8x8dct"), "1");

  engine.Reset();
  engine.SetOption("vcodec", "libx264");
  engine.SetOption("vpre", "LIBX264-HQ");  // found ignoring case
  EXPECT_EQ(VideoInt("subq"), 8);

  EXPECT_EQ(OptionError("vpre", "nonesuch"), "Preset \"nonesuch\" not found");
  EXPECT_EQ(OptionError("fpre", "libx264-hq"), "Preset \"libx264-hq\" not found")
      << "fpre reads files only";

  std::string file = WriteTempFile("quenza-preset", "\r\n  g = 33 \r\nacodec=mp2\n\nbf=2\n");
  EXPECT_EQ(OptionError("fpre", file), "");
  EXPECT_EQ(VideoInt("g"), 33);
  EXPECT_EQ(VideoInt("bf"), 2);
  EXPECT_EQ(engine.Settings().audio.codec_name, "mp2");
  std::remove(file.c_str());
}

TEST_F(Presets, BadLinesFailAndEarlierLinesStay) {
  std::string empty = WriteTempFile("quenza-preset-empty", "g=20\nbf=\nrefs=4\n");
  EXPECT_EQ(OptionError("fpre", empty), empty + ": Invalid syntax: \"bf=\"");
  EXPECT_EQ(VideoInt("g"), 20);
  EXPECT_NE(VideoInt("refs"), 4);
  std::string unknown = WriteTempFile("quenza-preset-unknown", "g=21\nfrobnicate=3\n");
  EXPECT_EQ(OptionError("vpre", unknown),
            unknown + ": Invalid option or argument: \"frobnicate=3\", parsed as \"frobnicate\" = \"3\"");
  EXPECT_EQ(VideoInt("g"), 21);
  std::remove(empty.c_str());
  std::remove(unknown.c_str());
}

TEST_F(Targets, DiscTargetsSetTheirOptionGroups) {
  struct Case {
    const char* target;
    int width, height;
    AVRational rate;
    int gop;
    const char* vcodec;
    const char* acodec;
    const char* format;
    int sampleRate;
    double aspect;
  };
  const Case cases[] = {
      {"pal-dvd", 720, 576, {25, 1}, 15, "mpeg2video", "ac3", "dvd", 48000, 16.0 / 9.0},
      {"ntsc-dvd", 720, 480, {30000, 1001}, 18, "mpeg2video", "ac3", "dvd", 48000, 16.0 / 9.0},
      {"ntsc-vcd", 352, 240, {30000, 1001}, 18, "mpeg1video", "mp2", "vcd", 44100, 4.0 / 3.0},
      {"pal-vcd", 352, 288, {25, 1}, 15, "mpeg1video", "mp2", "vcd", 44100, 4.0 / 3.0},
      {"pal-svcd", 480, 576, {25, 1}, 15, "mpeg2video", "mp2", "svcd", 44100, 4.0 / 3.0},
      {"film-svcd", 480, 480, {24000, 1001}, 18, "mpeg2video", "mp2", "svcd", 44100, 4.0 / 3.0},
  };
  for (const Case& c : cases) {
    engine.Reset();
    host.Clear();
    engine.SetOption("ac", "1");
    ASSERT_EQ(OptionError("target", c.target), "") << c.target;
    const TEngineSettings& s = engine.Settings();
    EXPECT_EQ(s.frame_width, c.width) << c.target;
    EXPECT_EQ(s.frame_height, c.height) << c.target;
    EXPECT_EQ(av_cmp_q(s.frame_rate, c.rate), 0) << c.target;
    EXPECT_EQ(VideoInt("g"), c.gop) << c.target;
    EXPECT_EQ(s.video.codec_name, c.vcodec) << c.target;
    EXPECT_EQ(s.audio.codec_name, c.acodec) << c.target;
    EXPECT_EQ(s.format_name, c.format) << c.target;
    EXPECT_EQ(s.audio_sample_rate, c.sampleRate) << c.target;
    EXPECT_EQ(s.audio_channels, 2) << c.target;
    EXPECT_NEAR(s.frame_aspect_ratio, c.aspect, 1e-9) << c.target;
    EXPECT_TRUE(host.LibLines().empty()) << c.target;
  }
  // The last case was svcd: the scan offset reaches the MPEG-2 encoder.
  EXPECT_EQ(PrivateOption(engine.EncoderPrivateOptions(mkVideo), "scan_offset"), "1");
}

TEST_F(Targets, MuxerAndRateDetails) {
  engine.SetOption("aspect", "4:3");
  engine.SetOption("target", "pal-dvd");
  EXPECT_NEAR(engine.Settings().frame_aspect_ratio, 4.0 / 3.0, 1e-9) << "a set aspect is kept";
  EXPECT_FALSE(host.HasLine(llInfo, "Assuming 16:9 for aspect ratio"));
  EXPECT_EQ(VideoInt("b"), 6000000);
  EXPECT_EQ(VideoInt("maxrate"), 9000000);
  EXPECT_EQ(AudioInt("b"), 448000);
  EXPECT_EQ(OptInt(engine.FormatOptionContext(), "packetsize"), 2048);
  EXPECT_EQ(PrivateOption(engine.FormatPrivateOptions(), "muxrate"), "10080000");

  engine.Reset();
  host.Clear();
  engine.SetOption("target", "ntsc-vcd");
  EXPECT_TRUE(host.HasLine(llInfo, "Assuming 4:3 for aspect ratio"));
  EXPECT_EQ(engine.Settings().mux_preload, 0.44);
  EXPECT_EQ(PrivateOption(engine.FormatPrivateOptions(), "muxrate"), "1411200");
}

TEST_F(Targets, DvTargetsPickThePixelFormatByNorm) {
  struct Case {
    const char* target;
    int width, height;
    AVPixelFormat pixfmt;
  };
  for (const Case& c : {Case{"pal-dv", 720, 576, AV_PIX_FMT_YUV420P},
                        Case{"film-dv", 720, 480, AV_PIX_FMT_YUV411P},
                        Case{"ntsc-dv", 720, 480, AV_PIX_FMT_YUV411P},
                        Case{"ntsc-dv50", 720, 480, AV_PIX_FMT_YUV422P}}) {
    engine.Reset();
    engine.SetOption("target", c.target);
    EXPECT_EQ(engine.Settings().frame_width, c.width) << c.target;
    EXPECT_EQ(engine.Settings().frame_height, c.height) << c.target;
    EXPECT_EQ(engine.Settings().frame_pix_fmt, c.pixfmt) << c.target;
    EXPECT_EQ(engine.Settings().format_name, "dv") << c.target;
    EXPECT_EQ(engine.Settings().audio_sample_rate, 48000) << c.target;
    EXPECT_EQ(engine.Settings().video.codec_name, "") << c.target;
  }
}

TEST_F(Targets, AutomaticNorm) {
  EXPECT_EQ(OptionError("target", "dvd"), "frame_rate is invalid.");
  EXPECT_EQ(engine.Settings().frame_width, 0);

  struct Case {
    const char* rate;
    const char* fallbackTarget;  // via SetTarget with this fallback
    int height;
    const char* assumed;
  };
  for (const Case& c : {Case{"25", "ntsc", 576, "PAL"}, Case{"30000/1001", "pal", 480, "NTSC"},
                        Case{"24000/1001", "pal", 480, "NTSC"}, Case{"15", "pal", 576, "PAL"},
                        Case{"15", "ntsc", 480, "NTSC"}, Case{"15", "film", 480, "NTSC"}}) {
    engine.Reset();
    host.Clear();
    engine.SetOption("r", c.rate);
    engine.SetTarget("dvd", "auto", c.fallbackTarget);
    EXPECT_EQ(engine.Settings().frame_height, c.height) << c.rate << " " << c.fallbackTarget;
    EXPECT_TRUE(host.HasLine(llVerbose, std::string("Assuming ") + c.assumed + " for target."))
        << c.rate << " " << c.fallbackTarget;
  }
  engine.Reset();
  engine.SetOption("r", "25");
  engine.SetOption("v", "0");
  host.Clear();
  engine.SetOption("target", "dvd");
  EXPECT_FALSE(host.HasLine(llVerbose, "Assuming PAL for target."));

  engine.SetOption("v", "1");
  host.Clear();
  EXPECT_EQ(OptionError("target", "xyz"), "Unknown target type");
  EXPECT_TRUE(host.HasLine(llVerbose, "Assuming PAL for target.")) << "the norm is decided first";
}

}  // namespace
}  // namespace quenza::test
