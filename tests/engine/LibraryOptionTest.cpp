#include "EngineFixture.h"
#include "engine/OptionCompat.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace quenza::test {
namespace {

using LibraryOption = EngineTest;

TEST_F(LibraryOption, UnknownNamesAreSilentlyDropped) {
  EXPECT_EQ(OptionError("no_such_option_anywhere", "1"), "");
  EXPECT_FALSE(engine.SetLibraryOption("no_such_option_anywhere", "1"));
  EXPECT_FALSE(engine.SetLibraryOption(" ", "1"));
  EXPECT_FALSE(engine.SetLibraryOption("g", "  "));
  EXPECT_TRUE(host.Lines().empty());
  EXPECT_TRUE(host.LibLines().empty());
  EXPECT_TRUE(engine.RecordedOptionNames().empty());
}

TEST_F(LibraryOption, RefusedValueIsLoggedAtErrorLevel) {
  engine.SetOption("b", "abc");
  auto lines = host.LibLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Invalid value \"abc\" for option \"b\"\n");
  EXPECT_TRUE(engine.RecordedOptionNames().empty());
}

TEST_F(LibraryOption, LowBitrateWarning) {
  const std::string warning =
      "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s";
  struct Case {
    const char* name;
    const char* value;
    bool warns;
  };
  for (const Case& c : {Case{"ab", "128", true}, Case{"ab", "1000", false}, Case{"b", "999", true},
                        Case{"vb", "64000", false}}) {
    host.Clear();
    engine.SetOption(c.name, c.value);
    EXPECT_EQ(host.HasLine(llWarning, warning), c.warns) << c.name << "=" << c.value;
  }
}

TEST_F(LibraryOption, ValuesLandInTheContextsOfTheirKind) {
  engine.SetOption("b", "800000");
  engine.SetOption("ab", "96000");
  engine.SetOption("vb", "700000");  // prefix rule: "b" on the video context
  engine.SetOption("g", "12");
  engine.SetOption("ar", "22050");  // an engine option, not the library's
  engine.SetOption("sws_flags", "bilinear");
  engine.SetOption("packetsize", "2324");
  EXPECT_EQ(VideoInt("b"), 700000);
  EXPECT_EQ(AudioInt("b"), 96000);
  EXPECT_EQ(VideoInt("g"), 12);
  EXPECT_EQ(OptInt(engine.ScalerOptionContext(), "sws_flags"), 2);
  EXPECT_EQ(OptInt(engine.FormatOptionContext(), "packetsize"), 2324);
  EXPECT_EQ(engine.RecordedOptionNames(),
            (std::vector<std::string>{"b", "ab", "b", "g", "sws_flags", "packetsize"}));
}

TEST_F(LibraryOption, RecordedOptionsAreCopiedByMask) {
  engine.SetOption("b", "800000");
  engine.SetOption("ab", "96000");
  engine.SetOption("g", "50");
  AVCodecContextPtr fresh(avcodec_alloc_context3(nullptr));
  AVCodecContextPtr video(avcodec_alloc_context3(nullptr));
  AVCodecContextPtr audio(avcodec_alloc_context3(nullptr));
  AVCodecContextPtr decoder(avcodec_alloc_context3(nullptr));
  engine.CopyRecordedOptions(engine.CodecOptionContext(mkVideo), video.get(), 17);
  engine.CopyRecordedOptions(engine.CodecOptionContext(mkAudio), audio.get(), 9);
  engine.CopyRecordedOptions(engine.CodecOptionContext(mkVideo), decoder.get(), 18);
  EXPECT_EQ(video->bit_rate, 800000);
  EXPECT_EQ(video->gop_size, 50);
  EXPECT_EQ(audio->bit_rate, 96000);
  EXPECT_EQ(audio->gop_size, fresh->gop_size) << "g carries no audio flag";
  EXPECT_EQ(decoder->bit_rate, fresh->bit_rate) << "encoding options are not copied to decoders";
}

TEST_F(LibraryOption, DebugOptionRaisesTheLogLevel) {
  engine.SetOption("debug", "mb_type");
  EXPECT_EQ(host.levelNames, (std::vector<std::string>{"debug"}));
}

TEST_F(LibraryOption, PrivateOptionsOfThePendingEncoderAndMuxer) {
  EXPECT_FALSE(engine.SetLibraryOption("crf", "23")) << "no encoder pending";
  engine.SetOption("vcodec", "libx264");
  EXPECT_TRUE(engine.SetLibraryOption("crf", "23"));
  EXPECT_TRUE(engine.SetLibraryOption("preset", "ultrafast"));
  EXPECT_EQ(PrivateOption(engine.EncoderPrivateOptions(mkVideo), "crf"), "23");
  EXPECT_EQ(PrivateOption(engine.EncoderPrivateOptions(mkVideo), "preset"), "ultrafast");
  host.Clear();
  EXPECT_FALSE(engine.SetLibraryOption("crf", "lots"));
  ASSERT_FALSE(host.LibLines().empty());
  EXPECT_EQ(host.LibLines().back(), "Invalid value \"lots\" for option \"crf\"\n");

  engine.SetOption("acodec", "libmp3lame");
  EXPECT_TRUE(engine.SetLibraryOption("joint_stereo", "0"));
  EXPECT_EQ(PrivateOption(engine.EncoderPrivateOptions(mkAudio), "joint_stereo"), "0");

  EXPECT_FALSE(engine.SetLibraryOption("muxrate", "1411200")) << "no format pending";
  engine.SetOption("f", "vcd");
  EXPECT_TRUE(engine.SetLibraryOption("muxrate", "1411200"));
  EXPECT_EQ(PrivateOption(engine.FormatPrivateOptions(), "muxrate"), "1411200");
}

