#include <gtest/gtest.h>

#include <langinfo.h>
#include <locale.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <numbers>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "engine/AvPtr.h"
#include "engine/UnicodeProtocol.h"

namespace quenza {
namespace {

namespace fs = std::filesystem;

const std::string kE = "\xc3\xa9";                // é
const std::string kNihon = "\xe6\x97\xa5\xe6\x9c\xac";  // 日本

// Switches LC_CTYPE of the calling thread only (uselocale), restoring it on destruction.
class ThreadCType {
 public:
  explicit ThreadCType(const char* name) : loc_(newlocale(LC_CTYPE_MASK, name, nullptr)) {
    if (loc_) previous_ = uselocale(loc_);
  }
  ThreadCType(const ThreadCType&) = delete;
  ThreadCType& operator=(const ThreadCType&) = delete;
  ~ThreadCType() {
    if (!loc_) return;
    uselocale(previous_);
    freelocale(loc_);
  }
  bool ok() const { return loc_ != nullptr; }

 private:
  locale_t loc_;
  locale_t previous_ = nullptr;
};

// Switches the process-wide LC_CTYPE, restoring the previous one on destruction.
class GlobalCType {
 public:
  explicit GlobalCType(const char* name) {
    const char* current = setlocale(LC_CTYPE, nullptr);
    previous_ = current ? current : "C";
    ok_ = setlocale(LC_CTYPE, name) != nullptr;
  }
  GlobalCType(const GlobalCType&) = delete;
  GlobalCType& operator=(const GlobalCType&) = delete;
  ~GlobalCType() { setlocale(LC_CTYPE, previous_.c_str()); }
  bool ok() const { return ok_; }

