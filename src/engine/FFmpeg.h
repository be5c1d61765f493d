#pragma once
// The conversion engine: one instance converts one task (inputs into one output).
// This header holds the option layer: settings, option contexts, the option
// dispatcher, the libraries' generic option fallback, presets and targets.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/AvPtr.h"
#include "engine/FFmpegSettings.h"
#include "engine/FFmpegTypes.h"
#include "engine/Bitmap.h"
#include "engine/FrameHookLibrary.h"
#include "engine/PictureConverter.h"
#include "engine/SyncPrimitives.h"
#include "engine/LogLevel.h"

namespace quenza {

class TCustomFFmpeg {
 public:
  TCustomFFmpeg();
  virtual ~TCustomFFmpeg();
  TCustomFFmpeg(const TCustomFFmpeg&) = delete;
  TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

  // Releases what a previous task left and sets every setting to its default. Does
  // nothing unless the engine's libraries are loaded.
  void Reset();

  // The option dispatcher; raises FFmpegException with the option's message.
  void SetOption(const std::string& name, const std::string& value);
  // Dispatches every line of an option list in order.
  void SetOptions(const std::string& optionList);

  // Generic fallback into the libraries' option system.
  bool SetLibraryOption(const std::string& name, const std::string& value);
  bool SetLibraryOptionInt(const std::string& name, int64_t number);

  // Typed setters, identical to the option handlers.
  void SetInputFormat(const std::string& format);
  void SetFrameRate(const std::string& rate);
  void SetFrameSize(const std::string& size);
  void SetAspect(const std::string& aspect);
  void SetCropTop(int v);
  void SetCropBottom(int v);
  void SetCropLeft(int v);
  void SetCropRight(int v);
  void SetAudioCodec(const std::string& codec);
  void SetVideoCodec(const std::string& codec);
  void SetSubtitleCodec(const std::string& codec);
  void SetAudioTag(const std::string& tag);
  void SetVideoTag(const std::string& tag);
  void SetVideoFilters(const std::string& filters);
  void SetPreset(const std::string& kind, const std::string& value);
  void SetTarget(const std::string& type, const std::string& norm, const std::string& fallbackNorm);
  void SetAudioSampleRate(int rate);
  void SetAudioChannels(int channels);
  void SetVerbosity(int level);
  void AddMetadata(const std::string& key, const std::string& value);
  // Typed setters that exist only as calls.
  void SetStartTime(int64_t us);
  void SetRecordingTime(int64_t us);
  void SetProgramId(int id);
  void SetAudioVolume(int volume);
  void SetAudioSyncMethod(int method);
  void SetVideoSyncMethod(int method);
  void SetMuxMaxDelay(double seconds);
  void SetMuxPreload(double seconds);

  // Copies the recorded library options whose flags hold all bits of mask from the
  // option context src into dst.
  void CopyRecordedOptions(void* src, void* dst, int mask) const;

  const TEngineSettings& Settings() const { return s_; }
  const std::vector<std::string>& RecordedOptionNames() const { return recordedOptions_; }
  // The seven option contexts: codec contexts per TMediaKind, the format context and
  // the scaler context.
  AVCodecContext* CodecOptionContext(TMediaKind kind) const { return codecOpts_[kind].get(); }
  AVFormatContext* FormatOptionContext() const { return formatOpts_.get(); }
  SwsContext* ScalerOptionContext() const { return scalerOpts_.get(); }
  // Private options of the pending encoder of a kind (video, audio, subtitle) and of the
  // pending format, accepted by the fallback and applied when that encoder or format
  // is opened.
  const AVDict& EncoderPrivateOptions(TMediaKind kind) const { return encoderPrivate_[kind]; }
  const AVDict& FormatPrivateOptions() const { return formatPrivate_; }
  // Pending bitstream filter chain of a kind (video, audio, subtitle).
  const std::vector<AVBSFContextPtr>& PendingBitstreamFilters(TMediaKind kind) const {
    return bsfs_[kind];
  }
  const std::vector<std::shared_ptr<TFrameHookLibrary>>& HookLibraries() const { return hooks_; }
  int64_t ExpectedTotalDuration() const { return expectedDuration_; }
  int InputFileCount() const { return static_cast<int>(inputFiles_.size()); }
  int OutputFileCount() const { return static_cast<int>(outputFiles_.size()); }

