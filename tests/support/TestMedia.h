#pragma once
// Test-media generator and a small in-process inspector for tests.
//
// Every media test makes the files it needs through MakeMedia(): a moving pattern with a
// machine-readable frame counter and a sine tone per channel, in the container, codecs,
// size, rate and channel count it asks for, cached under QUENZA_TEST_MEDIA_DIR (in the
// build tree). No binary media is committed.
//
// Picture (relative layout, any size; bands from the top):
//   [0, H/12)      counter row: 16 cells of W/16 each; cell 0 white (marker), cells 1..14
//                  the frame number modulo 16384 in binary, most significant bit first
//                  (white = 1), cell 15 black (marker)
//   [H/12, H/6)    the same 16 cells inverted (so each cell reads as "upper brighter than
//                  lower" or the opposite, whatever the level or range of the picture)
//   [H/6, 7H/12)   eight 100 % colour bars (white yellow cyan green magenta red blue black)
//   [7H/12, 5H/6)  vertical black/white stripes, period W/20 (16 px at 320 wide)
//   [5H/6, H)      a horizontal grey ramp
//   Bars, stripes and ramp scroll left at kPatternSpeed * W/320 pixels per second
//   (4 px a frame at 320x240, 25 fps). An interlaced picture shows the top field (even
//   lines) at time n/rate and the bottom field (odd lines) half a frame later; the counter
//   is the same in both fields.
// Sound: audio track t, channel c is a sine of ToneFrequency(t, c, channels) Hz at
//   kToneAmplitude (-12 dBFS), starting with phase 0 at the first sample.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/codec_par.h>
#include <libavutil/avutil.h>
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
#include <libavutil/samplefmt.h>
}

struct AVFrame;

namespace quenza::test {

inline constexpr double kToneAmplitude = 0.25118864315095801;  // -12 dBFS
inline constexpr double kToneRms = kToneAmplitude / 1.4142135623730951;
inline constexpr double kPatternSpeed = 100.0;  // pixels per second at 320 wide
inline constexpr int kCounterModulo = 16384;    // 14 counter bits

// Frequency in Hz of the tone of audio track `track`, channel `channel`, in a stream of
// `channels` channels (default layout for the count): 440 * (channel + 1) + 110 * track,
// except for a low-frequency (LFE) channel, such as channel 3 of 5.1, which carries
// 50 + 10 * track (encoders low-pass LFE channels).
double ToneFrequency(int track, int channel, int channels = 2);

struct MediaSpec {
  std::string container = "mp4";  // muxer short name: mp4 avi mpegts mp3 wav matroska asf ...
  std::string extension;           // file extension without dot; empty = the muxer's first one
  std::string videoCodec;          // encoder name; empty = no video
  std::string audioCodec;          // encoder name; empty = no audio
  std::string subtitleCodec;       // "ass", "srt"/"subrip", ...; empty = no subtitles
  int width = 320;
  int height = 240;
  AVRational frameRate{25, 1};
  double duration = 2.0;           // seconds of every stream (each starts at its own offset)
  int sampleRate = 44100;
  int channels = 2;
  int audioTracks = 1;             // > 1: several audio streams with the same settings
  int64_t videoBitRate = 0;        // 0 = the encoder's default
  int64_t audioBitRate = 0;        // 0 = the encoder's default
  AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;       // NONE = the encoder's first supported
  AVSampleFormat sampleFormat = AV_SAMPLE_FMT_NONE;  // NONE = the encoder's first supported
  bool interlaced = false;         // fields at two times, encoder told: interlaced, top first
  double audioStartDelay = 0.0;    // seconds the audio starts after the video (< 0: video later),
                                   // by timestamps; avi cannot keep it (audio starts at 0 there)
  int gopSize = 0;                 // 0 = the encoder's default
  // Subtitle events: one every 0.5 s, shown for 0.4 s, text "Quenza line N" (N from 1).
};

// Path of the cached file for a MediaSpec (nothing is generated). The name is a readable
// prefix plus a hash of every field, the generator's version and the library versions.
std::string MediaPath(const MediaSpec& spec);

// The cached file for a MediaSpec, generated if missing. Safe with several processes or
// threads at once (unique temporary file in the same folder, then rename()).
// Throws std::runtime_error on any failure, leaving no partial file.
std::string MakeMedia(const MediaSpec& spec);

// Writes the media a MediaSpec describes to `path` (temporary file beside it, then rename()), replacing
// any file there. Throws std::runtime_error on failure, leaving no partial file.
void WriteMedia(const MediaSpec& spec, const std::string& path);

// The folder of the cache: $QUENZA_TEST_MEDIA_DIR if set, else the build tree's.
std::string MediaCacheDir();

// Default extension of a muxer ("matroska" -> "mkv", "mpegts" -> "ts"); throws if unknown.
std::string DefaultExtension(const std::string& container);

// ---- inspection ----

struct StreamInfo {
  AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
  std::string codecName;               // "h264", "aac", "subrip", ...
  int width = 0, height = 0;
  std::string pixelFormat;             // "yuv420p"; empty if none
  AVRational avgFrameRate{0, 1};
  AVFieldOrder fieldOrder = AV_FIELD_UNKNOWN;
  int sampleRate = 0;
  int channels = 0;
  std::string sampleFormat;            // "fltp"; empty if none
  int64_t bitRate = 0;
  double startTime = 0.0;              // seconds; first packet's pts (header start if none)
  double duration = 0.0;               // seconds; packet span (end of last - first pts),
                                       // the header's duration if packets have no pts
  int64_t packets = 0;
};

struct MediaInfo {
  std::string formatName;              // demuxer short name, e.g. "mov,mp4,m4a,3gp,3g2,mj2"
  int64_t durationUs = 0;              // AV_NOPTS_VALUE if unknown
  int64_t bitRate = 0;
  std::vector<StreamInfo> streams;     // in file order

  int Count(AVMediaType type) const;
  // The n-th stream of a type, nullptr if there is none.
  const StreamInfo* Find(AVMediaType type, int indexOfType = 0) const;
};

// Opens the file, reads every packet. Throws std::runtime_error if it cannot be read.
MediaInfo ReadMediaInfo(const std::string& path);

// Decodes the n-th video or audio stream of the file completely, handing each frame over.
void ForEachDecodedFrame(const std::string& path, AVMediaType type, int streamIndexOfType,
                         const std::function<void(const AVFrame*)>& onFrame);

// Decodes the n-th stream of the type completely (video, audio: frames; subtitle: events).
int64_t CountDecodedFrames(const std::string& path, AVMediaType type, int streamIndexOfType = 0);
// Decoded samples per channel of the n-th audio stream.
int64_t CountDecodedSamples(const std::string& path, int streamIndexOfType = 0);

// Frame counter of a decoded picture of any common pixel format and size; -1 if unreadable.
int ReadFrameCounter(const AVFrame* frame);
// Frame counters of every decoded frame of the first video stream, in output order.
std::vector<int> ReadFrameCounters(const std::string& path);

struct AudioStats {
  int64_t samples = 0;                 // per channel
  int sampleRate = 0;
  double firstPts = 0.0;               // seconds, of the first decoded frame
  double rms = 0.0;                    // all channels, full scale = 1
  std::vector<double> channelRms;
  std::vector<double> channelFrequency;  // dominant tone from zero crossings; 0 if none
};

// Decodes the n-th audio stream completely.
AudioStats MeasureAudio(const std::string& path, int streamIndexOfType = 0);
// RMS of all decoded samples of all channels of the n-th audio stream, in [0, 1].
double MeasureRms(const std::string& path, int streamIndexOfType = 0);

}  // namespace quenza::test