 private:
  std::string previous_;
  bool ok_ = false;
};

// Name of an installed locale whose charset is ISO-8859-1, or "" when there is none.
std::string Latin1Locale() {
  for (const char* name : {"en_US.ISO-8859-1", "en_US.iso88591", "de_DE.ISO-8859-1", "en_US"}) {
    const locale_t loc = newlocale(LC_CTYPE_MASK, name, nullptr);
    if (!loc) continue;
    const std::string codeset = nl_langinfo_l(CODESET, loc);
    freelocale(loc);
    if (codeset == "ISO-8859-1") return name;
  }
  return "";
}

#define REQUIRE_LATIN1(var)                                                             \
  const std::string var = Latin1Locale();                                               \
  if (var.empty())                                                                      \
  GTEST_SKIP() << "no ISO-8859-1 locale installed "                                     \
                  "(localedef -i en_US -f ISO-8859-1 en_US.ISO-8859-1)"

std::string Wrapped(const std::string& name) { return std::string(kUnicodeURLPrefix) + name; }

struct NameCase {
  std::string name;
  std::string expected;
  // URLToFileName gives the name back (not for "unicode:" names, which it decodes, nor
  // for narrow bytes it reads as text).
  bool roundTrips = true;
};

void ExpectConversions(const std::vector<NameCase>& cases, const std::string& where) {
  for (const NameCase& c : cases) {
    EXPECT_EQ(FileNameToURL(c.name), c.expected) << where << ": " << c.name;
    if (c.roundTrips) {
      EXPECT_EQ(URLToFileName(FileNameToURL(c.name)), c.name) << where << ": " << c.name;
    }
  }
}

TEST(FileNameToURL, ProtocolPrefixesAreNeverWrapped) {
  // The C locale's charset is ASCII, so every other name with "é" would be wrapped.
  ThreadCType ascii("C");
  ASSERT_TRUE(ascii.ok());
  const std::vector<NameCase> cases = {
      {"http://x/" + kE + ".mp4", "http://x/" + kE + ".mp4"},
      {"rtp://239.0.0.1:5004/" + kE, "rtp://239.0.0.1:5004/" + kE},
      {"udp://h:1234?" + kNihon, "udp://h:1234?" + kNihon},
      {"tcp://h:80/" + kE, "tcp://h:80/" + kE},
      {"pipe:" + kE, "pipe:" + kE},
      {"gopher://h/" + kE, "gopher://h/" + kE},
      {"stream:" + kE, "stream:" + kE},
      {"unicode:utf8:/tmp/" + kE + ".mp4", "unicode:utf8:/tmp/" + kE + ".mp4", false},
      {"unicode:other " + kE, "unicode:other " + kE},
      // Only the listed prefixes count, matched exactly; a drive letter does not stop wrapping.
      {"https://x/" + kE + ".mp4", Wrapped("https://x/" + kE + ".mp4")},
      {"HTTP://x/" + kE, Wrapped("HTTP://x/" + kE)},
      {"xhttp:" + kE, Wrapped("xhttp:" + kE)},
      {":http:" + kE, Wrapped(":http:" + kE)},
      {"C:\\Vid" + kE + "os\\a.avi", Wrapped("C:\\Vid" + kE + "os\\a.avi")},
      {"/media/ht:tp/" + kE, Wrapped("/media/ht:tp/" + kE)},
  };
  ExpectConversions(cases, "C");
}

TEST(FileNameToURL, Utf8AndAsciiLocales) {
  struct Row {
    const char* locale;
    std::vector<NameCase> cases;
  };
  const std::vector<Row> rows = {
      {"C.UTF-8",
       {{"/tmp/a.mp4", "/tmp/a.mp4"},
        {"/tmp/caf" + kE + "/" + kNihon + ".mp4", "/tmp/caf" + kE + "/" + kNihon + ".mp4"},
        {"/tmp/caf\xe9.mp4", "/tmp/caf\xe9.mp4"}}},
      {"C",
       {{"/tmp/a b_c-1.mp4", "/tmp/a b_c-1.mp4"},
        {"", ""},
        {"/tmp/caf" + kE + ".mp4", Wrapped("/tmp/caf" + kE + ".mp4")},
        {"/tmp/" + kNihon + ".mp4", Wrapped("/tmp/" + kNihon + ".mp4")},
        // Not valid UTF-8: raw file-system bytes are passed as they are.
        {"/tmp/caf\xe9.mp4", "/tmp/caf\xe9.mp4"},
        {"/tmp/\xc3", "/tmp/\xc3"},
        {"/tmp/\xed\xa0\x80", "/tmp/\xed\xa0\x80"}}},
  };
  for (const Row& row : rows) {
    ThreadCType locale(row.locale);
    ASSERT_TRUE(locale.ok()) << row.locale;
    ExpectConversions(row.cases, row.locale);
  }
}

TEST(FileNameToURL, Latin1LocaleWrapsEveryNonAsciiName) {
  REQUIRE_LATIN1(latin1);
  // "é" has a Latin-1 form, but those bytes would name another file than the UTF-8 one.
  const std::vector<NameCase> cases = {
      {"/home/u/clip.mp4", "/home/u/clip.mp4"},
      {"C:\\Videos\\clip.avi", "C:\\Videos\\clip.avi"},
      {"/home/u/caf" + kE + ".mp4", Wrapped("/home/u/caf" + kE + ".mp4")},
      {"C:\\Vid" + kE + "os\\clip.avi", Wrapped("C:\\Vid" + kE + "os\\clip.avi")},
      {"/home/u/" + kNihon + ".mp4", Wrapped("/home/u/" + kNihon + ".mp4")},
      {"/home/u/caf\xe9.mp4", "/home/u/caf\xe9.mp4", false},
      {"http://x/" + kNihon, "http://x/" + kNihon},
  };
  {
    ThreadCType locale(latin1.c_str());
    ASSERT_TRUE(locale.ok());
    ExpectConversions(cases, latin1 + " (thread)");
  }
  {
    GlobalCType locale(latin1.c_str());
    ASSERT_TRUE(locale.ok());
    ExpectConversions(cases, latin1 + " (global)");
  }
}

TEST(URLToFileName, DecodesWrappedURLsAndNarrowNames) {
  struct Case {
    const char* locale;  // nullptr: the Latin-1 locale
    std::string url;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"C", "unicode:utf8:/tmp/" + kNihon + ".mp4", "/tmp/" + kNihon + ".mp4"},
      {"C", "unicode:utf8:x", "x"},
      {"C", "unicode:utf8:", "unicode:utf8:"},
      {"C", "unicode:utf8:unicode:utf8:a", "unicode:utf8:a"},
      {"C", "http://x/" + kE, "http://x/" + kE},
      // Neither UTF-8 nor ASCII: left as it is.
      {"C", "/tmp/caf\xe9.mp4", "/tmp/caf\xe9.mp4"},
      {"C.UTF-8", "/tmp/caf\xe9.mp4", "/tmp/caf\xe9.mp4"},
      {nullptr, "/tmp/caf\xe9.mp4", "/tmp/caf" + kE + ".mp4"},
      {nullptr, "/tmp/caf" + kE + ".mp4", "/tmp/caf" + kE + ".mp4"},
      {nullptr, "unicode:utf8:/tmp/" + kNihon, "/tmp/" + kNihon},
  };
  const std::string latin1 = Latin1Locale();
  for (const Case& c : cases) {
    if (!c.locale && latin1.empty()) continue;  // reported below
    ThreadCType locale(c.locale ? c.locale : latin1.c_str());
    ASSERT_TRUE(locale.ok());
    EXPECT_EQ(URLToFileName(c.url), c.expected) << c.url;
  }