  // Writes a line to the logger with this engine as the sender.
  void Log(TLogLevel level, const std::string& msg) const;

  // --- file set-up ---
  // Opens and probes an input file; false with LastErrorText on failure.
  bool AddInputFile(const std::string& fileName);
  // Creates an output file with its streams; the number of output entries, or -1 with
  // LastErrorText on failure.
  int AddOutputFile(const std::string& fileName, bool join = false);
  const std::string& LastErrorText() const { return lastError_; }
  bool Joined() const { return joined_; }
  AVFormatContext* InputContext(int i) const { return inputFiles_[i]->ctx; }
  AVFormatContext* OutputContext(int i) const { return outputFiles_[i]->ctx; }

  // --- the task's life ---
  enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };
  // Starts the conversion on a worker thread (background) or runs it on the caller's
  // thread. False when no worker was started: already running or terminated, started
  // in the caller's thread, or a start without input or output (which terminates with
  // the error set).
  bool StartConvert(bool background = true, TThreadPriority priority = tpNormal);
  // The whole run: transcode, close codecs, release, terminate; each step guarded.
  void RunConvert();
  // Asks the run to stop; with wait, returns after the worker has finished (servicing
  // the main thread's queue while waiting there).
  void AbortConvert(bool wait);
  // Stops a running task, or delivers the termination of one that never ran.
  void StopConvert(bool wait);
  void PauseConvert();
  void ResumeConvert();
  bool Paused() { return pauseGate_.IsClosed(); }
  // Closes files and frees everything the task holds.
  void ReleaseTask();
  void TerminateTask();
  std::function<void(TCustomFFmpeg* sender)> OnTerminate;
  bool Running() const { return running_; }
  bool Terminated() const { return terminated_; }
  bool ErrorOccurred() const { return error_; }
  std::string ErrorMessage() const;
  bool TerminateEventSet() { return terminateEvent_.IsSet(); }

  // --- conversion ---
  using TProgressHandler =
      std::function<void(TCustomFFmpeg* sender, int fileIndex, int64_t totalDuration,
                         int64_t currentTime, int64_t totalSize, float bitrate, float q,
                         int fps, int frameNumber)>;
  TProgressHandler OnProgress;
  void SetProgressInterval(int64_t us) { progressInterval_ = us; }
  // Runs the whole conversion on the calling thread; raises FFmpegException.
  void Transcode();
  // Asks a running conversion to stop; the output is finished with its trailer.
  void RequestStop() { stopRequested_ = true; }
  bool StopRequested() const { return stopRequested_; }
  bool Completed() const { return completed_; }
  // Waits at the pause gate; the worker calls it wherever it would make progress.
  void PausePoint() { pauseGate_.Pass(); }
  // Closes and frees every file and codec. Output files of size 0 are deleted; so are
  // outputs of a run that failed, which would otherwise look like results.
  void ReleaseFiles(bool runFailed);
  // Number of codecs currently open by this engine.
  int OpenedEncoderCount() const { return static_cast<int>(openedEncoders_.size()); }
  int OpenedDecoderCount() const { return static_cast<int>(openedDecoders_.size()); }
  // Frame hooks and previews (called on the worker thread).
  using TCustomHookHandler = std::function<void(TCustomFFmpeg* sender, TBitmap* bitmap, bool* stopHook,
                                                bool* update, int64_t pts, int frameIndex)>;
  using TPreviewBitmapHandler =
      std::function<void(TCustomFFmpeg* sender, TBitmap* bitmap, int64_t pts, int frameIndex)>;
  // Shows a frame in the preview window; false closes the window.
  using TPreviewWindowHandler =
      std::function<bool(TCustomFFmpeg* sender, TBitmap* bitmap, int frameIndex, int64_t pts)>;
  TCustomHookHandler OnCustomHook;
  TPreviewBitmapHandler OnPreviewBitmap;
  TPreviewWindowHandler OnPreviewWindow;
  // Bit 0 preview window, bit 1 preview-bitmap event; taken under the preview lock.
  void SetPreviewFlags(int flags);
  int PreviewFlags() const;
  void SetPreviewInterval(int64_t us) { previewInterval_ = us; }
  int FrameCounter() const { return frameCounter_; }
  int DuplicatedFrames() const { return nbFramesDup_; }
  int DroppedFrames() const { return nbFramesDrop_; }

