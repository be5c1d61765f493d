// The conversion frame hook: blending, effects on split rows, watermarks by time,
// text boxes, watermark pictures and their caches, the canvas lock, and the hook
// driven by the converter component.

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>
#include <QString>
#include <QTemporaryDir>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

#include "app/ConversionHook.h"
#include "media/FFmpegLoader.h"
#include "media/FFmpegLogger.h"
#include "support/TestMedia.h"

namespace quenza {
namespace {

// Text needs Qt's fonts: one QGuiApplication for the whole run, with no screen.
class QtGuiEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    app_ = std::make_unique<QGuiApplication>(argc_, argv_);
  }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[5] = "test";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QGuiApplication> app_;
};
::testing::Environment* const kQtGui = ::testing::AddGlobalTestEnvironment(new QtGuiEnvironment);

using Pixel = std::array<uint8_t, 3>;  // blue, green, red
using Bytes = std::vector<uint8_t>;

Pixel At(const TBitmap& b, int x, int y) {
  const uint8_t* p = b.ScanLine(y) + 3 * x;
  return {p[0], p[1], p[2]};
}

void Fill(TBitmap& b, int w, int h, Pixel px) {
  b.SetSize(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) std::copy(px.begin(), px.end(), b.ScanLine(y) + 3 * x);
}

// Random bytes everywhere, row padding included.
void FillNoise(TBitmap& b, int w, int h, uint32_t seed) {
  b.SetSize(w, h);
  std::mt19937 rng(seed);
  for (size_t i = 0; i < static_cast<size_t>(b.Stride()) * h; ++i)
    b.Bits()[i] = static_cast<uint8_t>(rng());
}

Bytes BytesOf(const TBitmap& b) {
  return Bytes(b.Bits(), b.Bits() + static_cast<size_t>(b.Stride()) * b.Height());
}

// Equal pictures; otherwise where the first difference is.
testing::AssertionResult Same(const Bytes& got, const Bytes& expected) {
  if (got.size() != expected.size())
    return testing::AssertionFailure() << got.size() << " bytes instead of " << expected.size();
  const auto diff = std::mismatch(got.begin(), got.end(), expected.begin());
  if (diff.first == got.end()) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "byte " << (diff.first - got.begin()) << " is " << int(*diff.first)
                                     << " instead of " << int(*diff.second);
}

uint8_t Mix(uint8_t f, uint8_t o, int a) { return static_cast<uint8_t>((f * (256 - a) + o * a) / 256); }
Pixel Mix(Pixel f, Pixel o, int a) { return {Mix(f[0], o[0], a), Mix(f[1], o[1], a), Mix(f[2], o[2], a)}; }

bool InRect(int x, int y, int left, int top, int w, int h) {
  return x >= left && x < left + w && y >= top && y < top + h;
}

// ---- BlendBitmap ----

struct ClipCase {
  const char* name;
  int ow, oh, x, y;
  int left, top, w, h;  // expected frame rectangle drawn
  int srcX, srcY;       // overlay pixel drawn at its top-left
};

TEST(BlendBitmap, ClipsToTheFrame) {
  // Frame 201 x 100: its rows carry padding, which must survive.
  const ClipCase cases[] = {
      {"negative offsets", 100, 40, -10, -10, 0, 0, 90, 30, 10, 10},
      {"right and bottom edges", 100, 40, 150, 80, 150, 80, 51, 20, 0, 0},
      {"top row onto top row", 100, 40, 7, 0, 7, 0, 100, 40, 0, 0},
      {"ends on the bottom row", 100, 40, 0, 60, 0, 60, 100, 40, 0, 0},
      {"larger than the frame", 300, 200, -20, -30, 0, 0, 201, 100, 20, 30},
      {"one column left", 50, 10, -49, 5, 0, 5, 1, 10, 49, 0},
      {"right of the frame", 50, 10, 201, 0, 0, 0, 0, 0, 0, 0},
      {"above the frame", 50, 10, 0, -10, 0, 0, 0, 0, 0, 0},
      {"below the frame", 50, 10, 0, 100, 0, 0, 0, 0, 0, 0},
      {"far left", 50, 10, INT_MIN, 0, 0, 0, 0, 0, 0, 0},
      {"far right", 50, 10, INT_MAX, INT_MAX, 0, 0, 0, 0, 0, 0},
  };
  constexpr int kOpacity = 200;
  for (const ClipCase& c : cases) {
    SCOPED_TRACE(c.name);
    TBitmap frame, overlay;
    FillNoise(frame, 201, 100, 1);
    FillNoise(overlay, c.ow, c.oh, 2);
    const Bytes before = BytesOf(frame);
    TBitmap expected;
    FillNoise(expected, 201, 100, 1);
    for (int r = 0; r < c.h; ++r)
      for (int col = 0; col < c.w; ++col) {
        const Pixel px = Mix(At(expected, c.left + col, c.top + r), At(overlay, c.srcX + col, c.srcY + r), kOpacity);
        std::copy(px.begin(), px.end(), expected.ScanLine(c.top + r) + 3 * (c.left + col));
      }
    BlendBitmap(frame, overlay, c.x, c.y, kOpacity);
    EXPECT_TRUE(Same(BytesOf(frame), BytesOf(expected)));
    if (c.w == 0) {
      EXPECT_TRUE(Same(BytesOf(frame), before));
    }
  }
}