  for (const auto& [url, expected] : std::vector<std::pair<std::string, bool>>{
           {"unicode:utf8:/a", true},
           {"unicode:utf8:x", true},
           {"unicode:utf8:", false},
           {"unicode:utf8", false},
           {"Unicode:utf8:/a", false},
           {"/tmp/unicode:utf8:/a", false},
           {"unicode:utf16:/a", false}})
    EXPECT_EQ(IsUnicodeURL(url), expected) << url;

  if (latin1.empty()) GTEST_SKIP() << "Latin-1 rows not run: no ISO-8859-1 locale installed";
}

TEST(FileNameToURL, ThreadsGetTheirOwnResults) {
  // Two threads under different locales convert different names at the same time.
  struct Job {
    const char* locale;
    std::string name;
    std::string expected;
    std::atomic<int> wrong{0};
  };
  Job jobs[2] = {
      {"C.UTF-8", "/tmp/a-" + kE + ".mp4", "/tmp/a-" + kE + ".mp4"},
      {"C", "/tmp/bb-" + kNihon + ".mkv", Wrapped("/tmp/bb-" + kNihon + ".mkv")},
  };
  std::vector<std::thread> threads;
  for (Job& job : jobs) {
    threads.emplace_back([&job] {
      ThreadCType locale(job.locale);
      if (!locale.ok()) {
        job.wrong = -1;
        return;
      }
      for (int i = 0; i < 2000; ++i) {
        const std::string url = FileNameToURL(job.name);
        if (url != job.expected || URLToFileName(url) != job.name) ++job.wrong;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (const Job& job : jobs) EXPECT_EQ(job.wrong.load(), 0) << job.locale;
}

// A fresh folder, removed with its contents; names under it are converted in the C
// locale, where every non-ASCII name is wrapped.
class UnicodeIOTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ascii_.ok());
    std::string pattern = (fs::temp_directory_path() / "quenza-unicode-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    ASSERT_TRUE(out.good()) << path;
  }
  static std::string Pattern(size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + seed) % 251);
    return data;
  }
  static int WriteThrough(const std::string& url, const std::string& data) {
    AVIOContext* pb = nullptr;
    int ret = OpenOutputIO(&pb, url);
    if (ret < 0) return ret;
    avio_write(pb, reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
    ret = CloseOutputIO(&pb);
    EXPECT_EQ(pb, nullptr);
    return ret;
  }

  ThreadCType ascii_{"C"};
  std::string dir_;
};

TEST_F(UnicodeIOTest, WritingAWrappedNameCreatesTheExactUtf8Name) {
  const std::string leaf = "Vid" + kE + "o " + kNihon + ".bin";
  const std::string url = FileNameToURL(Path(leaf));
  ASSERT_TRUE(IsUnicodeURL(url)) << url;

  // Larger than the I/O buffer, so the data goes out in several writes.
  const std::string first = Pattern(100000, 7);
  ASSERT_EQ(WriteThrough(url, first), 0);
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{leaf});
  EXPECT_EQ(ReadFile(Path(leaf)), first);

  // Writing again replaces the contents.
  const std::string second = Pattern(10, 3);
  ASSERT_EQ(WriteThrough(url, second), 0);
  EXPECT_EQ(ReadFile(Path(leaf)), second);
}

TEST_F(UnicodeIOTest, FailedOpensGiveNoSuchFile) {
  const std::string missing = FileNameToURL(Path("missing " + kE + ".wav"));
  ASSERT_TRUE(IsUnicodeURL(missing));

  AVFormatContext* ctx = nullptr;
  EXPECT_EQ(OpenInputURL(&ctx, missing, nullptr, nullptr), -2);
  EXPECT_EQ(ctx, nullptr);
  // A context of the caller is freed as avformat_open_input would.
  ctx = avformat_alloc_context();
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(OpenInputURL(&ctx, missing, nullptr, nullptr), AVERROR(ENOENT));
  EXPECT_EQ(ctx, nullptr);

  // The file opens but the demuxer fails: our I/O is freed with the context, once.
  WriteFile(Path("empty " + kE + ".wav"), "");
  WriteFile(Path("text " + kE + ".wav"), "not a RIFF header at all");
  for (const auto& [leaf, format] : {std::pair{"empty " + kE + ".wav", (const AVInputFormat*)nullptr},
                                     std::pair{"text " + kE + ".wav", av_find_input_format("wav")}}) {
    const std::string url = FileNameToURL(Path(leaf));
    ASSERT_TRUE(IsUnicodeURL(url));
    EXPECT_LT(OpenInputURL(&ctx, url, format, nullptr), 0) << leaf;
    EXPECT_EQ(ctx, nullptr);
  }

  AVIOContext* pb = nullptr;
  EXPECT_EQ(OpenOutputIO(&pb, FileNameToURL(Path("no folder " + kE + "/out.wav"))), -2);
  EXPECT_EQ(pb, nullptr);

  std::unique_ptr<TUnicodeIO> io;
  EXPECT_EQ(TUnicodeIO::Open(Wrapped(dir_), AVIO_FLAG_READ, io), -2) << "a folder is not a file";
  EXPECT_EQ(io, nullptr);
  EXPECT_EQ(TUnicodeIO::Open(Path("plain.bin"), AVIO_FLAG_READ, io), AVERROR(EINVAL));
  EXPECT_EQ(io, nullptr);
}

TEST_F(UnicodeIOTest, SeekSizeAndEndOfFile) {
  const std::string path = Path("seek " + kE + ".bin");
  // Several buffers long, so that far seeks reach the file.
  constexpr int kSize = 200000;
  const std::string data = Pattern(kSize, 1);
  WriteFile(path, data);

  std::unique_ptr<TUnicodeIO> io;
  ASSERT_EQ(TUnicodeIO::Open(FileNameToURL(path), AVIO_FLAG_READ, io), 0);
  AVIOContext* pb = io->Context();
  ASSERT_NE(pb, nullptr);
  EXPECT_EQ(TUnicodeIO::FromContext(pb), io.get());
  EXPECT_TRUE(pb->seekable & AVIO_SEEKABLE_NORMAL);
  EXPECT_FALSE(pb->write_flag);

  EXPECT_EQ(avio_size(pb), kSize);
  EXPECT_EQ(avio_seek(pb, 150000, SEEK_SET), 150000);
  EXPECT_EQ(avio_r8(pb), static_cast<unsigned char>(data[150000]));
  EXPECT_EQ(avio_seek(pb, 99, SEEK_CUR), 150100);
  EXPECT_EQ(avio_r8(pb), static_cast<unsigned char>(data[150100]));
  EXPECT_EQ(avio_seek(pb, 3, SEEK_SET | AVSEEK_FORCE), 3);
  EXPECT_EQ(avio_rb16(pb),
            (unsigned{static_cast<unsigned char>(data[3])} << 8) | static_cast<unsigned char>(data[4]));

  // Reading to the end leaves the context at end of file without an error at close.
  ASSERT_EQ(avio_seek(pb, 0, SEEK_SET), 0);
  std::string all(kSize + 1000, '\0');
  EXPECT_EQ(avio_read(pb, reinterpret_cast<unsigned char*>(all.data()), kSize + 1000), kSize);
  EXPECT_EQ(all.substr(0, kSize), data);
  EXPECT_TRUE(avio_feof(pb));

  // The callbacks as the libraries call them (past the context's buffer).
  EXPECT_EQ(pb->seek(pb->opaque, 0, AVSEEK_SIZE), kSize);
  EXPECT_EQ(pb->seek(pb->opaque, 0, AVSEEK_SIZE | AVSEEK_FORCE), kSize);
  EXPECT_EQ(pb->seek(pb->opaque, -4, SEEK_END), kSize - 4);
  uint8_t buf[16];
  ASSERT_EQ(pb->read_packet(pb->opaque, buf, sizeof buf), 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), data.substr(kSize - 4));
  EXPECT_EQ(pb->read_packet(pb->opaque, buf, sizeof buf), AVERROR_EOF);
  EXPECT_EQ(pb->seek(pb->opaque, 10, SEEK_SET), 10);
  EXPECT_EQ(pb->seek(pb->opaque, 5, SEEK_CUR), 15);
  EXPECT_EQ(pb->seek(pb->opaque, -100, SEEK_SET), AVERROR(EIO));
  EXPECT_LT(pb->seek(pb->opaque, 0, 7), 0);