 protected:
  // Frame rates (numerator x 1000 / denominator, rounded) of the video streams of
  // the input files added so far, in order; the target norm "auto" scans them.
  virtual std::vector<int> InputVideoFrameRates() const;
  // Adds one more stream of a kind to the last output file.
  virtual void NewStream(TMediaKind kind);
  // The stream of a new output stream and its set-up record, with the pending
  // bitstream filters of its kind; EndStream applies the language and clears the
  // kind's pending settings.
  std::unique_ptr<TOutputStreamSetup> BeginStream(TOutputFile& of, TMediaKind mk, TKindSettings& kind, AVStream*& st);
  void EndStream(AVStream* st, TKindSettings& kind);
  void NewVideoStream(TOutputFile& of);
  void NewAudioStream(TOutputFile& of);
  void NewSubtitleStream(TOutputFile& of);
  // The encoder of a new stream: the pending name of the kind resolved (a failure
  // raises its message) or the container's default.
  const AVCodec* ChooseEncoder(TKindSettings& kind, AVMediaType type, AVFormatContext& oc, TOutputStreamSetup& su);
  // Codec resolution: the codec for name, or null with the message in err.
  const AVCodec* ResolveCodec(const std::string& name, AVMediaType type, bool encoder,
                              int strict, std::string& err) const;

  // Transcode stages.
  void TranscodeSetup();
  void TranscodeLoop();
  void TranscodeFinish();
  void PrintStreamMapping() const;
  void OpenEncoders();
  void OpenDecoders();
  void OpenDecoder(TInputStream& ist);
  void CloseCodecs();
  void ChooseSources();
  void SetupCopy(TOutputStream& ost, TInputStream& ist);
  void SetupEncode(TOutputStream& ost, TInputStream& ist);
  void CopyChapters(int inFile, int outFile);
  // Decodes (or copies) one packet, or flushes the decoder with null; false on a decoding error.
  bool OutputPacket(TInputStream& ist, int istIndex, const AVPacket* pkt, bool drainEncoders = true);
  void DeliverFrame(TInputStream& ist, int istIndex, AVFrame* frame);
  // Deinterlace and frame hooks; the picture to go on with.
  AVFrame* PreProcess(TInputStream& ist, AVFrame* frame);
  void RunCustomHook(AVFrame* picture, AVFrame* out, bool& edited, int64_t pts);
  void ConfigureFilters(TOutputStream& ost, TInputStream& ist);
  void FilterAndEncode(TOutputStream& ost, TInputStream& ist, AVFrame* frame);
  void Preview(TOutputStream& ost, const AVFrame* picture);
  void WriteVideoStats(TOutputStream& ost, const AVPacket* pkt);
  void ScaleVolume(AVFrame* frame) const;
  void DoVideoOut(TOutputStream& ost, TInputStream& ist, AVFrame* frame);
  void DoAudioOut(TOutputStream& ost, TInputStream& ist, AVFrame* frame);
  void DoSubtitleOut(TOutputStream& ost, TInputStream& ist, AVSubtitle* sub, int64_t pts);
  void CopyPacket(TOutputStream& ost, TInputStream& ist, const AVPacket* pkt);
  void FlushEncoder(TOutputStream& ost);
  void EncodeAudioFrame(TOutputStream& ost, AVFrame* frame);
  // Writes every packet the encoder has ready; returns how many.
  int ReceiveEncodedPackets(TOutputStream& ost);
  void WritePacket(TOutputStream& ost, AVPacket* pkt);
  // Ends the current join segment; false when it was the last.
  bool EndJoinSegment();
  void PrintReport(bool isLast, int fileIndex);
  void CloseEncoder(AVCodecContext* ctx);
  void CloseDecoder(AVCodecContext* ctx);

  TEngineSettings s_;
  std::vector<std::string> recordedOptions_;
  std::array<AVCodecContextPtr, mkCount> codecOpts_;
  AVFormatContextPtr formatOpts_;
  SwsContextPtr scalerOpts_;
  std::array<AVDict, mkCount> encoderPrivate_;
  AVDict formatPrivate_;
  // Objects of the pending encoders and muxer that validate their private options.
  std::array<AVCodecContextPtr, mkCount> encoderProbe_;
  std::array<std::string, mkCount> encoderProbeName_;
  AVFormatContextPtr formatProbe_;
  std::string formatProbeName_;
  std::array<std::vector<AVBSFContextPtr>, mkCount> bsfs_;
  std::vector<std::shared_ptr<TFrameHookLibrary>> hooks_;
  int64_t expectedDuration_ = -1;