// Each row of the compatibility table, against the installed libraries.
TEST(CompatTable, EncoderRowsNameInstalledEncoders) {
  ASSERT_FALSE(CompatEncoderTable().empty());
  for (const TCompatEncoderRow& row : CompatEncoderTable()) {
    const AVCodec* current = avcodec_find_encoder_by_name(row.current);
    ASSERT_NE(current, nullptr) << row.current;
    EXPECT_FALSE(current->capabilities & AV_CODEC_CAP_EXPERIMENTAL) << row.current;
    const AVCodec* legacy = avcodec_find_encoder_by_name(row.legacy);
    EXPECT_TRUE(!legacy || (legacy->capabilities & AV_CODEC_CAP_EXPERIMENTAL)) << row.legacy;
    EXPECT_EQ(CompatEncoderName(row.legacy), row.current);
  }
  EXPECT_EQ(CompatEncoderName("libx264"), "libx264");
}

TEST_F(LibraryOption, LegacyX264OptionsBecomeWrapperOptions) {
  engine.SetOption("vcodec", "libx264");
  struct Case {
    const char* name;
    const char* value;
    std::vector<std::pair<const char*, const char*>> privateOptions;
  };
  const Case cases[] = {
      {"flags2", "+bpyramid-mixed_refs+wpred+dct8x8+fastpskip-mbtree",
       {{"b-pyramid", "normal"}, {"mixed-refs", "0"}, {"weightb", "1"}, {"8x8dct", "1"},
        {"fast-pskip", "1"}, {"mbtree", "0"}}},
      {"flags2", "-bpyramid+aud+psy", {{"b-pyramid", "none"}, {"aud", "1"}, {"psy", "1"}}},
      {"partitions", "+parti8x8+parti4x4-partp8x8+partb8x8", {{"partitions", "i4x4,i8x8,b8x8"}}},
      {"partitions", "-parti8x8-parti4x4-partp8x8-partp4x4-partb8x8", {{"partitions", "none"}}},
      {"directpred", "3", {{"direct-pred", "3"}}},
      {"cqp", "0", {{"qp", "0"}}},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(engine.SetLibraryOption(c.name, c.value)) << c.name << "=" << c.value;
    for (const auto& [key, value] : c.privateOptions)
      EXPECT_EQ(PrivateOption(engine.EncoderPrivateOptions(mkVideo), key), value)
          << c.name << "=" << c.value << " -> " << key;
  }
  // Bits libavcodec still knows stay in flags2.
  EXPECT_TRUE(engine.SetLibraryOption("flags2", "+fast+dct8x8"));
  EXPECT_EQ(VideoInt("flags2") & AV_CODEC_FLAG2_FAST, AV_CODEC_FLAG2_FAST);
  EXPECT_TRUE(host.LibLines().empty());
}

TEST_F(LibraryOption, LegacyLinesWithoutMeaningAreDroppedWithAVerboseLine) {
  engine.SetOption("vcodec", "mpeg4");
  for (const char* line : {"flags2=+dct8x8", "partitions=+parti8x8", "directpred=1", "cqp=0"}) {
    std::string l(line);
    size_t eq = l.find('=');
    host.Clear();
    EXPECT_TRUE(engine.SetLibraryOption(l.substr(0, eq), l.substr(eq + 1))) << line;
    EXPECT_TRUE(host.HasLine(llVerbose, "Option " + l + " has no meaning for the installed encoder; dropped"))
        << line;
  }
  engine.SetOption("vcodec", "libx264");
  host.Clear();
  EXPECT_TRUE(engine.SetLibraryOption("cqp", "-1"));
  EXPECT_TRUE(host.HasLine(llVerbose, "Option cqp=-1 has no meaning for the installed encoder; dropped"));
  EXPECT_EQ(PrivateOption(engine.EncoderPrivateOptions(mkVideo), "qp"), "<unset>");
}

TEST_F(LibraryOption, ScanOffsetFlagBecomesTheMpegVideoOption) {
  engine.SetOption("vcodec", "mpeg2video");
  EXPECT_TRUE(engine.SetLibraryOption("flags", "+scan_offset+loop"));
  EXPECT_EQ(PrivateOption(engine.EncoderPrivateOptions(mkVideo), "scan_offset"), "1");
  EXPECT_EQ(VideoInt("flags") & AV_CODEC_FLAG_LOOP_FILTER, AV_CODEC_FLAG_LOOP_FILTER);
}

}  // namespace
}  // namespace quenza::test