  EXPECT_EQ(io->Close(), 0);
  EXPECT_EQ(io->Context(), nullptr);
  EXPECT_EQ(io->Close(), 0);
}

TEST_F(UnicodeIOTest, ReadWriteOpenCreatesAFileAndReadsItBack) {
  const std::string path = Path("rw " + kNihon + ".bin");
  WriteFile(path, Pattern(5000, 9));  // replaced by the open
  std::unique_ptr<TUnicodeIO> io;
  ASSERT_EQ(TUnicodeIO::Open(FileNameToURL(path), AVIO_FLAG_READ_WRITE, io), 0);
  AVIOContext* pb = io->Context();
  EXPECT_TRUE(pb->write_flag);
  EXPECT_EQ(avio_size(pb), 0);
  const std::string data = Pattern(300, 5);
  avio_write(pb, reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
  avio_flush(pb);
  EXPECT_EQ(avio_size(pb), 300);
  EXPECT_EQ(pb->seek(pb->opaque, 100, SEEK_SET), 100);
  uint8_t buf[8];
  ASSERT_EQ(pb->read_packet(pb->opaque, buf, sizeof buf), 8);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 8), data.substr(100, 8));
  EXPECT_EQ(io->Close(), 0);
  EXPECT_EQ(ReadFile(path), data);
}

