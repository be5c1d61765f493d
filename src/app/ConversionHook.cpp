#include "app/ConversionHook.h"

#include <QColor>
#include <QCoreApplication>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRect>
#include <QString>
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace quenza {
namespace {

// Fonts are sized at 96 dots per inch whatever the screen.
constexpr int kDotsPerMeter = 3780;

// The part of an overlay span that lands on the frame: `count` pixels from `src` in
// the overlay onto `dst` in the frame.
struct TSpan {
  int64_t count, src, dst;
};

TSpan ClipSpan(int64_t offset, int64_t size, int64_t frameSize) {
  if (offset >= 0) return {offset + size < frameSize ? size : frameSize - offset, 0, offset};
  const int64_t skip = -offset;
  return {size - skip < frameSize ? size - skip : frameSize, skip, 0};
}

// d = (d * (256 - a) + s * a) / 256 over n bytes; the sums are at most 255 * 256.
// Fixed-length blocks let the compiler vectorise at -O2 as well.
void BlendRow(uint8_t* __restrict d, const uint8_t* __restrict s, size_t n, unsigned a) {
  const unsigned k = 256 - a;
  size_t i = 0;
  for (; i + 32 <= n; i += 32)
    for (size_t j = i; j < i + 32; ++j)
      d[j] = static_cast<uint8_t>(static_cast<uint16_t>(d[j] * k + s[j] * a) >> 8);
  for (; i < n; ++i) d[i] = static_cast<uint8_t>(static_cast<uint16_t>(d[i] * k + s[i] * a) >> 8);
}

QColor ColorOf(uint32_t bgr) {
  return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                static_cast<int>((bgr >> 16) & 0xFF));
}

void FillBox(TBitmap& box, uint32_t bgr) {
  const uint8_t b = static_cast<uint8_t>((bgr >> 16) & 0xFF);
  const uint8_t g = static_cast<uint8_t>((bgr >> 8) & 0xFF);
  const uint8_t r = static_cast<uint8_t>(bgr & 0xFF);
  for (int y = 0; y < box.Height(); ++y) {
    uint8_t* d = box.ScanLine(y);
    for (int x = 0; x < box.Width(); ++x, d += 3) {
      d[0] = b;
      d[1] = g;
      d[2] = r;
    }
  }
}

// The box-sized rectangle of the frame at (left, top); what lies outside the frame is
// black.
void CopyFrameRect(const TBitmap& frame, TBitmap& box, int left, int top) {
  const int64_t bw = box.Width();
  const int64_t c0 = std::clamp<int64_t>(-static_cast<int64_t>(left), 0, bw);
  const int64_t c1 = std::clamp<int64_t>(static_cast<int64_t>(frame.Width()) - left, c0, bw);
  for (int r = 0; r < box.Height(); ++r) {
    uint8_t* d = box.ScanLine(r);
    const int64_t fy = static_cast<int64_t>(top) + r;
    if (fy < 0 || fy >= frame.Height() || c0 == c1) {
      std::memset(d, 0, static_cast<size_t>(bw) * 3);
      continue;
    }
    std::memset(d, 0, static_cast<size_t>(c0) * 3);
    std::memcpy(d + c0 * 3, frame.ConstRows(static_cast<int>(fy), static_cast<int>(fy) + 1) + (left + c0) * 3,
                static_cast<size_t>(c1 - c0) * 3);
    std::memset(d + c1 * 3, 0, static_cast<size_t>(bw - c1) * 3);
  }
}

// Source-over of a premultiplied text layer of the box's size onto the box.
void CompositeLayer(TBitmap& box, const QImage& layer) {
  for (int y = 0; y < box.Height(); ++y) {
    const auto* s = reinterpret_cast<const QRgb*>(layer.constScanLine(y));
    uint8_t* d = box.ScanLine(y);
    for (int x = 0; x < box.Width(); ++x, d += 3) {
      const QRgb p = s[x];
      const unsigned a = static_cast<unsigned>(qAlpha(p));
      if (a == 0) continue;
      const unsigned k = 255 - a;
      d[0] = static_cast<uint8_t>(static_cast<unsigned>(qBlue(p)) + (d[0] * k + 127) / 255);
      d[1] = static_cast<uint8_t>(static_cast<unsigned>(qGreen(p)) + (d[1] * k + 127) / 255);
      d[2] = static_cast<uint8_t>(static_cast<unsigned>(qRed(p)) + (d[2] * k + 127) / 255);
    }
  }
}

// The item's text on one line from the top-left corner of a transparent box; a null
// image when nothing can be drawn.
QImage RenderTextLayer(const TWmRec& w) {
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return {};
  QImage layer(w.TextWidth, w.TextHeight, QImage::Format_ARGB32_Premultiplied);
  if (layer.isNull()) return {};
  layer.setDotsPerMeterX(kDotsPerMeter);
  layer.setDotsPerMeterY(kDotsPerMeter);
  layer.fill(Qt::transparent);
  QPainter painter;
  if (!painter.begin(&layer)) return {};
  QFont font(QString::fromStdString(w.Font.Name));
  font.setPointSize(std::max(1, w.Font.Size));
  font.setBold(w.Font.Bold);
  font.setItalic(w.Font.Italic);
  font.setUnderline(w.Font.Underline);
  font.setStrikeOut(w.Font.StrikeOut);
  painter.setFont(font);
  painter.setPen(ColorOf(w.Font.Color));
  painter.drawText(QRect(0, 0, layer.width(), layer.height()),
                   Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                   QString::fromStdString(w.Text));
  if (!painter.end()) return {};
  return layer;
}

// A text item's rendering, kept with the inputs it was made from.
struct TTextItem {
  bool Made = false;
  bool Drawable = false;
  std::string Text;
  TWmFont Font;
  int Width = 0, Height = 0;
  bool HasBackground = false;
  uint32_t BackColor = 0;
  QImage Layer;  // the text alone
  TBitmap Box;   // with a background the finished box, otherwise remade every frame

  bool MadeFor(const TWmRec& w) const {
    return Made && Width == w.TextWidth && Height == w.TextHeight &&
           HasBackground == w.HasBackground && (!HasBackground || BackColor == w.BackColor) &&
           Font == w.Font && Text == w.Text;
  }

  void Make(const TWmRec& w) {
    Made = true;
    Drawable = false;
    Width = w.TextWidth;
    Height = w.TextHeight;
    HasBackground = w.HasBackground;
    BackColor = w.BackColor;
    Layer = QImage();
    try {
      Text = w.Text;
      Font = w.Font;
      if (Width <= 0 || Height <= 0) return;
      Layer = RenderTextLayer(w);
      if (Layer.isNull()) return;
      Box.SetSize(Width, Height);
    } catch (const std::bad_alloc&) {
      Layer = QImage();
      return;
    }
    if (HasBackground) {
      FillBox(Box, BackColor);
      CompositeLayer(Box, Layer);
    }
    Drawable = true;
  }

  void Draw(TBitmap& frame, const TWmRec& w) {
    if (!MadeFor(w)) Make(w);
    if (!Drawable || w.TextOpacity <= 0) return;
    if (!HasBackground) {
      CopyFrameRect(frame, Box, w.TextLeft, w.TextTop);
      CompositeLayer(Box, Layer);
    }
    BlendBitmap(frame, Box, w.TextLeft, w.TextTop, w.TextOpacity);
  }
};

// An image item's picture, read once for its file name.
struct TImageItem {
  bool Tried = false;
  bool Loaded = false;
  std::string File;
  TBitmap Picture;

  void Load(const std::string& file) {
    Tried = true;
    Loaded = false;
    try {
      File = file;
      const QImage read(QString::fromStdString(file));
      if (read.isNull()) return;
      const QImage bgr = read.convertToFormat(QImage::Format_BGR888);
      if (bgr.isNull()) return;
      Picture.SetSize(bgr.width(), bgr.height());
      const size_t rowBytes = static_cast<size_t>(bgr.width()) * 3;
      for (int y = 0; y < bgr.height(); ++y)
        std::memcpy(Picture.ScanLine(y), bgr.constScanLine(y), rowBytes);
    } catch (const std::bad_alloc&) {
      return;
    }
    Loaded = true;
  }

  void Draw(TBitmap& frame, const TWmRec& w) {
    if (!Tried || File != w.ImageFile) Load(w.ImageFile);
    if (Loaded) BlendBitmap(frame, Picture, w.ImageLeft, w.ImageTop, w.ImageOpacity);
  }
};

struct TItemState {
  TTextItem Text;
  TImageItem Image;
};

}  // namespace