TEST(BlendBitmap, Opacity) {
  struct Case {
    uint8_t frame, overlay;
    int opacity;
    uint8_t expected;
  };
  const Case cases[] = {
      {0, 255, 0, 0},       {0, 255, 128, 127},  {0, 255, 255, 254}, {100, 200, 255, 199},
      {200, 100, 64, 175},  {255, 0, 1, 254},    {37, 37, 255, 37},  {10, 20, -5, 10},
      {10, 20, 999, 19},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.frame) << " under " << int(c.overlay) << " at " << c.opacity);
    TBitmap frame, overlay;
    Fill(frame, 3, 2, {c.frame, c.frame, c.frame});
    Fill(overlay, 3, 2, {c.overlay, c.overlay, c.overlay});
    BlendBitmap(frame, overlay, 0, 0, c.opacity);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 3; ++x) EXPECT_EQ(At(frame, x, y), (Pixel{c.expected, c.expected, c.expected}));
  }
}

// ---- effects on split rows ----

const TPictureEffectValues kEffectSets[] = {
    {300, 0, 255, 0},     // brightness
    {255, -40, 400, 0},   // contrast and saturation
    {255, 0, 255, 100},   // exposure
    {180, 35, 90, -60},   // all four, fused
};

TEST(EffectsWorker, SplitRowsMatchTheWholePicture) {
  const std::pair<int, int> sizes[] = {{1, 1}, {5, 2}, {3, 3}, {31, 7}, {640, 361}, {1280, 720}};
  TEffectsWorker worker;
  for (const auto& [w, h] : sizes)
    for (const TPictureEffectValues& v : kEffectSets) {
      SCOPED_TRACE(testing::Message() << w << "x" << h << " b" << v.Brightness << " c" << v.Contrast
                                      << " s" << v.Saturation << " e" << v.Exposure);
      TBitmap split, whole;
      FillNoise(split, w, h, 7);
      FillNoise(whole, w, h, 7);
      worker.Apply(split, v);
      ApplyConversionEffects(whole.ScanLine(0), h > 1 ? whole.ScanLine(1) : nullptr, w, h, v);
      EXPECT_TRUE(Same(BytesOf(split), BytesOf(whole)));
    }
}