TEST(UnicodeIO, WriteErrorsAreReportedAtClose) {
  // /dev/full takes the open but fails every write.
  for (const std::string& url : {Wrapped("/dev/full"), std::string("/dev/full")}) {
    AVIOContext* pb = nullptr;
    ASSERT_EQ(OpenOutputIO(&pb, url), 0) << url;
    const std::string data(100000, 'x');
    avio_write(pb, reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
    EXPECT_LT(CloseOutputIO(&pb), 0) << url;
    EXPECT_EQ(pb, nullptr);
  }
  // A small write fails only at the final flush.
  std::unique_ptr<TUnicodeIO> io;
  ASSERT_EQ(TUnicodeIO::Open(Wrapped("/dev/full"), AVIO_FLAG_WRITE, io), 0);
  EXPECT_FALSE(io->Context()->seekable);
  avio_w8(io->Context(), 1);
  EXPECT_EQ(io->Close(), AVERROR(EIO));
}

constexpr int kRate = 8000;
constexpr int kSamples = 2400;  // 0.3 s
constexpr int kPacketSamples = 800;

std::string ToneSamples() {
  std::string bytes(kSamples * 2, '\0');
  for (int n = 0; n < kSamples; ++n) {
    const auto v = static_cast<int16_t>(std::lround(8000.0 * std::sin(2 * std::numbers::pi * 440.0 * n / kRate)));
    bytes[2 * n] = static_cast<char>(v & 0xff);
    bytes[2 * n + 1] = static_cast<char>((v >> 8) & 0xff);
  }
  return bytes;
}

// Muxes the samples as a mono 16-bit WAV to url through OpenOutputIO.
void WriteWav(const std::string& url, const std::string& samples) {
  AVFormatContext* raw = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&raw, nullptr, "wav", url.c_str()), 0);
  AVFormatContextPtr oc(raw);
  oc->flags |= AVFMT_FLAG_BITEXACT;
  AVStream* st = avformat_new_stream(oc.get(), nullptr);
  ASSERT_NE(st, nullptr);
  AVCodecParameters* par = st->codecpar;
  par->codec_type = AVMEDIA_TYPE_AUDIO;
  par->codec_id = AV_CODEC_ID_PCM_S16LE;
  par->format = AV_SAMPLE_FMT_S16;
  par->sample_rate = kRate;
  av_channel_layout_default(&par->ch_layout, 1);
  par->bits_per_coded_sample = 16;
  par->block_align = 2;
  par->bit_rate = kRate * 16;
  st->time_base = {1, kRate};

  ASSERT_EQ(OpenOutputIO(&oc->pb, url), 0);
  struct PbCloser {
    AVIOContext** pb;
    ~PbCloser() { CloseOutputIO(pb); }  // only reached with an open pb after a failure
  } closer{&oc->pb};
  ASSERT_GE(avformat_write_header(oc.get(), nullptr), 0);
  AVPacketPtr pkt(av_packet_alloc());
  ASSERT_NE(pkt, nullptr);
  for (int start = 0; start < kSamples; start += kPacketSamples) {
    ASSERT_EQ(av_new_packet(pkt.get(), kPacketSamples * 2), 0);
    std::memcpy(pkt->data, samples.data() + start * 2, kPacketSamples * 2);
    pkt->pts = pkt->dts = start;
    pkt->duration = kPacketSamples;
    pkt->stream_index = 0;
    av_packet_rescale_ts(pkt.get(), {1, kRate}, st->time_base);
    ASSERT_EQ(av_write_frame(oc.get(), pkt.get()), 0);
    av_packet_unref(pkt.get());
  }
  ASSERT_EQ(av_write_trailer(oc.get()), 0);
  EXPECT_EQ(CloseOutputIO(&oc->pb), 0);
}