void BlendBitmap(TBitmap& frame, const TBitmap& overlay, int x, int y, int opacity) {
  const unsigned a = static_cast<unsigned>(std::clamp(opacity, 0, 255));
  if (a == 0) return;  // (f * 256) / 256 == f
  const TSpan rows = ClipSpan(y, overlay.Height(), frame.Height());
  const TSpan cols = ClipSpan(x, overlay.Width(), frame.Width());
  if (rows.count <= 0 || cols.count <= 0) return;
  const size_t n = static_cast<size_t>(cols.count) * 3;
  // Only the rows drawn on are asked for: the others need no conversion at all.
  uint8_t* const first = frame.Rows(static_cast<int>(rows.dst), static_cast<int>(rows.dst + rows.count));
  const size_t stride = static_cast<size_t>(frame.Stride());
  for (int64_t r = 0; r < rows.count; ++r) {
    BlendRow(first + static_cast<size_t>(r) * stride + cols.dst * 3,
             overlay.ScanLine(static_cast<int>(rows.src + r)) + cols.src * 3, n, a);
  }
}

bool NeedsConversionHook(const TlvFilesRecord& entry) {
  if (entry.HasPictureEffect()) return true;
  if (entry.Watermarks.empty() || !entry.Watermarks.front()) return false;
  const TWmRec& first = *entry.Watermarks.front();
  return !first.Text.empty() || !first.ImageFile.empty();
}

// ---- TEffectsWorker ----