TEST(EffectsWorker, SharedByThreadsAtOnce) {
  TEffectsWorker worker;
  TBitmap reference;
  FillNoise(reference, 320, 241, 9);
  ApplyConversionEffects(reference.ScanLine(0), reference.ScanLine(1), 320, 241, kEffectSets[3]);
  const Bytes expected = BytesOf(reference);
  std::atomic<int> mismatches{0};
  auto run = [&] {
    TBitmap b;
    for (int i = 0; i < 40; ++i) {
      FillNoise(b, 320, 241, 9);
      worker.Apply(b, kEffectSets[3]);
      if (!Same(BytesOf(b), expected)) ++mismatches;
    }
  };
  std::thread a(run), b(run);
  a.join();
  b.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(ConversionHook, EffectsMatchTheWholePictureRoutine) {
  TlvFilesRecord entry;
  entry.Brightness = 180;
  entry.Contrast = 35;
  entry.Saturation = 90;
  entry.Exposure = -60;
  TBitmap frame, whole;
  FillNoise(frame, 1280, 720, 3);
  FillNoise(whole, 1280, 720, 3);
  TConversionHook hook;
  THookInfo info;
  info.Bitmap = &frame;
  hook.ConverterCustomHook(entry, info);
  ApplyConversionEffects(whole.ScanLine(0), whole.ScanLine(1), 1280, 720,
                         {entry.Brightness, entry.Contrast, entry.Saturation, entry.Exposure});
  EXPECT_TRUE(Same(BytesOf(frame), BytesOf(whole)));
}

// ---- watermarks ----

TWmRec& AddText(TlvFilesRecord& entry, const std::string& text, int left, int top, int w, int h) {
  TWmRec& item = entry.AddWatermark();
  item.Kind = TWmRec::kTextKind;
  item.Text = text;
  item.TextLeft = left;
  item.TextTop = top;
  item.TextWidth = w;
  item.TextHeight = h;
  item.EndSec = 1000;
  return item;
}

TWmRec& AddImage(TlvFilesRecord& entry, const std::string& file, int left, int top) {
  TWmRec& item = entry.AddWatermark();
  item.Kind = TWmRec::kImageKind;
  item.ImageFile = file;
  item.ImageLeft = left;
  item.ImageTop = top;
  item.EndSec = 1000;
  return item;
}

// Runs the hook once on the frame at a time, as task `task`.
void RunHook(TConversionHook& hook, const TlvFilesRecord& entry, TBitmap& frame, int64_t ptsUs, int task = 0) {
  THookInfo info;
  info.TaskIndex = task;
  info.Bitmap = &frame;
  info.PTS = ptsUs;
  info.Update = false;
  info.StopHook = true;
  hook.ConverterCustomHook(entry, info);
  EXPECT_TRUE(info.Update);
  EXPECT_FALSE(info.StopHook);
}

TEST(ConversionHook, WatermarkShownInItsWholeSeconds) {
  struct Case {
    int startSec, endSec;
    int64_t pts;
    bool shown;
  };
  const Case cases[] = {
      {5, 5, 4'999'999, false}, {5, 5, 5'000'000, true}, {5, 5, 5'999'999, true},
      {5, 5, 6'000'000, false}, {0, 0, -999'999, true},  {0, 0, -1'000'000, false},
      {2, 1, 1'500'000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.startSec << ".." << c.endSec << " at " << c.pts);
    // Text in the background colour: the box is one flat colour whatever the glyphs.
    TlvFilesRecord entry;
    TWmRec& item = AddText(entry, "Hg", 4, 4, 20, 10);
    item.HasBackground = true;
    item.BackColor = 0x0000FF;
    item.Font.Color = 0x0000FF;
    item.StartSec = c.startSec;
    item.EndSec = c.endSec;
    TBitmap frame;
    Fill(frame, 64, 32, {0, 0, 0});
    TConversionHook hook;
    RunHook(hook, entry, frame, c.pts);
    for (int y = 0; y < 32; ++y)
      for (int x = 0; x < 64; ++x) {
        const bool drawn = c.shown && InRect(x, y, 4, 4, 20, 10);
        const Pixel expected = drawn ? Pixel{0, 0, 254} : Pixel{0, 0, 0};
        ASSERT_EQ(At(frame, x, y), expected) << x << "," << y;
      }
  }
}

TEST(ConversionHook, TextChangesItsBoxOnly) {
  struct Case {
    const char* name;
    bool background;
    int left, top;
  };
  const Case cases[] = {
      {"background", true, 30, 20},
      {"background, partly off the frame", true, -7, -5},
      {"frame behind", false, 30, 20},
      {"frame behind, partly off the frame", false, -7, -5},
  };
  constexpr int kW = 60, kH = 25;
  constexpr Pixel kBack{0, 255, 0};  // BackColor 0x0000FF00
  constexpr Pixel kInk{255, 0, 0};   // Font.Color 0x00FF0000
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlvFilesRecord entry;
    TWmRec& item = AddText(entry, "Hg", c.left, c.top, kW, kH);
    item.HasBackground = c.background;
    item.BackColor = 0x00FF00;
    item.Font.Color = 0xFF0000;
    item.Font.Size = 14;
    item.Font.Bold = true;
    TBitmap frame, original;
    FillNoise(frame, 160, 90, 5);
    FillNoise(original, 160, 90, 5);
    TConversionHook hook;
    RunHook(hook, entry, frame, 0);

    int base = 0, ink = 0, inside = 0;
    for (int y = 0; y < 90; ++y)
      for (int x = 0; x < 160; ++x) {
        const Pixel was = At(original, x, y), now = At(frame, x, y);
        if (!InRect(x, y, c.left, c.top, kW, kH)) {
          ASSERT_EQ(now, was) << "outside the box at " << x << "," << y;
          continue;
        }
        ++inside;
        if (now == (c.background ? Mix(was, kBack, 255) : was)) ++base;
        if (now == Mix(was, kInk, 255)) ++ink;
      }
    EXPECT_GT(base, inside / 2) << "most of the box is its background";
    EXPECT_GT(ink, 0) << "the text's core pixels are in its colour";
    EXPECT_LT(base, inside) << "the text is drawn";
  }
}

// Writes a 64 x 64 picture with every pixel telling its place: red = 4x, green = 4y.
std::string WriteGradient(const QTemporaryDir& dir, const char* name) {
  QImage image(64, 64, QImage::Format_RGB32);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x) image.setPixel(x, y, qRgb(4 * x, 4 * y, 77));
  const QString path = dir.filePath(name);
  EXPECT_TRUE(image.save(path, "BMP"));
  return path.toStdString();
}