  // File tables.
  std::vector<std::unique_ptr<TInputFile>> inputFiles_;
  std::vector<std::vector<TInputStreamSetup>> inputStreamSetups_;  // per file, per stream
  std::vector<std::shared_ptr<TOutputFile>> outputFiles_;
  std::string lastError_;
  bool joined_ = false;

  // Transcode state (worker thread).
  std::vector<TInputStream> ist_;
  std::vector<std::unique_ptr<TOutputStream>> ost_;
  int segmentSize_ = 0;
  int currentSegment_ = 0;
  int64_t timerStart_ = 0;
  int64_t lastReportTime_ = 0;
  int64_t progressInterval_ = 500000;
  int64_t videoSize_ = 0, audioSize_ = 0, extraSize_ = 0;
  int nbFramesDup_ = 0, nbFramesDrop_ = 0;
  bool dupDropFlagged_ = false;
  std::vector<AVCodecContext*> openedEncoders_, openedDecoders_;
  std::vector<uint8_t> subtitleBuffer_;
  // Video path.
  int frameCounter_ = 0;
  std::vector<AVFramePtr> preFrames_;  // pre-processing buffers
  TPictureConverter hookConverter_, previewConverter_;
  int64_t lastPreviewTime_ = 0;
  int64_t previewInterval_ = 100000;
  int previewFlags_ = 0;  // guarded by PreviewLock()
  bool hooksInUse_ = false;
  FILE* vstatsFile_ = nullptr;
  std::array<int, 52> qpHistogram_{};
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> completed_{false};
  // Run state: written by the component's thread at start and by the worker at the end.
  std::atomic<bool> running_{false};
  std::atomic<bool> terminated_{false};
  std::atomic<bool> error_{false};
  mutable std::mutex errorLock_;
  std::string errorMessage_;  // guarded by errorLock_
  TManualEvent runEvent_{true}, terminateEvent_{true};
  TPauseGate pauseGate_;
  std::thread worker_;
  std::thread terminateThread_;
  void RecordError(const std::string& msg);
  // Waits for an event, servicing the main thread's queue when called there.
  void WaitServicing(TManualEvent& event);

 private:
  using Handler = void (TCustomFFmpeg::*)(const std::string& name, const std::string& value);
  struct OptionEntry {
    const char* name;
    Handler handler;
  };
  static const std::vector<OptionEntry>& OptionTable();

 public:
  // Option names in dispatch order.
  static std::vector<std::string> OptionNames();

 private:
  void ReleaseOptionState();
  bool ApplyLibraryOption(const std::string& name, const std::string& value);
  // 1: set, 0: no such option, -1: value refused.
  int SetEncoderPrivateOption(TMediaKind kind, const std::string& name, const std::string& value);
  int SetFormatPrivateOption(const std::string& name, const std::string& value);
  std::string PendingEncoderName(TMediaKind kind) const;
  void SetCodecName(TKindSettings& kind, const std::string& value);
  void SetTag(uint32_t& tag, const std::string& value, const char* kindName);
  void SetMatrix(std::optional<TQuantMatrix>& matrix, const std::string& value);
  void SetCrop(int& band, int v, bool vertical);
  void SetBitrate(const std::string& name, const std::string& value);
  void ApplyPresetText(const std::string& presetName, const std::string& text);