TEffectsWorker::~TEffectsWorker() {
  if (!helper_.joinable()) return;
  {
    std::lock_guard<std::mutex> g(lock_);
    stop_ = true;
  }
  jobReady_.notify_one();
  helper_.join();
}

bool TEffectsWorker::StartHelper() {
  if (helper_.joinable()) return true;
  if (helperFailed_) return false;
  try {
    helper_ = std::thread(&TEffectsWorker::HelperLoop, this);
  } catch (const std::system_error&) {
    helperFailed_ = true;
  }
  return helper_.joinable();
}

void TEffectsWorker::HelperLoop() {
  std::unique_lock<std::mutex> lk(lock_);
  for (;;) {
    jobReady_.wait(lk, [this] { return pending_ || stop_; });
    if (!pending_) return;
    uint8_t* const row0 = row0_;
    uint8_t* const row1 = row1_;
    const int width = width_, height = height_;
    const TPictureEffectValues values = values_;
    lk.unlock();
    ApplyConversionEffects(row0, row1, width, height, values);
    lk.lock();
    pending_ = false;
    jobDone_.notify_one();
  }
}

void TEffectsWorker::Apply(TBitmap& bitmap, const TPictureEffectValues& values) {
  const int width = bitmap.Width(), height = bitmap.Height();
  if (width <= 0 || height <= 0) return;
  std::unique_lock<std::mutex> use(useLock_, std::try_to_lock);
  if (height < 2 || !use.owns_lock() || !StartHelper()) {
    ApplyConversionEffects(bitmap.ScanLine(0), height > 1 ? bitmap.ScanLine(1) : nullptr, width,
                           height, values);
    return;
  }
  const int upper = height / 2;
  const int lower = height - upper;
  {
    std::lock_guard<std::mutex> g(lock_);
    row0_ = bitmap.ScanLine(upper);
    row1_ = lower > 1 ? bitmap.ScanLine(upper + 1) : nullptr;
    width_ = width;
    height_ = lower;
    values_ = values;
    pending_ = true;
  }
  jobReady_.notify_one();
  ApplyConversionEffects(bitmap.ScanLine(0), upper > 1 ? bitmap.ScanLine(1) : nullptr, width,
                         upper, values);
  std::unique_lock<std::mutex> lk(lock_);
  jobDone_.wait(lk, [this] { return !pending_; });
}

// ---- TConversionHook ----

struct TConversionHook::TTaskState {
  std::mutex Lock;  // held while one of the task's frames is handled
  std::vector<std::unique_ptr<TItemState>> Items;  // by watermark position
};

TConversionHook::TConversionHook() = default;
TConversionHook::~TConversionHook() = default;

TConversionHook::TTaskState& TConversionHook::StateOf(int taskIndex) {
  std::lock_guard<std::mutex> g(tasksLock_);
  std::unique_ptr<TTaskState>& state = tasks_[taskIndex];
  if (!state) state = std::make_unique<TTaskState>();
  return *state;
}

void TConversionHook::ConverterCustomHook(const TlvFilesRecord& entry, THookInfo& info) {
  if (info.Bitmap == nullptr) return;
  std::lock_guard<std::mutex> canvas(info.Bitmap->CanvasLock());
  ConverterCustomHookLocked(entry, info);
}

void TConversionHook::ConverterCustomHookLocked(const TlvFilesRecord& entry, THookInfo& info) {
  if (info.Bitmap == nullptr) return;
  TBitmap& frame = *info.Bitmap;

  const TPictureEffectValues values{entry.Brightness, entry.Contrast, entry.Saturation,
                                    entry.Exposure};
  if (ConversionNeedsColorEffects(values) || ConversionNeedsExposure(values))
    effects_.Apply(frame, values);

  if (!entry.Watermarks.empty()) {
    TTaskState& state = StateOf(info.TaskIndex);
    std::lock_guard<std::mutex> g(state.Lock);
    while (state.Items.size() < entry.Watermarks.size())
      state.Items.push_back(std::make_unique<TItemState>());
    for (size_t i = 0; i < entry.Watermarks.size(); ++i) {
      const TWmRec* w = entry.Watermarks[i].get();
      if (w == nullptr || !w->IsShownAt(info.PTS)) continue;
      if (w->IsText() && !w->Text.empty())
        state.Items[i]->Text.Draw(frame, *w);
      else if (w->IsImage() && !w->ImageFile.empty())
        state.Items[i]->Image.Draw(frame, *w);
    }
  }

  info.Update = true;
  info.StopHook = false;
}

TCustomFFmpegVCL::TCustomHookEvent TConversionHook::MakeCustomHookEvent(
    std::function<const TlvFilesRecord*(int taskIndex)> entryOf) {
  return [this, entryOf = std::move(entryOf)](TCustomFFmpegVCL*, PHookInfo info) {
    if (info == nullptr || !entryOf) return;
    ConversionHookEvent(*this, entryOf(info->TaskIndex), info);
  };
}

void ConversionHookEvent(TConversionHook& hook, const TlvFilesRecord* entry, PHookInfo info) {
  if (entry == nullptr || info == nullptr) return;
  hook.ConverterCustomHookLocked(*entry, *info);
}

}  // namespace quenza