TEST_F(UnicodeIOTest, WavThroughWrappedNamesRoundTrips) {
  const std::string leaf = "tone " + kE + " " + kNihon + ".wav";
  const std::string url = FileNameToURL(Path(leaf));
  ASSERT_TRUE(IsUnicodeURL(url));
  const std::string samples = ToneSamples();
  WriteWav(url, samples);
  if (HasFatalFailure()) return;

  // The header was rewritten through seeks: its data chunk holds the sample count.
  const std::string file = ReadFile(Path(leaf));
  const size_t data = file.find("data");
  ASSERT_NE(data, std::string::npos);
  uint32_t dataSize = 0;
  std::memcpy(&dataSize, file.data() + data + 4, 4);
  EXPECT_EQ(dataSize, samples.size());
  EXPECT_EQ(file.substr(data + 8), samples);

  struct Variant {
    bool ownContext;
    const AVInputFormat* format;
  };
  for (const Variant& v : {Variant{false, nullptr}, Variant{true, av_find_input_format("wav")}}) {
    SCOPED_TRACE(v.ownContext ? "caller's context, wav format" : "probed");
    AVFormatContext* ctx = v.ownContext ? avformat_alloc_context() : nullptr;
    AVDict options;
    ASSERT_EQ(av_dict_set(options.addr(), "probesize", "4096", 0), 0);
    ASSERT_EQ(OpenInputURL(&ctx, url, v.format, options.addr()), 0);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(options.count(), 0) << "probesize is a format option and must be taken";
    EXPECT_TRUE(ctx->flags & AVFMT_FLAG_CUSTOM_IO);
    EXPECT_NE(TUnicodeIO::FromContext(ctx->pb), nullptr);
    EXPECT_STREQ(ctx->iformat->name, "wav");
    EXPECT_EQ(URLToFileName(ctx->url), Path(leaf));

    EXPECT_GE(avformat_find_stream_info(ctx, nullptr), 0);
    ASSERT_EQ(ctx->nb_streams, 1u);
    const AVCodecParameters* par = ctx->streams[0]->codecpar;
    EXPECT_EQ(par->codec_type, AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(par->codec_id, AV_CODEC_ID_PCM_S16LE);
    EXPECT_EQ(par->sample_rate, kRate);
    EXPECT_EQ(par->ch_layout.nb_channels, 1);

    std::string read;
    AVPacketPtr pkt(av_packet_alloc());
    ASSERT_NE(pkt, nullptr);
    int ret;
    while ((ret = av_read_frame(ctx, pkt.get())) >= 0) {
      read.append(reinterpret_cast<const char*>(pkt->data), static_cast<size_t>(pkt->size));
      av_packet_unref(pkt.get());
    }
    EXPECT_EQ(ret, AVERROR_EOF);
    EXPECT_EQ(read, samples);
    CloseInputURL(&ctx);
    EXPECT_EQ(ctx, nullptr);
  }
}

TEST(UnicodeIO, PlainURLsUseTheLibrariesOwnIO) {
  const std::string path =
      (fs::temp_directory_path() / ("quenza-plain-" + std::to_string(getpid()) + ".nomedia")).string();
  AVIOContext* pb = nullptr;
  ASSERT_EQ(OpenOutputIO(&pb, path), 0);
  EXPECT_EQ(TUnicodeIO::FromContext(pb), nullptr);
  avio_write(pb, reinterpret_cast<const unsigned char*>("abc"), 3);
  EXPECT_EQ(CloseOutputIO(&pb), 0);
  EXPECT_EQ(pb, nullptr);
  EXPECT_EQ(fs::file_size(path), 3u);

  // Not a media file: the plain open fails and frees the context.
  AVFormatContext* ctx = nullptr;
  EXPECT_LT(OpenInputURL(&ctx, path, nullptr, nullptr), 0);
  EXPECT_EQ(ctx, nullptr);
  CloseInputURL(&ctx);  // a null context is left alone
  fs::remove(path);
}

TEST(UnicodeIO, WrappedNameOpensTheUtf8FileNotItsLatin1Twin) {
  REQUIRE_LATIN1(latin1);
  ThreadCType locale(latin1.c_str());
  ASSERT_TRUE(locale.ok());
  std::string dir = (fs::temp_directory_path() / "quenza-twin-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string utf8Name = dir + "/caf" + kE + ".txt";
  const std::string latin1Name = dir + "/caf\xe9.txt";
  std::ofstream(utf8Name, std::ios::binary) << "utf8";
  std::ofstream(latin1Name, std::ios::binary) << "latin1";

  std::unique_ptr<TUnicodeIO> io;
  const std::string url = FileNameToURL(utf8Name);
  EXPECT_EQ(url, Wrapped(utf8Name));
  EXPECT_EQ(URLToFileName(latin1Name), utf8Name) << "the narrow name reads as the same text";
  if (TUnicodeIO::Open(url, AVIO_FLAG_READ, io) == 0) {
    unsigned char buf[16] = {};
    EXPECT_EQ(avio_read(io->Context(), buf, sizeof buf), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "utf8");
  } else {
    ADD_FAILURE() << "open failed: " << url;
  }
  io.reset();
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
}  // namespace quenza
