#pragma once
// The conversion frame hook: a file list entry's picture effects and watermarks drawn
// on every decoded frame of its conversion task.
//
// Threads. One TConversionHook serves one conversion run (its tasks); its handlers may
// be called on any thread, for several tasks at once. Each task index gets its own
// state (text boxes, watermark pictures), created on the task's first frame under the
// hook's table lock and afterwards used only under that state's own lock, so frames of
// one task are handled one at a time and tasks never wait for each other's drawing.
// The hook owns one helper thread, started on the first frame with picture effects,
// that works on the lower half of the rows while the caller does the upper half.
//
// Text items are drawn with Qt's fonts and need a QGuiApplication (with no screen:
// QT_QPA_PLATFORM=offscreen); without one they are skipped.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "app/FileEntry.h"
#include "app/PictureEffects.h"
#include "engine/Bitmap.h"
#include "media/FFmpegVCL.h"

namespace quenza {

// Draws overlay on frame with its top-left corner at (x, y), clipped to the frame.
// Each channel becomes (frame * (256 - a) + overlay * a) / 256, a = opacity clamped to
// 0 .. 255. Row padding of the frame is not touched.
void BlendBitmap(TBitmap& frame, const TBitmap& overlay, int x, int y, int opacity);

// True when converting the entry needs the frame hook: an effect value differs from
// its neutral value, or the first watermark has a text or an image file.
bool NeedsConversionHook(const TlvFilesRecord& entry);

// ApplyConversionEffects over a bitmap with its rows split in two: the lower half on a
// persistent helper thread, the upper half on the caller's; the result is the same as
// one call over the whole picture. Callable from any thread: a caller finding the
// helper busy with another picture, or a picture of one row, does the whole picture
// itself. Nothing is allocated per picture.
class TEffectsWorker {
 public:
  TEffectsWorker() = default;
  ~TEffectsWorker();
  TEffectsWorker(const TEffectsWorker&) = delete;
  TEffectsWorker& operator=(const TEffectsWorker&) = delete;

  void Apply(TBitmap& bitmap, const TPictureEffectValues& values);

 private:
  bool StartHelper();  // under useLock_
  void HelperLoop();

  std::mutex useLock_;  // held by the caller whose picture the helper works on
  std::mutex lock_;     // guards the fields below
  std::condition_variable jobReady_, jobDone_;
  std::thread helper_;
  bool helperFailed_ = false;
  bool stop_ = false;
  bool pending_ = false;
  uint8_t* row0_ = nullptr;
  uint8_t* row1_ = nullptr;
  int width_ = 0, height_ = 0;
  TPictureEffectValues values_;
};

class TConversionHook {
 public:
  TConversionHook();
  ~TConversionHook();
  TConversionHook(const TConversionHook&) = delete;
  TConversionHook& operator=(const TConversionHook&) = delete;

  // One frame of the entry's task info.TaskIndex: takes info.Bitmap's canvas lock for
  // the call, applies the effects, draws the watermarks shown at info.PTS in list
  // order, and leaves info.Update true and info.StopHook false. A null bitmap is left
  // alone. Text boxes that do not show the frame and watermark pictures are made on
  // the task's first frame that draws them and reused; a picture file that cannot be
  // read draws nothing and is not read again for the task.
  void ConverterCustomHook(const TlvFilesRecord& entry, THookInfo& info);
  // The same for a caller already holding the canvas lock, as TCustomFFmpegVCL's
  // OnCustomHook handlers do (the component takes it around the event).
  void ConverterCustomHookLocked(const TlvFilesRecord& entry, THookInfo& info);

  // An OnCustomHook handler for the component. entryOf maps a task index to its entry
  // and is called on the task's worker thread; a null entry leaves the frame and the
  // flags alone. The hook and the entries must outlive the conversion.
  TCustomFFmpegVCL::TCustomHookEvent MakeCustomHookEvent(
      std::function<const TlvFilesRecord*(int taskIndex)> entryOf);

 private:
  struct TTaskState;
  TTaskState& StateOf(int taskIndex);

  std::mutex tasksLock_;  // guards tasks_ (the table, not the states)
  std::map<int, std::unique_ptr<TTaskState>> tasks_;
  TEffectsWorker effects_;
};

// OnCustomHook entry for the GUI and the console: the event's frame of the task whose
// entry the caller looked up from info->TaskIndex; the canvas lock is already held.
// A null entry or info leaves the frame alone.
void ConversionHookEvent(TConversionHook& hook, const TlvFilesRecord* entry, PHookInfo info);

}  // namespace quenza