TEST(ConversionHook, WatermarksAskOnlyForTheirRows) {
  // A frame made on demand in blocks of 16 rows: the hook must ask for the rows under
  // its watermarks only (with write access), and for every row when effects are on.
  struct TSource : TBitmapRowSource {
    bool MakeRows(int, int) override { return false; }
  } source;
  struct Case {
    const char* name;
    bool background, effects;
    std::vector<uint8_t> expected;  // state per block of 16 rows
  };
  constexpr uint8_t kNone = 0, kDrawn = TBitmap::kBlockMade | TBitmap::kBlockWritten;
  const Case cases[] = {
      {"text with background (rows 20..44)", true, false, {kNone, kDrawn, kDrawn, kNone, kNone, kNone}},
      {"text over the frame", false, false, {kNone, kDrawn, kDrawn, kNone, kNone, kNone}},
      {"effects", true, true, std::vector<uint8_t>(6, kDrawn)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlvFilesRecord entry;
    TWmRec& item = AddText(entry, "Hg", 30, 20, 60, 25);
    item.HasBackground = c.background;
    if (c.effects) entry.Brightness = 300;
    TBitmap frame;
    FillNoise(frame, 160, 90, 5);
    frame.SetRowSource(&source, 16);
    TConversionHook hook;
    RunHook(hook, entry, frame, 0);
    for (int b = 0; b < 6; ++b) EXPECT_EQ(frame.BlockState(b), c.expected[b]) << "block " << b;
  }
}

TEST(ConversionHook, ImageDrawnAtTheSizeOfItsFile) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  TlvFilesRecord entry;
  TWmRec& item = AddImage(entry, WriteGradient(dir, "w.bmp"), 10, 20);
  item.ImageWidth = 128;
  item.ImageHeight = 128;
  constexpr Pixel kGrey{50, 60, 70};
  TBitmap frame;
  Fill(frame, 200, 160, kGrey);
  TConversionHook hook;
  RunHook(hook, entry, frame, 0);
  for (int y = 0; y < 160; ++y)
    for (int x = 0; x < 200; ++x) {
      const Pixel expected = InRect(x, y, 10, 20, 64, 64)
                                 ? Mix(kGrey, Pixel{77, uint8_t(4 * (y - 20)), uint8_t(4 * (x - 10))}, 255)
                                 : kGrey;
      ASSERT_EQ(At(frame, x, y), expected) << x << "," << y;
    }
}

