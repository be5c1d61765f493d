#include "EngineFixture.h"

namespace quenza::test {
namespace {

using OptionTable = EngineTest;

TEST_F(OptionTable, FailingOptionsRaiseTheirMessages) {
  engine.SetOption("s", "640x480");
  struct Case {
    const char* name;
    const char* value;
    const char* message;
  };
  const Case cases[] = {
      {"threads", "2", "TODO: option - threads"},
      {"aspect", "4:0", "Incorrect aspect ratio specification."},
      {"aspect", "abc", "Incorrect aspect ratio specification."},
      {"aspect", "0", "Incorrect aspect ratio specification."},
      {"qscale", "0", "qscale must be > 0.0 and <= 255"},
      {"qscale", "256", "qscale must be > 0.0 and <= 255"},
      {"vtag", "abc", "video tag parameter must be 4 chars"},
      {"atag", "abcde", "audio tag parameter must be 4 chars"},
      {"stag", "", "subtitle tag parameter must be 4 chars"},
      {"metadata", "title", "Missing ="},
      {"itsscale", "20:2", "stream index over MAX_STREAMS(20)"},
      {"itsscale", "-1:2", "stream index over MAX_STREAMS(20)"},
      {"padtop", "10", "Please use vfilters=pad"},
      {"padcolor", "", "Please use vfilters=pad"},
      {"croptop", "480", "Vertical crop dimensions are outside the range of the original image.\n"
                         "Remember to crop first and scale second."},
      {"cropright", "640", "Horizontal crop dimensions are outside the range of the original "
                           "image.\nRemember to crop first and scale second."},
      {"pass", "3", "pass number can be only 1 or 2"},
      {"r", "fast", "Incorrect frame rate"},
      {"s", "big", "Incorrect frame size"},
      {"pix_fmt", "nosuch", "Unknown pixel format requested: nosuch"},
      {"streamid", "3", "Invalid value \"3\" for option \"streamid\", required syntax is \"index:value\""},
      {"streamid", ":5", "Invalid value \":5\" for option \"streamid\", required syntax is \"index:value\""},
      {"streamid", "3:", "Invalid value \"3:\" for option \"streamid\", required syntax is \"index:value\""},
      {"streamid", "20:1", "stream index over MAX_STREAMS(20)"},
      {"t", "soon", "Invalid duration specification for t: soon"},
      {"timestamp", "yesterday", "Invalid date specification for timestamp: yesterday"},
      {"vbsf", "no_such_bsf", "Unknown bitstream filter no_such_bsf"},
      {"absf", " no_such_bsf=1 ", "Unknown bitstream filter no_such_bsf=1"},
      {"newvideo", "", "At least one output file must be specified"},
      {"newaudio", "", "At least one output file must be specified"},
      {"newsubtitle", "", "At least one output file must be specified"},
      {"vhook", "/no/such/hook.so", "Failed to add video hook function: /no/such/hook.so"},
  };
  for (const Case& c : cases) EXPECT_EQ(OptionError(c.name, c.value), c.message) << c.name << "=" << c.value;
  // A failing option leaves its setting alone.
  EXPECT_EQ(engine.Settings().frame_height, 480);
  EXPECT_EQ(engine.Settings().video_qscale, 0);
  EXPECT_EQ(engine.Settings().do_pass, 0);
}

TEST_F(OptionTable, NumberConversionErrorsRefuseTheOption) {
  for (const char* name : {"v", "vframes", "croptop", "fs", "vol", "ar", "top", "adrift_threshold"}) {
    EXPECT_NE(OptionError(name, "abc"), "") << name;
  }
  EXPECT_EQ(engine.Settings().verbose, 1);
  EXPECT_EQ(engine.Settings().audio_volume, 256);
}

TEST_F(OptionTable, MatrixNeedsAll64Coefficients) {
  std::string values;
  for (int i = 0; i < 64; ++i) values += (i ? "," : "") + std::to_string(i + 1);
  ASSERT_EQ(OptionError("intra_matrix", values + ",999 trailing"), "");
  ASSERT_TRUE(engine.Settings().intra_matrix.has_value());
  for (int i = 0; i < 64; ++i) EXPECT_EQ((*engine.Settings().intra_matrix)[i], i + 1);

  std::string short63 = values.substr(0, values.rfind(','));
  EXPECT_EQ(OptionError("inter_matrix", short63), "Syntax error in matrix \"" + short63 + "\" at coeff 62");
  EXPECT_FALSE(engine.Settings().inter_matrix.has_value());
}

TEST_F(OptionTable, InformationalOptionsOnlyLog) {
  for (const char* name : {"L", "h", "version", "formats", "codecs", "bsfs", "protocols", "filters",
                           "i", "y", "benchmark"}) {
    host.Clear();
    EXPECT_EQ(OptionError(name, "whatever"), "") << name;
    EXPECT_EQ(host.Lines(), (std::vector<LogLine>{{llInfo, std::string("Do nothing: option - ") + name}}));
  }
  host.Clear();
  engine.SetOption("timelimit", "10");
  EXPECT_TRUE(host.HasLine(llWarning, "Warning: -timelimit not implemented on Windows"));
  engine.SetOption("f", "pgmyuv");
  EXPECT_TRUE(host.HasLine(llInfo, "pgmyuv format is deprecated, use image2"));
  EXPECT_EQ(engine.Settings().format_name, "image2");
  EXPECT_TRUE(engine.Settings().still_image_compat);
}

TEST_F(OptionTable, ListOptionsLogTheFormatTables) {
  engine.SetOption("pix_fmt", "list");
  EXPECT_EQ(host.Lines().size(), 68u);
  EXPECT_EQ(engine.Settings().frame_pix_fmt, -1);
  host.Clear();
  engine.SetOption("sample_fmt", "list");
  auto lines = host.Lines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_NE(lines[1].text.find("u8"), std::string::npos);
}

TEST_F(OptionTable, ValuesReachTheirSettings) {
  const TEngineSettings& s = engine.Settings();
  engine.SetOption("aspect", "16:9");
  EXPECT_NEAR(s.frame_aspect_ratio, 16.0 / 9.0, 1e-12);
  engine.SetOption("aspect", "1.5");
  EXPECT_EQ(s.frame_aspect_ratio, 1.5);
  engine.SetOption("aspect", "-2");
  EXPECT_EQ(s.frame_aspect_ratio, -2);
  engine.SetOption("aspect", "");
  EXPECT_EQ(s.frame_aspect_ratio, -2);

  engine.SetOption("ar", "0");
  engine.SetOption("ac", "-1");
  EXPECT_EQ(s.audio_sample_rate, 44100);
  EXPECT_EQ(s.audio_channels, 2);
  engine.SetOption("ar", "22050");
  engine.SetOption("ac", "1");
  EXPECT_EQ(s.audio_sample_rate, 22050);
  EXPECT_EQ(s.audio_channels, 1);

  engine.SetOption("qscale", "255");
  EXPECT_EQ(s.video_qscale, 255);
  engine.SetOption("vtag", "XVID");
  EXPECT_EQ(s.video.codec_tag, static_cast<uint32_t>('X' | 'V' << 8 | 'I' << 16 | 'D' << 24));
  engine.SetOption("metadata", "title=a=b");
  ASSERT_EQ(s.metadata.size(), 1u);
  EXPECT_EQ(s.metadata[0], std::make_pair(std::string("title"), std::string("a=b")));

  engine.SetOption("t", "00:00:05.5");
  EXPECT_EQ(s.recording_time, 5500000);
  EXPECT_EQ(engine.ExpectedTotalDuration(), 5500000);
  engine.SetOption("ss", "2");
  EXPECT_EQ(s.start_time, 2000000);
  engine.SetStartTime(kNoTimestamp);
  EXPECT_EQ(s.start_time, 2000000);
  engine.SetOption("timestamp", "1970-01-01 00:00:10.5");  // halves round to even
  EXPECT_EQ(s.rec_timestamp, 10);
  engine.SetOption("itsscale", "3:2.5");
  EXPECT_EQ(s.input_ts_scale[0][3], 2.5);
  engine.SetOption("r", "30000/1001");
  EXPECT_EQ(s.frame_rate.num, 30000);
  EXPECT_EQ(s.frame_rate.den, 1001);
  engine.SetOption("r", "ntsc");
  EXPECT_EQ(s.frame_rate.num, 30000);
  engine.SetOption("s", "vga");
  EXPECT_EQ(s.frame_width, 640);
  engine.SetOption("pix_fmt", "yuv422p");
  EXPECT_EQ(s.frame_pix_fmt, 4);
  engine.SetOption("sample_fmt", "nonsense");  // unchecked
  EXPECT_EQ(s.audio_sample_fmt, -1);
  engine.SetOption("sample_fmt", "s16");
  EXPECT_EQ(s.audio_sample_fmt, 1);

  engine.SetOption("streamid", "2:33");
  EXPECT_EQ(s.streamid_map[2], 33);
  engine.SetOption("copyts", "0");  // any value sets it
  engine.SetOption("xerror", "0");
  EXPECT_TRUE(s.copy_ts);
  EXPECT_TRUE(s.exit_on_error);
  engine.SetOption("shortest", "");
  engine.SetOption("deinterlace", "0");
  EXPECT_TRUE(s.opt_shortest);
  EXPECT_FALSE(s.do_deinterlace);
  engine.SetOption("vn", "1");
  engine.SetOption("an", "");
  EXPECT_TRUE(s.video.disabled);
  EXPECT_TRUE(s.audio.disabled);
  EXPECT_FALSE(s.subtitle.disabled);
  engine.SetOption("vframes", "100");
  engine.SetOption("aframes", "7");
  engine.SetOption("dframes", "3");
  EXPECT_EQ(s.max_frames, (std::array<int, 4>{100, 7, 3, 2147483647}));
  engine.SetOption("fs", "10000000000");
  EXPECT_EQ(s.limit_filesize, 10000000000LL);
  engine.SetOption("vf", "scale=320:240");
  EXPECT_EQ(s.vfilters, "scale=320:240");
}

TEST_F(OptionTable, CropBandsReduceTheFrameSize) {
  engine.SetOption("s", "640x480");
  engine.SetOption("croptop", "10");
  EXPECT_EQ(engine.Settings().frame_height, 470);
  EXPECT_EQ(engine.Settings().crop_top, 10);
  EXPECT_TRUE(host.HasLine(llWarning, "CropXXX is deprecated in favor of the crop avfilter"));
  engine.SetOption("cropleft", "0");  // ignored
  engine.SetOption("cropright", "40");
  EXPECT_EQ(engine.Settings().frame_width, 600);
  EXPECT_EQ(engine.Settings().crop_left, 0);
  // A later size replaces the reduced one; the bands stay.
  engine.SetOption("s", "320x240");
  EXPECT_EQ(engine.Settings().frame_height, 240);
  EXPECT_EQ(engine.Settings().crop_top, 10);
}

TEST_F(OptionTable, CodecNamesAndCopy) {
  const TEngineSettings& s = engine.Settings();
  engine.SetOption("vcodec", "mpeg4");
  EXPECT_EQ(s.video.codec_name, "mpeg4");
  engine.SetOption("vcodec", "");
  EXPECT_EQ(s.video.codec_name, "mpeg4");
  engine.SetOption("vcodec", "copy");
  EXPECT_TRUE(s.video.stream_copy);
  EXPECT_EQ(s.video.codec_name, "");
  engine.SetOption("vcodec", "libx264");  // a later name keeps the copy flag
  EXPECT_TRUE(s.video.stream_copy);
  EXPECT_EQ(s.video.codec_name, "libx264");
  engine.SetOption("acodec", "aac");
  engine.SetOption("scodec", "copy");
  EXPECT_EQ(s.audio.codec_name, "aac");
  EXPECT_TRUE(s.subtitle.stream_copy);
}

TEST_F(OptionTable, StreamAndMetaDataMaps) {
  engine.SetOption("map", "0.1");
  engine.SetOption("map", "1:2:0:0x3");
  engine.SetOption("map", "010.2");
  const auto& maps = engine.Settings().stream_maps;
  ASSERT_EQ(maps.size(), 3u);
  EXPECT_EQ((std::array<int, 4>{maps[0].file_index, maps[0].stream_index, maps[0].sync_file_index,
                                maps[0].sync_stream_index}),
            (std::array<int, 4>{0, 1, 0, 1}));
  EXPECT_EQ((std::array<int, 4>{maps[1].file_index, maps[1].stream_index, maps[1].sync_file_index,
                                maps[1].sync_stream_index}),
            (std::array<int, 4>{1, 2, 0, 3}));
  EXPECT_EQ(maps[2].file_index, 8);  // leading zero: octal

  for (int i = 3; i < 400; ++i) engine.SetOption("map", "0.0");
  EXPECT_EQ(OptionError("map", "0.0"), "number of stream maps over MAX_STREAM_MAPS(400)");
  EXPECT_EQ(maps.size(), 400u);

  engine.SetOption("map_meta_data", "1:0");
  ASSERT_EQ(engine.Settings().meta_data_maps.size(), 1u);
  EXPECT_EQ(engine.Settings().meta_data_maps[0].out_file, 1);
  EXPECT_EQ(engine.Settings().meta_data_maps[0].in_file, 0);
  for (int i = 1; i < 20; ++i) engine.SetOption("map_meta_data", "0:0");
  EXPECT_EQ(OptionError("map_meta_data", "0:0"), "number of meta data maps over MAX_META_DATA_MAPS(20)");
}

TEST_F(OptionTable, BitstreamFiltersJoinTheChainOfTheirKind) {
  engine.SetOption("vbsf", "h264_mp4toannexb");
  engine.SetOption("vbsf", "=ignored");
  engine.SetOption("absf", "aac_adtstoasc");
  engine.SetOption("sbsf", "null");
  engine.SetOption("vbsf", "noise=100");  // bare value: the filter's first option
  ASSERT_EQ(engine.PendingBitstreamFilters(mkVideo).size(), 2u);
  EXPECT_STREQ(engine.PendingBitstreamFilters(mkVideo)[0]->filter->name, "h264_mp4toannexb");
  EXPECT_EQ(engine.PendingBitstreamFilters(mkAudio).size(), 1u);
  EXPECT_EQ(engine.PendingBitstreamFilters(mkSubtitle).size(), 1u);
  EXPECT_EQ(OptionError("vbsf", "noise=bogus=1"), "Invalid arguments for bitstream filter noise=bogus=1");
}

TEST_F(OptionTable, OptionListsDispatchInOrder) {
  engine.SetOptions("S=320x240<CRLF>croptop=20\r\nVCODEC=mpeg4\nb=800000");
  EXPECT_EQ(engine.Settings().frame_height, 220);
  EXPECT_EQ(engine.Settings().video.codec_name, "mpeg4");
  EXPECT_EQ(VideoInt("b"), 800000);
}

TEST_F(OptionTable, ResetRestoresDefaults) {
  engine.SetOptions("s=320x240\nvol=512\nvcodec=mpeg4\nb=800000\nmap=0.0");
  engine.Reset();
  const TEngineSettings& s = engine.Settings();
  EXPECT_EQ(s.frame_width, 0);
  EXPECT_EQ(s.audio_volume, 256);
  EXPECT_EQ(s.video.codec_name, "");
  EXPECT_TRUE(s.stream_maps.empty());
  EXPECT_TRUE(engine.RecordedOptionNames().empty());
  EXPECT_EQ(engine.ExpectedTotalDuration(), -1);
  EXPECT_EQ(s.recording_time, std::numeric_limits<int64_t>::max());
  EXPECT_EQ(s.mux_preload, 0.5);
  EXPECT_EQ(s.audio_qscale, -99999.0);
}

TEST(OptionTableNoLibraries, ResetDoesNothingUntilLibrariesAreLoaded) {
  TTestHost host;
  host.loaded = false;
  TCustomFFmpeg engine;
  engine.Reset();
  EXPECT_EQ(engine.CodecOptionContext(mkVideo), nullptr);
  EXPECT_FALSE(engine.SetLibraryOption("b", "1000"));
}

}  // namespace
}  // namespace quenza::test