  // Option handlers.
  void OptDoNothing(const std::string&, const std::string&);
  void OptLogLevel(const std::string&, const std::string&);
  void OptFormat(const std::string&, const std::string&);
  void OptMap(const std::string&, const std::string&);
  void OptMapMetaData(const std::string&, const std::string&);
  void OptRecordingTime(const std::string&, const std::string&);
  void OptFileSize(const std::string&, const std::string&);
  void OptStartTime(const std::string&, const std::string&);
  void OptInputTsOffset(const std::string&, const std::string&);
  void OptInputTsScale(const std::string&, const std::string&);
  void OptRecTimestamp(const std::string&, const std::string&);
  void OptMetadata(const std::string&, const std::string&);
  void OptDataFrames(const std::string&, const std::string&);
  void OptTimeLimit(const std::string&, const std::string&);
  void OptDump(const std::string&, const std::string&);
  void OptHexDump(const std::string&, const std::string&);
  void OptRateEmu(const std::string&, const std::string&);
  void OptLoopInput(const std::string&, const std::string&);
  void OptLoopOutput(const std::string&, const std::string&);
  void OptVerbose(const std::string&, const std::string&);
  void OptTarget(const std::string&, const std::string&);
  void OptThreads(const std::string&, const std::string&);
  void OptVideoSync(const std::string&, const std::string&);
  void OptAudioSync(const std::string&, const std::string&);
  void OptAudioDrift(const std::string&, const std::string&);
  void OptVideoGlobal(const std::string&, const std::string&);
  void OptCopyTs(const std::string&, const std::string&);
  void OptShortest(const std::string&, const std::string&);
  void OptDtsDelta(const std::string&, const std::string&);
  void OptProgramId(const std::string&, const std::string&);
  void OptExitOnError(const std::string&, const std::string&);
  void OptCopyInitialNonKeyFrames(const std::string&, const std::string&);
  void OptBitrate(const std::string&, const std::string&);
  void OptVideoFrames(const std::string&, const std::string&);
  void OptFrameRate(const std::string&, const std::string&);
  void OptFrameSize(const std::string&, const std::string&);
  void OptAspect(const std::string&, const std::string&);
  void OptPixFmt(const std::string&, const std::string&);
  void OptCrop(const std::string&, const std::string&);
  void OptPad(const std::string&, const std::string&);
  void OptIntra(const std::string&, const std::string&);
  void OptVideoDisable(const std::string&, const std::string&);
  void OptVideoDiscard(const std::string&, const std::string&);
  void OptQScale(const std::string&, const std::string&);
  void OptRcOverride(const std::string&, const std::string&);
  void OptVideoCodec(const std::string&, const std::string&);
  void OptMeThreshold(const std::string&, const std::string&);
  void OptSameQ(const std::string&, const std::string&);
  void OptPass(const std::string&, const std::string&);
  void OptPassLogFile(const std::string&, const std::string&);
  void OptDeinterlace(const std::string&, const std::string&);
  void OptPsnr(const std::string&, const std::string&);
  void OptVstats(const std::string&, const std::string&);
  void OptVstatsFile(const std::string&, const std::string&);
  void OptVideoHook(const std::string&, const std::string&);
  void OptVideoFilters(const std::string&, const std::string&);
  void OptIntraMatrix(const std::string&, const std::string&);
  void OptInterMatrix(const std::string&, const std::string&);
  void OptTopField(const std::string&, const std::string&);
  void OptDcPrecision(const std::string&, const std::string&);
  void OptVideoTag(const std::string&, const std::string&);
  void OptNewVideo(const std::string&, const std::string&);
  void OptVideoLanguage(const std::string&, const std::string&);
  void OptQpHist(const std::string&, const std::string&);
  void OptForceFps(const std::string&, const std::string&);
  void OptStreamId(const std::string&, const std::string&);
  void OptAudioFrames(const std::string&, const std::string&);
  void OptAudioQScale(const std::string&, const std::string&);
  void OptAudioRate(const std::string&, const std::string&);
  void OptAudioChannels(const std::string&, const std::string&);
  void OptAudioDisable(const std::string&, const std::string&);
  void OptAudioCodec(const std::string&, const std::string&);
  void OptAudioTag(const std::string&, const std::string&);
  void OptVolume(const std::string&, const std::string&);
  void OptNewAudio(const std::string&, const std::string&);
  void OptAudioLanguage(const std::string&, const std::string&);
  void OptSampleFmt(const std::string&, const std::string&);
  void OptSubtitleDisable(const std::string&, const std::string&);
  void OptSubtitleCodec(const std::string&, const std::string&);
  void OptNewSubtitle(const std::string&, const std::string&);
  void OptSubtitleLanguage(const std::string&, const std::string&);
  void OptSubtitleTag(const std::string&, const std::string&);
  void OptVideoChannel(const std::string&, const std::string&);
  void OptVideoStandard(const std::string&, const std::string&);
  void OptInputSync(const std::string&, const std::string&);
  void OptMuxDelay(const std::string&, const std::string&);
  void OptMuxPreload(const std::string&, const std::string&);
  void OptBitstreamFilter(const std::string&, const std::string&);
  void OptPreset(const std::string&, const std::string&);
};

}  // namespace quenza