TEST(ConversionHook, ImageReadOncePerTask) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  TlvFilesRecord entry;
  const std::string file = WriteGradient(dir, "once.bmp");
  AddImage(entry, file, 0, 0);
  TConversionHook hook;
  TBitmap first, second, otherTask;
  Fill(first, 80, 80, {0, 0, 0});
  Fill(second, 80, 80, {0, 0, 0});
  Fill(otherTask, 80, 80, {0, 0, 0});
  const Bytes blank = BytesOf(first);
  RunHook(hook, entry, first, 0, 0);
  ASSERT_FALSE(Same(BytesOf(first), blank));
  ASSERT_TRUE(std::filesystem::remove(file));
  RunHook(hook, entry, second, 40'000, 0);
  EXPECT_TRUE(Same(BytesOf(second), BytesOf(first))) << "the task keeps the picture it read";
  RunHook(hook, entry, otherTask, 0, 1);
  EXPECT_TRUE(Same(BytesOf(otherTask), blank)) << "another task reads the file itself";
}

TEST(ConversionHook, UnreadableImageDrawsNothing) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const std::string garbage = dir.filePath("garbage.bmp").toStdString();
  {
    std::FILE* f = std::fopen(garbage.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("BM not a picture", f);
    std::fclose(f);
  }
  for (const std::string& file : {dir.filePath("missing.bmp").toStdString(), garbage}) {
    SCOPED_TRACE(file);
    TlvFilesRecord entry;
    AddImage(entry, file, 0, 0);
    TBitmap frame;
    FillNoise(frame, 40, 30, 4);
    const Bytes before = BytesOf(frame);
    TConversionHook hook;
    for (int i = 0; i < 2; ++i) RunHook(hook, entry, frame, i * 40'000);
    EXPECT_TRUE(Same(BytesOf(frame), before));
  }
}

// A hook kept for the task gives frame after frame what a fresh hook gives each frame:
// cached boxes and pictures are those the frame would get anyway, and a text box that
// shows the frame behind it follows the frame.
TEST(ConversionHook, CachesGiveTheSameFramesAsAFreshHook) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  TlvFilesRecord entry;
  entry.Brightness = 300;
  TWmRec& boxed = AddText(entry, "Boxed", 5, 5, 70, 20);
  boxed.HasBackground = true;
  boxed.BackColor = 0x203040;
  boxed.TextOpacity = 170;
  boxed.EndSec = 5;
  TWmRec& clear = AddText(entry, "Clear", 50, 40, 80, 24);
  clear.Font.Color = 0xFFFFFF;
  clear.Font.Italic = true;
  clear.StartSec = 1;
  clear.EndSec = 4;
  TWmRec& picture = AddImage(entry, WriteGradient(dir, "cache.bmp"), 100, 10);
  picture.ImageOpacity = 90;
  picture.EndSec = 3;

  TConversionHook kept;
  for (int second = 0; second < 6; ++second) {
    SCOPED_TRACE(second);
    TBitmap a, b;
    FillNoise(a, 192, 108, 100 + second);
    FillNoise(b, 192, 108, 100 + second);
    RunHook(kept, entry, a, second * 1'000'000LL + 20'000);
    TConversionHook fresh;
    RunHook(fresh, entry, b, second * 1'000'000LL + 20'000);
    EXPECT_TRUE(Same(BytesOf(a), BytesOf(b)));
  }
}

TEST(ConversionHook, TakesTheCanvasLockUnlessTheCallerHoldsIt) {
  using namespace std::chrono_literals;
  TlvFilesRecord entry;
  entry.Brightness = 300;
  TBitmap frame;
  FillNoise(frame, 16, 16, 6);
  TConversionHook hook;
  std::unique_lock<std::mutex> held(frame.CanvasLock());
  auto event = std::async(std::launch::async, [&] {
    THookInfo info;
    info.Bitmap = &frame;
    ConversionHookEvent(hook, &entry, &info);
  });
  const std::future_status eventStatus = event.wait_for(20s);
  auto direct = std::async(std::launch::async, [&] {
    THookInfo info;
    info.Bitmap = &frame;
    hook.ConverterCustomHook(entry, info);
  });
  const std::future_status directStatus = direct.wait_for(200ms);
  held.unlock();
  event.get();
  direct.get();
  EXPECT_EQ(eventStatus, std::future_status::ready) << "the event entry runs under the caller's lock";
  EXPECT_EQ(directStatus, std::future_status::timeout) << "the handler waits for the canvas";
}

TEST(NeedsConversionHook, Table) {
  struct Case {
    const char* name;
    std::function<void(TlvFilesRecord&)> set;
    bool needed;
  };
  const Case cases[] = {
      {"nothing", [](TlvFilesRecord&) {}, false},
      {"brightness", [](TlvFilesRecord& e) { e.Brightness = 256; }, true},
      {"contrast", [](TlvFilesRecord& e) { e.Contrast = -1; }, true},
      {"saturation", [](TlvFilesRecord& e) { e.Saturation = 256; }, true},
      {"exposure", [](TlvFilesRecord& e) { e.Exposure = 1; }, true},
      {"first item text", [](TlvFilesRecord& e) { e.AddWatermark().Text = "x"; }, true},
      {"first item file", [](TlvFilesRecord& e) { e.AddWatermark().ImageFile = "a.bmp"; }, true},
      {"text on an image item", [](TlvFilesRecord& e) {
         TWmRec& w = e.AddWatermark();
         w.Kind = TWmRec::kImageKind;
         w.Text = "x";
       }, true},
      {"first item empty", [](TlvFilesRecord& e) {
         e.AddWatermark();
         e.AddWatermark().Text = "x";
       }, false},
  };
  for (const Case& c : cases) {
    TlvFilesRecord entry;
    c.set(entry);
    EXPECT_EQ(NeedsConversionHook(entry), c.needed) << c.name;
  }
}

// Two tasks at once through the component, each with its own entry: a white and a black
// box over the moving picture of every frame.
TEST(ConversionHook, DrawsThroughTheConverterComponent) {
  TMediaProcessScope scope;
  GetLogger().SetLogLevel(llError);
  ASSERT_TRUE(FFLoader().LoadLibraries(ConverterLibraries));
  test::MediaSpec spec;
  spec.container = "mp4";
  spec.videoCodec = "libx264";
  spec.width = 160;
  spec.height = 120;
  spec.duration = 0.4;
  const std::string clip = test::MakeMedia(spec);
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());

  const uint32_t colours[2] = {0xFFFFFF, 0x000000};
  TlvFilesRecord entries[2];
  for (int i = 0; i < 2; ++i) {
    TWmRec& item = AddText(entries[i], "Hg", 40, 40, 40, 40);
    item.HasBackground = true;
    item.BackColor = colours[i];
    item.Font.Color = colours[i];
  }
  TConversionHook hook;
  const auto handler = hook.MakeCustomHookEvent(
      [&](int task) -> const TlvFilesRecord* { return task == 0 || task == 1 ? &entries[task] : nullptr; });
  std::atomic<int> calls[2] = {0, 0};
  std::atomic<bool> finished{false};
  TFFmpegVCL conv;
  conv.OnCustomHook = [&](TCustomFFmpegVCL* sender, PHookInfo info) {
    if (info->TaskIndex == 0 || info->TaskIndex == 1) ++calls[info->TaskIndex];
    handler(sender, info);
  };
  conv.OnTerminate = [&](TCustomFFmpegVCL*, const TTerminateInfo& info) {
    EXPECT_FALSE(info.Exception) << info.ExceptionMsg;
    if (info.TaskIndex < 0) finished = true;
  };
  TOutputOptions out;
  out.ExtOptions = "vcodec=mpeg4<CRLF>b=2000000";
  out.CustomHook = true;
  std::string files[2];
  for (int i = 0; i < 2; ++i) {
    files[i] = dir.filePath(QString("out%1.avi").arg(i)).toStdString();
    ASSERT_EQ(conv.AddTask(clip), i);
    ASSERT_TRUE(conv.SetOutputFile(i, files[i], &out)) << conv.LastError();
  }
  conv.StartTask(2);
  for (int i = 0; i < 3000 && !finished; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(finished) << "no final terminate event";

  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(files[i]);
    EXPECT_EQ(calls[i].load(), 10);
    int frames = 0;
    test::ForEachDecodedFrame(files[i], AVMEDIA_TYPE_VIDEO, 0, [&](const AVFrame* f) {
      ++frames;
      ASSERT_EQ(f->format, AV_PIX_FMT_YUV420P);
      const int luma = f->data[0][60 * f->linesize[0] + 60];  // centre of the box
      if (i == 0) {
        EXPECT_GT(luma, 200);
      } else {
        EXPECT_LT(luma, 50);
      }
    });
    EXPECT_EQ(frames, 10);
  }
}

}  // namespace
}  // namespace quenza
