#include "support/TestMedia.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <numbers>
#include <stdexcept>

#ifndef QUENZA_TEST_MEDIA_DIR
#error "QUENZA_TEST_MEDIA_DIR must be defined by the build"
#endif

namespace quenza::test {
namespace {

// Raise when the picture, the sound or the file layout changes: old cache entries then
// stop matching.
constexpr int kGeneratorVersion = 1;

// ---- owning pointers ----

struct CodecContextDeleter {
  void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct FrameDeleter {
  void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsDeleter {
  void operator()(SwsContext* p) const { sws_freeContext(p); }
};
struct InputDeleter {
  void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};
struct OutputDeleter {
  void operator()(AVFormatContext* p) const {
    if (p->pb && !(p->oformat->flags & AVFMT_NOFILE)) avio_closep(&p->pb);
    avformat_free_context(p);
  }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;
using InputPtr = std::unique_ptr<AVFormatContext, InputDeleter>;
using OutputPtr = std::unique_ptr<AVFormatContext, OutputDeleter>;

// An AVSubtitle on the stack, freed with avsubtitle_free.
struct SubtitleHolder {
  AVSubtitle sub{};
  SubtitleHolder() = default;
  SubtitleHolder(const SubtitleHolder&) = delete;
  SubtitleHolder& operator=(const SubtitleHolder&) = delete;
  ~SubtitleHolder() { avsubtitle_free(&sub); }
};

// ---- errors ----

std::string AvError(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error("test media: " + what); }

void Check(int ret, const std::string& what) {
  if (ret < 0) Fail(what + ": " + AvError(ret));
}

FramePtr AllocFrame() {
  FramePtr f(av_frame_alloc());
  if (!f) Fail("out of memory (frame)");
  return f;
}

PacketPtr AllocPacket() {
  PacketPtr p(av_packet_alloc());
  if (!p) Fail("out of memory (packet)");
  return p;
}

// ---- what an encoder supports (avcodec_get_supported_config from FFmpeg 7.1 on) ----

std::vector<AVPixelFormat> SupportedPixelFormats(const AVCodec* c) {
  std::vector<AVPixelFormat> v;
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(61, 13, 100)
  const void* cfg = nullptr;
  int n = 0;
  if (avcodec_get_supported_config(nullptr, c, AV_CODEC_CONFIG_PIX_FORMAT, 0, &cfg, &n) >= 0 && cfg) {
    auto p = static_cast<const AVPixelFormat*>(cfg);
    v.assign(p, p + n);
  }
#else
  if (c->pix_fmts)
    for (const AVPixelFormat* p = c->pix_fmts; *p != AV_PIX_FMT_NONE; ++p) v.push_back(*p);
#endif
  return v;
}

std::vector<AVSampleFormat> SupportedSampleFormats(const AVCodec* c) {
  std::vector<AVSampleFormat> v;
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(61, 13, 100)
  const void* cfg = nullptr;
  int n = 0;
  if (avcodec_get_supported_config(nullptr, c, AV_CODEC_CONFIG_SAMPLE_FORMAT, 0, &cfg, &n) >= 0 && cfg) {
    auto p = static_cast<const AVSampleFormat*>(cfg);
    v.assign(p, p + n);
  }
#else
  if (c->sample_fmts)
    for (const AVSampleFormat* p = c->sample_fmts; *p != AV_SAMPLE_FMT_NONE; ++p) v.push_back(*p);
#endif
  return v;
}

std::vector<int> SupportedSampleRates(const AVCodec* c) {
  std::vector<int> v;
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(61, 13, 100)
  const void* cfg = nullptr;
  int n = 0;
  if (avcodec_get_supported_config(nullptr, c, AV_CODEC_CONFIG_SAMPLE_RATE, 0, &cfg, &n) >= 0 && cfg) {
    auto p = static_cast<const int*>(cfg);
    v.assign(p, p + n);
  }
#else
  if (c->supported_samplerates)
    for (const int* p = c->supported_samplerates; *p != 0; ++p) v.push_back(*p);
#endif
  return v;
}

// Pointers into the codec's own table (empty: any layout).
std::vector<const AVChannelLayout*> SupportedLayouts(const AVCodec* c) {
  std::vector<const AVChannelLayout*> v;
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(61, 13, 100)
  const void* cfg = nullptr;
  int n = 0;
  if (avcodec_get_supported_config(nullptr, c, AV_CODEC_CONFIG_CHANNEL_LAYOUT, 0, &cfg, &n) >= 0 && cfg) {
    auto p = static_cast<const AVChannelLayout*>(cfg);
    for (int i = 0; i < n; ++i) v.push_back(p + i);
  }
#else
  if (c->ch_layouts)
    for (const AVChannelLayout* p = c->ch_layouts; p->nb_channels != 0; ++p) v.push_back(p);
#endif
  return v;
}

std::string PixFmtName(AVPixelFormat f) {
  const char* n = av_get_pix_fmt_name(f);
  return n ? n : "?";
}

std::string SampleFmtName(AVSampleFormat f) {
  const char* n = av_get_sample_fmt_name(f);
  return n ? n : "?";
}

// ---- picture ----

// The counter bit shown in cell `cell` (0..15) for frame number n.
int CounterCell(int n, int cell) {
  if (cell == 0) return 1;
  if (cell == 15) return 0;
  return (n >> (14 - cell)) & 1;
}

struct Rgb {
  uint8_t r, g, b;
};

constexpr Rgb kBars[8] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                          {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};

// Draws rows first, first + step, ... of the pattern for frame n at time t (seconds) into
// an RGB24 picture.
void DrawRows(uint8_t* data, int stride, int w, int h, int n, double t, int first, int step) {
  const int64_t offset = std::llround(t * kPatternSpeed * w / 320.0);
  const int64_t wrapped = ((offset % w) + w) % w;
  const int64_t half = std::max(1, w / 40);  // half a stripe period
  const int counter = ((n % kCounterModulo) + kCounterModulo) % kCounterModulo;
  for (int y = first; y < h; y += step) {
    uint8_t* row = data + static_cast<ptrdiff_t>(y) * stride;
    const int64_t y12 = int64_t{y} * 12;
    for (int x = 0; x < w; ++x) {
      Rgb c;
      const int64_t xs = (x + wrapped) % w;
      if (y12 < 2 * int64_t{h}) {
        int bit = CounterCell(counter, static_cast<int>(int64_t{x} * 16 / w));
        if (y12 >= h) bit = 1 - bit;
        const uint8_t v = bit ? 255 : 0;
        c = {v, v, v};
      } else if (y12 < 7 * int64_t{h}) {
        c = kBars[xs * 8 / w];
      } else if (y12 < 10 * int64_t{h}) {
        const uint8_t v = ((x + offset) / half) % 2 ? 255 : 0;
        c = {v, v, v};
      } else {
        const auto v = static_cast<uint8_t>(w > 1 ? xs * 255 / (w - 1) : 0);
        c = {v, v, v};
      }
      row[3 * x] = c.r;
      row[3 * x + 1] = c.g;
      row[3 * x + 2] = c.b;
    }
  }
}

void SetInterlacedFlags(AVFrame* f) {
#ifdef AV_FRAME_FLAG_INTERLACED
  f->flags |= AV_FRAME_FLAG_INTERLACED | AV_FRAME_FLAG_TOP_FIELD_FIRST;
#else
  f->interlaced_frame = 1;
  f->top_field_first = 1;
#endif
}

// Makes frames of the pattern in the encoder's pixel format.
class PictureMaker {
 public:
  PictureMaker(int w, int h, AVPixelFormat fmt, AVRational rate, bool interlaced)
      : w_(w), h_(h), fmt_(fmt), rate_(rate), interlaced_(interlaced) {
    rgb_ = AllocFrame();
    rgb_->format = AV_PIX_FMT_RGB24;
    rgb_->width = w;
    rgb_->height = h;
    Check(av_frame_get_buffer(rgb_.get(), 0), "allocating a picture");
    out_ = AllocFrame();
    out_->format = fmt;
    out_->width = w;
    out_->height = h;
    Check(av_frame_get_buffer(out_.get(), 0), "allocating a picture");
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(fmt);
    if (!d) Fail("unknown pixel format");
    // Convert each field on its own where the field has whole chroma lines.
    fieldWise_ = interlaced && !(d->flags & AV_PIX_FMT_FLAG_PAL) &&
                 h % (2 << d->log2_chroma_h) == 0;
    const int sh = fieldWise_ ? h / 2 : h;
    sws_.reset(sws_getContext(w, sh, AV_PIX_FMT_RGB24, w, sh, fmt, SWS_BILINEAR | SWS_ACCURATE_RND,
                              nullptr, nullptr, nullptr));
    if (!sws_) Fail("swscale cannot convert rgb24 to " + PixFmtName(fmt));
  }

  // Frame n (pts not set). The returned frame stays owned by the maker.
  AVFrame* Make(int64_t n) {
    const double t = static_cast<double>(n) * rate_.den / rate_.num;
    const int counter = static_cast<int>(n % kCounterModulo);
    if (interlaced_) {
      const double t2 = t + 0.5 * rate_.den / rate_.num;
      DrawRows(rgb_->data[0], rgb_->linesize[0], w_, h_, counter, t, 0, 2);
      DrawRows(rgb_->data[0], rgb_->linesize[0], w_, h_, counter, t2, 1, 2);
    } else {
      DrawRows(rgb_->data[0], rgb_->linesize[0], w_, h_, counter, t, 0, 1);
    }
    Check(av_frame_make_writable(out_.get()), "making a picture writable");
    if (fieldWise_) {
      const int planes = av_pix_fmt_count_planes(fmt_);
      for (int field = 0; field < 2; ++field) {
        const uint8_t* src[1] = {rgb_->data[0] + field * rgb_->linesize[0]};
        const int srcStride[1] = {2 * rgb_->linesize[0]};
        uint8_t* dst[4] = {};
        int dstStride[4] = {};
        for (int p = 0; p < planes && p < 4; ++p) {
          dst[p] = out_->data[p] + field * out_->linesize[p];
          dstStride[p] = 2 * out_->linesize[p];
        }
        if (sws_scale(sws_.get(), src, srcStride, 0, h_ / 2, dst, dstStride) <= 0)
          Fail("swscale failed converting to " + PixFmtName(fmt_));
      }
    } else {
      if (sws_scale(sws_.get(), rgb_->data, rgb_->linesize, 0, h_, out_->data, out_->linesize) <= 0)
        Fail("swscale failed converting to " + PixFmtName(fmt_));
    }
    if (interlaced_) SetInterlacedFlags(out_.get());
    return out_.get();
  }

 private:
  int w_, h_;
  AVPixelFormat fmt_;
  AVRational rate_;
  bool interlaced_;
  bool fieldWise_ = false;
  FramePtr rgb_, out_;
  SwsPtr sws_;
};

// ---- samples ----

bool IsLfe(AVChannel id) { return id == AV_CHAN_LOW_FREQUENCY || id == AV_CHAN_LOW_FREQUENCY_2; }

void StoreSample(AVFrame* f, int ch, int i, double v) {
  const auto fmt = static_cast<AVSampleFormat>(f->format);
  const int nch = f->ch_layout.nb_channels;
  const bool planar = av_sample_fmt_is_planar(fmt);
  uint8_t* base = planar ? f->extended_data[ch] : f->extended_data[0];
  const int idx = planar ? i : i * nch + ch;
  switch (av_get_packed_sample_fmt(fmt)) {
    case AV_SAMPLE_FMT_U8: {
      const auto s = static_cast<uint8_t>(std::lround(128.0 + v * 127.0));
      base[idx] = s;
      break;
    }
    case AV_SAMPLE_FMT_S16: {
      const auto s = static_cast<int16_t>(std::lround(v * 32767.0));
      std::memcpy(base + 2 * idx, &s, 2);
      break;
    }
    case AV_SAMPLE_FMT_S32: {
      const auto s = static_cast<int32_t>(std::llround(v * 2147483647.0));
      std::memcpy(base + 4 * idx, &s, 4);
      break;
    }
    case AV_SAMPLE_FMT_S64: {
      const auto s = static_cast<int64_t>(std::llround(v * 9.2e18));
      std::memcpy(base + 8 * static_cast<ptrdiff_t>(idx), &s, 8);
      break;
    }
    case AV_SAMPLE_FMT_FLT: {
      const auto s = static_cast<float>(v);
      std::memcpy(base + 4 * idx, &s, 4);
      break;
    }
    case AV_SAMPLE_FMT_DBL:
      std::memcpy(base + 8 * static_cast<ptrdiff_t>(idx), &v, 8);
      break;
    default:
      Fail("unsupported sample format " + SampleFmtName(fmt));
  }
}

double LoadSample(const AVFrame* f, int ch, int i) {
  const auto fmt = static_cast<AVSampleFormat>(f->format);
  const int nch = f->ch_layout.nb_channels;
  const bool planar = av_sample_fmt_is_planar(fmt);
  const uint8_t* base = planar ? f->extended_data[ch] : f->extended_data[0];
  const ptrdiff_t idx = planar ? i : static_cast<ptrdiff_t>(i) * nch + ch;
  switch (av_get_packed_sample_fmt(fmt)) {
    case AV_SAMPLE_FMT_U8:
      return (base[idx] - 128.0) / 128.0;
    case AV_SAMPLE_FMT_S16: {
      int16_t s;
      std::memcpy(&s, base + 2 * idx, 2);
      return s / 32768.0;
    }
    case AV_SAMPLE_FMT_S32: {
      int32_t s;
      std::memcpy(&s, base + 4 * idx, 4);
      return s / 2147483648.0;
    }
    case AV_SAMPLE_FMT_S64: {
      int64_t s;
      std::memcpy(&s, base + 8 * idx, 8);
      return static_cast<double>(s) / 9223372036854775808.0;
    }
    case AV_SAMPLE_FMT_FLT: {
      float s;
      std::memcpy(&s, base + 4 * idx, 4);
      return s;
    }
    case AV_SAMPLE_FMT_DBL: {
      double s;
      std::memcpy(&s, base + 8 * idx, 8);
      return s;
    }
    default:
      Fail("unsupported sample format " + SampleFmtName(fmt));
  }
}

// ---- writing ----

const char kAssHeader[] =
    "[Script Info]\r\n"
    "; Script generated by Quenza test support\r\n"
    "ScriptType: v4.00+\r\n"
    "PlayResX: 384\r\n"
    "PlayResY: 288\r\n"
    "ScaledBorderAndShadow: yes\r\n"
    "\r\n"
    "[V4+ Styles]\r\n"
    "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, "
    "BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, "
    "BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\r\n"
    "Style: Default,Arial,16,&Hffffff,&Hffffff,&H0,&H0,0,0,0,0,100,100,0,0,1,1,0,2,10,10,10,1\r\n"
    "\r\n"
    "[Events]\r\n"
    "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\r\n";

constexpr double kSubtitleInterval = 0.5;
constexpr double kSubtitleShown = 0.4;

bool IsNamed(const AVCodec* c, std::initializer_list<const char*> names) {
  for (const char* n : names)
    if (std::strcmp(c->name, n) == 0) return true;
  return false;
}

const AVCodec* FindEncoder(const std::string& name, AVMediaType type, const char* kind) {
  const AVCodec* c = avcodec_find_encoder_by_name(name.c_str());
  if (!c) Fail("unknown " + std::string(kind) + " encoder \"" + name + "\"");
  if (c->type != type) Fail("\"" + name + "\" is not a " + kind + " encoder");
  return c;
}

// One encoder and the stream it writes.
struct Output {
  CodecContextPtr ctx;
  AVStream* st = nullptr;
};

class Writer {
 public:
  Writer(const MediaSpec& spec, const std::string& tmpPath) : spec_(spec) {
    Validate();
    AVFormatContext* oc = nullptr;
    int ret = avformat_alloc_output_context2(&oc, nullptr, spec.container.c_str(), tmpPath.c_str());
    if (ret < 0 || !oc) Fail("unknown container \"" + spec.container + "\"");
    oc_.reset(oc);
    if (!spec.videoCodec.empty()) OpenVideo();
    for (int t = 0; t < (spec.audioCodec.empty() ? 0 : spec.audioTracks); ++t) OpenAudio();
    if (!spec.subtitleCodec.empty()) OpenSubtitles();
    if (!(oc_->oformat->flags & AVFMT_NOFILE))
      Check(avio_open(&oc_->pb, tmpPath.c_str(), AVIO_FLAG_WRITE), "cannot create " + tmpPath);
    ret = avformat_write_header(oc_.get(), nullptr);
    if (ret < 0) {
      std::string why = "the muxer \"" + spec.container + "\" refused the streams (" + Describe() + ")";
      for (auto* o : AllOutputs())
        if (avformat_query_codec(oc_->oformat, o->ctx->codec_id, FF_COMPLIANCE_NORMAL) == 0)
          why += "; it does not take " + std::string(o->ctx->codec->name);
      Check(ret, why);
    }
    pkt_ = AllocPacket();
  }

  void Run() {
    const double fps = av_q2d(spec_.frameRate);
    const double videoStart = std::max(0.0, -spec_.audioStartDelay);
    const double audioStart = std::max(0.0, spec_.audioStartDelay);
    const int64_t frames = std::max<int64_t>(1, std::llround(spec_.duration * fps));
    const int64_t videoStartPts = std::llround(videoStart * fps);
    const int64_t totalSamples = std::max<int64_t>(1, std::llround(spec_.duration * spec_.sampleRate));
    const int64_t audioStartPts = std::llround(audioStart * spec_.sampleRate);
    int64_t subtitleEvents = 0;
    if (subtitle_.ctx) subtitleEvents = std::max<int64_t>(1, static_cast<int64_t>(std::ceil(spec_.duration / kSubtitleInterval - 1e-9)));

    std::unique_ptr<PictureMaker> pictures;
    if (video_.ctx)
      pictures = std::make_unique<PictureMaker>(spec_.width, spec_.height, video_.ctx->pix_fmt,
                                                spec_.frameRate, spec_.interlaced);
    int64_t frame = 0, sample = 0, event = 0;
    const double inf = 1e300;
    for (;;) {
      const double tv = video_.ctx && frame < frames ? videoStart + frame / fps : inf;
      const double ta = !audio_.empty() && sample < totalSamples
                            ? audioStart + static_cast<double>(sample) / spec_.sampleRate
                            : inf;
      const double ts = event < subtitleEvents ? event * kSubtitleInterval : inf;
      if (tv == inf && ta == inf && ts == inf) break;
      if (tv <= ta && tv <= ts) {
        AVFrame* f = pictures->Make(frame);
        f->pts = videoStartPts + frame;
        Encode(video_, f);
        ++frame;
      } else if (ta <= ts) {
        sample += EncodeAudio(sample, totalSamples, audioStartPts);
      } else {
        EncodeSubtitle(event);
        ++event;
      }
    }
    if (video_.ctx) Encode(video_, nullptr);
    for (auto& a : audio_) Encode(a, nullptr);
    Check(av_write_trailer(oc_.get()), "writing the trailer");
    if (oc_->pb && !(oc_->oformat->flags & AVFMT_NOFILE))
      Check(avio_closep(&oc_->pb), "closing the file");
  }

 private:
  void Validate() const {
    if (spec_.videoCodec.empty() && spec_.audioCodec.empty() && spec_.subtitleCodec.empty())
      Fail("nothing to write: no video, audio or subtitle codec given");
    if (!(spec_.duration > 0.0) || spec_.duration > 24 * 3600.0) Fail("bad duration");
    if (!spec_.videoCodec.empty()) {
      if (spec_.width < 16 || spec_.height < 12 || spec_.width > 8192 || spec_.height > 8192)
        Fail("bad picture size " + std::to_string(spec_.width) + "x" + std::to_string(spec_.height) +
             " (16x12 .. 8192x8192)");
      if (spec_.frameRate.num <= 0 || spec_.frameRate.den <= 0) Fail("bad frame rate");
    }
    if (!spec_.audioCodec.empty()) {
      if (spec_.sampleRate <= 0 || spec_.sampleRate > 768000) Fail("bad sample rate");
      if (spec_.channels < 1 || spec_.channels > 16) Fail("bad channel count");
      if (spec_.audioTracks < 1 || spec_.audioTracks > 16) Fail("bad audio track count");
    }
  }

  std::string Describe() const {
    std::string s;
    auto add = [&](const std::string& v) {
      if (v.empty()) return;
      if (!s.empty()) s += ", ";
      s += v;
    };
    add(spec_.videoCodec);
    add(spec_.audioCodec);
    add(spec_.subtitleCodec);
    return s;
  }

  std::vector<Output*> AllOutputs() {
    std::vector<Output*> v;
    if (video_.ctx) v.push_back(&video_);
    for (auto& a : audio_) v.push_back(&a);
    if (subtitle_.ctx) v.push_back(&subtitle_);
    return v;
  }

  CodecContextPtr NewContext(const AVCodec* c) {
    CodecContextPtr ctx(avcodec_alloc_context3(c));
    if (!ctx) Fail("out of memory (codec context)");
    if (oc_->oformat->flags & AVFMT_GLOBALHEADER) ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    ctx->thread_count = 1;
    return ctx;
  }

  // Opens the encoder (consuming opts) and adds its stream.
  void Open(Output& out, const AVCodec* c, AVDictionary* opts, const std::string& what) {
    const int ret = avcodec_open2(out.ctx.get(), c, &opts);
    av_dict_free(&opts);
    Check(ret, "cannot open the " + what + " encoder \"" + c->name + "\"");
    out.st = avformat_new_stream(oc_.get(), nullptr);
    if (!out.st) Fail("out of memory (stream)");
    out.st->time_base = out.ctx->time_base;
    Check(avcodec_parameters_from_context(out.st->codecpar, out.ctx.get()), "stream parameters");
  }

  void OpenVideo() {
    const AVCodec* c = FindEncoder(spec_.videoCodec, AVMEDIA_TYPE_VIDEO, "video");
    video_.ctx = NewContext(c);
    AVCodecContext* ctx = video_.ctx.get();
    const auto fmts = SupportedPixelFormats(c);
    AVPixelFormat fmt = spec_.pixelFormat;
    if (fmt == AV_PIX_FMT_NONE) {
      fmt = fmts.empty() ? AV_PIX_FMT_YUV420P : fmts.front();
    } else if (!fmts.empty() && std::find(fmts.begin(), fmts.end(), fmt) == fmts.end()) {
      Fail("the encoder \"" + spec_.videoCodec + "\" does not take pixel format " + PixFmtName(fmt));
    }
    ctx->pix_fmt = fmt;
    ctx->width = spec_.width;
    ctx->height = spec_.height;
    ctx->sample_aspect_ratio = {1, 1};
    ctx->time_base = av_inv_q(spec_.frameRate);
    ctx->framerate = spec_.frameRate;
    if (spec_.gopSize > 0) ctx->gop_size = spec_.gopSize;
    if (spec_.videoBitRate > 0) ctx->bit_rate = spec_.videoBitRate;
    if (spec_.interlaced) {
      ctx->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
      ctx->field_order = AV_FIELD_TT;
    }
    // Fast settings for the encoders that have slow defaults.
    std::vector<std::pair<const char*, const char*>> settings;
    if (IsNamed(c, {"libx264", "libx264rgb", "libx265"})) settings.emplace_back("preset", "ultrafast");
    if (IsNamed(c, {"libx265"})) settings.emplace_back("x265-params", "log-level=error");
    if (IsNamed(c, {"libvpx", "libvpx-vp9"})) {
      settings.emplace_back("deadline", "realtime");
      settings.emplace_back("cpu-used", "8");
    }
    AVDictionary* opts = nullptr;
    for (const auto& [key, value] : settings) {
      const int ret = av_dict_set(&opts, key, value, 0);
      if (ret < 0) av_dict_free(&opts);
      Check(ret, "encoder options");
    }
    Open(video_, c, opts, "video");
    video_.st->avg_frame_rate = spec_.frameRate;
    video_.st->r_frame_rate = spec_.frameRate;
    video_.st->sample_aspect_ratio = ctx->sample_aspect_ratio;
  }

  void OpenAudio() {
    const AVCodec* c = FindEncoder(spec_.audioCodec, AVMEDIA_TYPE_AUDIO, "audio");
    Output out;
    out.ctx = NewContext(c);
    AVCodecContext* ctx = out.ctx.get();
    const auto fmts = SupportedSampleFormats(c);
    AVSampleFormat fmt = spec_.sampleFormat;
    if (fmt == AV_SAMPLE_FMT_NONE) {
      fmt = fmts.empty() ? AV_SAMPLE_FMT_S16 : fmts.front();
    } else if (!fmts.empty() && std::find(fmts.begin(), fmts.end(), fmt) == fmts.end()) {
      Fail("the encoder \"" + spec_.audioCodec + "\" does not take sample format " + SampleFmtName(fmt));
    }
    const auto rates = SupportedSampleRates(c);
    if (!rates.empty() && std::find(rates.begin(), rates.end(), spec_.sampleRate) == rates.end())
      Fail("the encoder \"" + spec_.audioCodec + "\" does not take sample rate " +
           std::to_string(spec_.sampleRate));
    ctx->sample_fmt = fmt;
    ctx->sample_rate = spec_.sampleRate;
    ctx->time_base = {1, spec_.sampleRate};
    if (spec_.audioBitRate > 0) ctx->bit_rate = spec_.audioBitRate;
    AVChannelLayout layout{};
    av_channel_layout_default(&layout, spec_.channels);
    const auto layouts = SupportedLayouts(c);
    if (!layouts.empty()) {
      const AVChannelLayout* pick = nullptr;
      for (auto* l : layouts)
        if (av_channel_layout_compare(l, &layout) == 0) pick = l;
      if (!pick)
        for (auto* l : layouts)
          if (!pick && l->nb_channels == spec_.channels) pick = l;
      if (!pick)
        Fail("the encoder \"" + spec_.audioCodec + "\" does not take " + std::to_string(spec_.channels) +
             " channels");
      av_channel_layout_uninit(&layout);
      Check(av_channel_layout_copy(&layout, pick), "channel layout");
    }
    const int ret = av_channel_layout_copy(&ctx->ch_layout, &layout);
    av_channel_layout_uninit(&layout);
    Check(ret, "channel layout");
    Open(out, c, nullptr, "audio");
    const bool variable = (c->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) || ctx->frame_size <= 0;
    frameSize_ = variable ? 1024 : ctx->frame_size;
    smallLast_ = variable || (c->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME);
    audio_.push_back(std::move(out));
  }

  void OpenSubtitles() {
    std::string name = spec_.subtitleCodec;
    const AVCodec* c = FindEncoder(name, AVMEDIA_TYPE_SUBTITLE, "subtitle");
    subtitle_.ctx = NewContext(c);
    AVCodecContext* ctx = subtitle_.ctx.get();
    ctx->time_base = {1, 1000};
    ctx->width = spec_.width;
    ctx->height = spec_.height;
    const int size = static_cast<int>(sizeof kAssHeader - 1);
    ctx->subtitle_header = static_cast<uint8_t*>(av_mallocz(size + 1));
    if (!ctx->subtitle_header) Fail("out of memory (subtitle header)");
    std::memcpy(ctx->subtitle_header, kAssHeader, size);
    ctx->subtitle_header_size = size;
    Open(subtitle_, c, nullptr, "subtitle");
  }

  void Encode(Output& out, const AVFrame* f) {
    int ret = avcodec_send_frame(out.ctx.get(), f);
    if (ret == AVERROR_EOF && !f) return;
    Check(ret, std::string("encoding with ") + out.ctx->codec->name);
    for (;;) {
      ret = avcodec_receive_packet(out.ctx.get(), pkt_.get());
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
      Check(ret, std::string("encoding with ") + out.ctx->codec->name);
      Write(out);
    }
  }

  void Write(Output& out) {
    av_packet_rescale_ts(pkt_.get(), out.ctx->time_base, out.st->time_base);
    pkt_->stream_index = out.st->index;
    const int ret = av_interleaved_write_frame(oc_.get(), pkt_.get());
    av_packet_unref(pkt_.get());
    Check(ret, "writing a packet to " + spec_.container);
  }

  // Encodes one audio frame into every track; returns the samples it covered.
  int64_t EncodeAudio(int64_t first, int64_t total, int64_t startPts) {
    int n = frameSize_;
    if (smallLast_) n = static_cast<int>(std::min<int64_t>(n, total - first));
    const AVCodecContext* c0 = audio_.front().ctx.get();
    for (size_t t = 0; t < audio_.size(); ++t) {
      AVCodecContext* ctx = audio_[t].ctx.get();
      FramePtr f = AllocFrame();
      f->format = ctx->sample_fmt;
      f->sample_rate = ctx->sample_rate;
      f->nb_samples = n;
      Check(av_channel_layout_copy(&f->ch_layout, &ctx->ch_layout), "channel layout");
      Check(av_frame_get_buffer(f.get(), 0), "allocating audio");
      const int nch = ctx->ch_layout.nb_channels;
      for (int ch = 0; ch < nch; ++ch) {
        const AVChannel id = av_channel_layout_channel_from_index(&ctx->ch_layout, static_cast<unsigned>(ch));
        const double freq = IsLfe(id) ? 50.0 + 10.0 * static_cast<double>(t)
                                      : ToneFrequency(static_cast<int>(t), ch, 1);
        const double w = 2.0 * std::numbers::pi * freq / c0->sample_rate;
        for (int i = 0; i < n; ++i) {
          // The phase is reduced per sample index modulo the rate to keep precision.
          const int64_t k = first + i;
          StoreSample(f.get(), ch, i, kToneAmplitude * std::sin(w * static_cast<double>(k)));
        }
      }
      f->pts = startPts + first;
      Encode(audio_[t], f.get());
    }
    return n;
  }

  void EncodeSubtitle(int64_t event) {
    const double start = event * kSubtitleInterval;
    const double end = std::min(start + kSubtitleShown, spec_.duration);
    SubtitleHolder h;
    AVSubtitle& sub = h.sub;
    sub.format = 1;
    sub.start_display_time = 0;
    sub.end_display_time = static_cast<uint32_t>(std::llround((end - start) * 1000.0));
    sub.pts = std::llround(start * AV_TIME_BASE);
    sub.rects = static_cast<AVSubtitleRect**>(av_mallocz(sizeof(AVSubtitleRect*)));
    if (!sub.rects) Fail("out of memory (subtitle)");
    sub.rects[0] = static_cast<AVSubtitleRect*>(av_mallocz(sizeof(AVSubtitleRect)));
    if (!sub.rects[0]) Fail("out of memory (subtitle)");
    sub.num_rects = 1;
    sub.rects[0]->type = SUBTITLE_ASS;
    const std::string text =
        std::to_string(event) + ",0,Default,,0,0,0,,Quenza line " + std::to_string(event + 1);
    sub.rects[0]->ass = av_strdup(text.c_str());
    if (!sub.rects[0]->ass) Fail("out of memory (subtitle)");
    std::vector<uint8_t> buf(64 * 1024);
    const int size = avcodec_encode_subtitle(subtitle_.ctx.get(), buf.data(), static_cast<int>(buf.size()), &sub);
    Check(size, std::string("encoding a subtitle with ") + subtitle_.ctx->codec->name);
    Check(av_new_packet(pkt_.get(), size), "out of memory (packet)");
    std::memcpy(pkt_->data, buf.data(), size);
    const AVRational ms{1, 1000};
    pkt_->pts = pkt_->dts = std::llround(start * 1000.0);
    pkt_->duration = sub.end_display_time;
    av_packet_rescale_ts(pkt_.get(), ms, subtitle_.st->time_base);
    pkt_->stream_index = subtitle_.st->index;
    const int ret = av_interleaved_write_frame(oc_.get(), pkt_.get());
    av_packet_unref(pkt_.get());
    Check(ret, "writing a subtitle to " + spec_.container);
  }

  const MediaSpec& spec_;
  OutputPtr oc_;
  Output video_;
  std::vector<Output> audio_;
  Output subtitle_;
  PacketPtr pkt_;
  int frameSize_ = 1024;
  bool smallLast_ = true;
};

// ---- cache names ----

uint64_t Fnv1a(const std::string& s) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : s) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

std::string Num(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

std::string Canonical(const MediaSpec& s) {
  std::string k;
  auto add = [&](const char* key, const std::string& v) {
    k += key;
    k += '=';
    k += v;
    k += ';';
  };
  add("gen", std::to_string(kGeneratorVersion));
  add("avcodec", std::to_string(LIBAVCODEC_VERSION_INT));
  add("avformat", std::to_string(LIBAVFORMAT_VERSION_INT));
  add("swscale", std::to_string(LIBSWSCALE_VERSION_INT));
  add("container", s.container);
  add("extension", s.extension);
  add("vcodec", s.videoCodec);
  add("acodec", s.audioCodec);
  add("scodec", s.subtitleCodec);
  add("size", std::to_string(s.width) + "x" + std::to_string(s.height));
  add("rate", std::to_string(s.frameRate.num) + "/" + std::to_string(s.frameRate.den));
  add("duration", Num(s.duration));
  add("ar", std::to_string(s.sampleRate));
  add("ac", std::to_string(s.channels));
  add("tracks", std::to_string(s.audioTracks));
  add("vb", std::to_string(s.videoBitRate));
  add("ab", std::to_string(s.audioBitRate));
  add("pixfmt", std::to_string(static_cast<int>(s.pixelFormat)));
  add("samplefmt", std::to_string(static_cast<int>(s.sampleFormat)));
  add("interlaced", s.interlaced ? "1" : "0");
  add("adelay", Num(s.audioStartDelay));
  add("gop", std::to_string(s.gopSize));
  return k;
}

std::string Sanitize(const std::string& s) {
  std::string r;
  for (char c : s) r += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.') ? c : '-';
  return r;
}

std::string FileName(const MediaSpec& s) {
  std::string n = Sanitize(s.container);
  if (!s.videoCodec.empty()) {
    n += "_" + Sanitize(s.videoCodec) + "_" + std::to_string(s.width) + "x" + std::to_string(s.height);
    n += "_" + std::to_string(s.frameRate.num);
    if (s.frameRate.den != 1) n += "-" + std::to_string(s.frameRate.den);
    n += "fps";
    if (s.interlaced) n += "_tff";
  }
  if (!s.audioCodec.empty()) {
    n += "_" + Sanitize(s.audioCodec) + "_" + std::to_string(s.sampleRate) + "hz_" +
         std::to_string(s.channels) + "ch";
    if (s.audioTracks > 1) n += "x" + std::to_string(s.audioTracks);
  }
  if (!s.subtitleCodec.empty()) n += "_" + Sanitize(s.subtitleCodec);
  char num[32];
  if (s.audioStartDelay != 0.0) {
    std::snprintf(num, sizeof num, "%g", s.audioStartDelay);
    n += "_adelay" + Sanitize(num);
  }
  char dur[32];
  std::snprintf(dur, sizeof dur, "%g", s.duration);
  n += "_" + Sanitize(dur) + "s";
  char hash[17];
  std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(Fnv1a(Canonical(s))));
  n += "_";
  n += hash;
  std::string ext = s.extension;
  if (ext.empty()) {
    try {
      ext = DefaultExtension(s.container);
    } catch (const std::runtime_error&) {
      ext = "bin";  // unknown container: generation will fail with a clear message
    }
  }
  n += "." + Sanitize(ext);
  return n;
}

// A temporary file that is removed unless committed.
class TempFile {
 public:
  explicit TempFile(const std::string& finalPath) {
    const std::filesystem::path p(finalPath);
    std::string tmpl = (p.parent_path() / ("." + p.filename().string() + ".tmp-XXXXXX")).string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    const int fd = mkstemp(buf.data());
    if (fd < 0) Fail("cannot create a temporary file beside " + finalPath + ": " + std::strerror(errno));
    // mkstemp makes the file private; cached media is as readable as other build output.
    const int chmodRet = fchmod(fd, 0644);
    const int chmodErr = errno;
    close(fd);
    if (chmodRet != 0) {
      unlink(buf.data());
      Fail("cannot set the mode of " + std::string(buf.data()) + ": " + std::strerror(chmodErr));
    }
    path_ = buf.data();
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }
  void CommitTo(const std::string& finalPath) {
    if (std::rename(path_.c_str(), finalPath.c_str()) != 0)
      Fail("cannot rename " + path_ + " to " + finalPath + ": " + std::strerror(errno));
    path_.clear();
  }

 private:
  std::string path_;
};

// ---- reading ----

InputPtr OpenInput(const std::string& path) {
  AVFormatContext* ic = nullptr;
  int ret = avformat_open_input(&ic, path.c_str(), nullptr, nullptr);
  Check(ret, "cannot open " + path);
  InputPtr in(ic);
  Check(avformat_find_stream_info(in.get(), nullptr), "cannot read stream info of " + path);
  return in;
}

int FindStream(const AVFormatContext* ic, AVMediaType type, int indexOfType) {
  int n = 0;
  for (unsigned i = 0; i < ic->nb_streams; ++i)
    if (ic->streams[i]->codecpar->codec_type == type && n++ == indexOfType) return static_cast<int>(i);
  return -1;
}

struct Decoder {
  InputPtr in;
  int stream = -1;
  CodecContextPtr ctx;
};

Decoder OpenDecoder(const std::string& path, AVMediaType type, int indexOfType) {
  Decoder d;
  d.in = OpenInput(path);
  d.stream = FindStream(d.in.get(), type, indexOfType);
  if (d.stream < 0)
    Fail(path + " has no " + av_get_media_type_string(type) + " stream #" + std::to_string(indexOfType));
  const AVStream* st = d.in->streams[d.stream];
  const AVCodec* c = avcodec_find_decoder(st->codecpar->codec_id);
  if (!c) Fail("no decoder for " + std::string(avcodec_get_name(st->codecpar->codec_id)));
  d.ctx.reset(avcodec_alloc_context3(c));
  if (!d.ctx) Fail("out of memory (decoder)");
  Check(avcodec_parameters_to_context(d.ctx.get(), st->codecpar), "decoder parameters");
  d.ctx->pkt_timebase = st->time_base;
  d.ctx->thread_count = 1;
  Check(avcodec_open2(d.ctx.get(), c, nullptr), "cannot open the decoder " + std::string(c->name));
  return d;
}

template <typename F>
void DecodeAll(Decoder& d, F&& onFrame) {
  PacketPtr pkt = AllocPacket();
  FramePtr frame = AllocFrame();
  const std::string what = std::string("decoding ") + d.ctx->codec->name;
  auto drain = [&]() {
    for (;;) {
      const int ret = avcodec_receive_frame(d.ctx.get(), frame.get());
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
      Check(ret, what);
      onFrame(frame.get());
      av_frame_unref(frame.get());
    }
  };
  for (;;) {
    const int ret = av_read_frame(d.in.get(), pkt.get());
    if (ret == AVERROR_EOF) break;
    Check(ret, "reading");
    if (pkt->stream_index == d.stream) {
      const int s = avcodec_send_packet(d.ctx.get(), pkt.get());
      av_packet_unref(pkt.get());
      Check(s, what);
      drain();
    } else {
      av_packet_unref(pkt.get());
    }
  }
  Check(avcodec_send_packet(d.ctx.get(), nullptr), what);
  drain();
}

}  // namespace

// ---- public ----

double ToneFrequency(int track, int channel, int channels) {
  AVChannelLayout layout{};
  av_channel_layout_default(&layout, std::max(1, channels));
  const AVChannel id = av_channel_layout_channel_from_index(&layout, static_cast<unsigned>(channel));
  av_channel_layout_uninit(&layout);
  return IsLfe(id) ? 50.0 + 10.0 * track : 440.0 * (channel + 1) + 110.0 * track;
}

std::string MediaCacheDir() {
  const char* env = std::getenv("QUENZA_TEST_MEDIA_DIR");
  return env && *env ? env : QUENZA_TEST_MEDIA_DIR;
}

std::string DefaultExtension(const std::string& container) {
  const AVOutputFormat* f = av_guess_format(container.c_str(), nullptr, nullptr);
  if (!f || container.empty()) Fail("unknown container \"" + container + "\"");
  if (f->extensions && *f->extensions) {
    std::string e = f->extensions;
    return e.substr(0, e.find(','));
  }
  return Sanitize(container);
}

std::string MediaPath(const MediaSpec& spec) {
  return (std::filesystem::path(MediaCacheDir()) / FileName(spec)).string();
}

void WriteMedia(const MediaSpec& spec, const std::string& path) {
  std::error_code ec;
  const auto parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  if (ec) Fail("cannot create the folder " + parent.string() + ": " + ec.message());
  TempFile tmp(path);
  {
    Writer w(spec, tmp.path());
    w.Run();
  }
  tmp.CommitTo(path);
}

std::string MakeMedia(const MediaSpec& spec) {
  const std::string path = MediaPath(spec);
  struct stat sb {};
  if (stat(path.c_str(), &sb) == 0 && S_ISREG(sb.st_mode) && sb.st_size > 0) return path;
  WriteMedia(spec, path);
  return path;
}

int MediaInfo::Count(AVMediaType type) const {
  return static_cast<int>(std::count_if(streams.begin(), streams.end(),
                                        [&](const StreamInfo& s) { return s.type == type; }));
}

const StreamInfo* MediaInfo::Find(AVMediaType type, int indexOfType) const {
  int n = 0;
  for (const auto& s : streams)
    if (s.type == type && n++ == indexOfType) return &s;
  return nullptr;
}

MediaInfo ReadMediaInfo(const std::string& path) {
  InputPtr in = OpenInput(path);
  MediaInfo info;
  info.formatName = in->iformat->name;
  info.durationUs = in->duration;
  info.bitRate = in->bit_rate;
  const unsigned n = in->nb_streams;
  std::vector<int64_t> first(n, AV_NOPTS_VALUE), end(n, AV_NOPTS_VALUE);
  for (unsigned i = 0; i < n; ++i) {
    const AVStream* st = in->streams[i];
    const AVCodecParameters* p = st->codecpar;
    StreamInfo s;
    s.type = p->codec_type;
    s.codecName = avcodec_get_name(p->codec_id);
    s.bitRate = p->bit_rate;
    if (s.type == AVMEDIA_TYPE_VIDEO) {
      s.width = p->width;
      s.height = p->height;
      if (p->format >= 0) s.pixelFormat = PixFmtName(static_cast<AVPixelFormat>(p->format));
      s.avgFrameRate = st->avg_frame_rate;
      s.fieldOrder = p->field_order;
    } else if (s.type == AVMEDIA_TYPE_AUDIO) {
      s.sampleRate = p->sample_rate;
      s.channels = p->ch_layout.nb_channels;
      if (p->format >= 0) s.sampleFormat = SampleFmtName(static_cast<AVSampleFormat>(p->format));
    }
    info.streams.push_back(s);
  }
  PacketPtr pkt = AllocPacket();
  for (;;) {
    const int ret = av_read_frame(in.get(), pkt.get());
    if (ret == AVERROR_EOF) break;
    Check(ret, "reading " + path);
    const auto i = static_cast<unsigned>(pkt->stream_index);
    if (i < n) {
      ++info.streams[i].packets;
      const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
      if (ts != AV_NOPTS_VALUE) {
        if (first[i] == AV_NOPTS_VALUE || ts < first[i]) first[i] = ts;
        const int64_t e = ts + std::max<int64_t>(0, pkt->duration);
        if (end[i] == AV_NOPTS_VALUE || e > end[i]) end[i] = e;
      }
    }
    av_packet_unref(pkt.get());
  }
  for (unsigned i = 0; i < n; ++i) {
    const AVStream* st = in->streams[i];
    const double tb = av_q2d(st->time_base);
    StreamInfo& s = info.streams[i];
    if (first[i] != AV_NOPTS_VALUE) {
      s.startTime = first[i] * tb;
      s.duration = (end[i] - first[i]) * tb;
    } else {
      if (st->start_time != AV_NOPTS_VALUE) s.startTime = st->start_time * tb;
      if (st->duration != AV_NOPTS_VALUE) s.duration = st->duration * tb;
    }
  }
  return info;
}

void ForEachDecodedFrame(const std::string& path, AVMediaType type, int streamIndexOfType,
                         const std::function<void(const AVFrame*)>& onFrame) {
  if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) Fail("only video or audio frames");
  Decoder d = OpenDecoder(path, type, streamIndexOfType);
  DecodeAll(d, [&](const AVFrame* f) { onFrame(f); });
}

int64_t CountDecodedFrames(const std::string& path, AVMediaType type, int streamIndexOfType) {
  if (type == AVMEDIA_TYPE_SUBTITLE) {
    Decoder d = OpenDecoder(path, type, streamIndexOfType);
    PacketPtr pkt = AllocPacket();
    int64_t count = 0;
    for (;;) {
      const int ret = av_read_frame(d.in.get(), pkt.get());
      if (ret == AVERROR_EOF) break;
      Check(ret, "reading " + path);
      if (pkt->stream_index == d.stream) {
        SubtitleHolder h;
        int got = 0;
        const int r = avcodec_decode_subtitle2(d.ctx.get(), &h.sub, &got, pkt.get());
        av_packet_unref(pkt.get());
        Check(r, "decoding subtitles");
        if (got) ++count;
      } else {
        av_packet_unref(pkt.get());
      }
    }
    return count;
  }
  int64_t count = 0;
  ForEachDecodedFrame(path, type, streamIndexOfType, [&](const AVFrame*) { ++count; });
  return count;
}

int64_t CountDecodedSamples(const std::string& path, int streamIndexOfType) {
  int64_t count = 0;
  ForEachDecodedFrame(path, AVMEDIA_TYPE_AUDIO, streamIndexOfType,
                      [&](const AVFrame* f) { count += f->nb_samples; });
  return count;
}

int ReadFrameCounter(const AVFrame* frame) {
  if (!frame || frame->width < 16 || frame->height < 12 || frame->format < 0) return -1;
  const auto fmt = static_cast<AVPixelFormat>(frame->format);
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(fmt);
  if (!d || (d->flags & AV_PIX_FMT_FLAG_HWACCEL)) return -1;
  const int w = frame->width, h = frame->height;
  SwsPtr sws(sws_getContext(w, h, fmt, w, h, AV_PIX_FMT_GRAY8, SWS_POINT, nullptr, nullptr, nullptr));
  if (!sws) return -1;
  const int stride = FFALIGN(w, 64);
  // Only the counter band (the top sixth) is needed, but swscale wants whole pictures.
  std::unique_ptr<uint8_t, void (*)(void*)> gray(static_cast<uint8_t*>(av_malloc(static_cast<size_t>(stride) * h)),
                                                 av_free);
  if (!gray) return -1;
  uint8_t* dst[4] = {gray.get(), nullptr, nullptr, nullptr};
  int dstStride[4] = {stride, 0, 0, 0};
  if (sws_scale(sws.get(), frame->data, frame->linesize, 0, h, dst, dstStride) <= 0) return -1;

  auto mean = [&](int cell, int row) {
    const int x0 = cell * w / 16, x1 = (cell + 1) * w / 16;
    const int y0 = row * h / 12, y1 = (row + 1) * h / 12;
    int xa = x0 + (x1 - x0) / 4, xb = x1 - (x1 - x0) / 4;
    int ya = y0 + (y1 - y0) / 4, yb = y1 - (y1 - y0) / 4;
    if (xb <= xa) xa = x0, xb = x1;
    if (yb <= ya) ya = y0, yb = y1;
    int64_t sum = 0;
    for (int y = ya; y < yb; ++y)
      for (int x = xa; x < xb; ++x) sum += gray.get()[static_cast<ptrdiff_t>(y) * stride + x];
    return static_cast<double>(sum) / ((xb - xa) * (yb - ya));
  };
  int value = 0;
  for (int cell = 0; cell < 16; ++cell) {
    const double upper = mean(cell, 0), lower = mean(cell, 1);
    if (std::fabs(upper - lower) < 40.0) return -1;
    const int bit = upper > lower ? 1 : 0;
    if (cell == 0 && bit != 1) return -1;
    if (cell == 15 && bit != 0) return -1;
    if (cell >= 1 && cell <= 14) value = (value << 1) | bit;
  }
  return value;
}

std::vector<int> ReadFrameCounters(const std::string& path) {
  std::vector<int> v;
  ForEachDecodedFrame(path, AVMEDIA_TYPE_VIDEO, 0, [&](const AVFrame* f) { v.push_back(ReadFrameCounter(f)); });
  return v;
}

AudioStats MeasureAudio(const std::string& path, int streamIndexOfType) {
  AudioStats s;
  Decoder d = OpenDecoder(path, AVMEDIA_TYPE_AUDIO, streamIndexOfType);
  const AVRational tb = d.in->streams[d.stream]->time_base;
  std::vector<double> sumSq;
  std::vector<int> state;
  std::vector<int64_t> crossings, firstCross, lastCross;
  constexpr double kThreshold = 0.05;
  bool firstFrame = true;
  DecodeAll(d, [&](const AVFrame* f) {
    const int nch = f->ch_layout.nb_channels;
    if (firstFrame) {
      firstFrame = false;
      s.sampleRate = f->sample_rate;
      const int64_t ts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
      if (ts != AV_NOPTS_VALUE) s.firstPts = ts * av_q2d(tb);
    }
    if (static_cast<int>(sumSq.size()) < nch) {
      sumSq.resize(nch, 0.0);
      state.resize(nch, 0);
      crossings.resize(nch, 0);
      firstCross.resize(nch, -1);
      lastCross.resize(nch, -1);
    }
    for (int ch = 0; ch < nch; ++ch) {
      for (int i = 0; i < f->nb_samples; ++i) {
        const double v = LoadSample(f, ch, i);
        sumSq[ch] += v * v;
        if (v > kThreshold) {
          if (state[ch] < 0) {
            const int64_t at = s.samples + i;
            if (firstCross[ch] < 0) firstCross[ch] = at;
            lastCross[ch] = at;
            ++crossings[ch];
          }
          state[ch] = 1;
        } else if (v < -kThreshold) {
          state[ch] = -1;
        }
      }
    }
    s.samples += f->nb_samples;
  });
  double total = 0.0;
  for (size_t ch = 0; ch < sumSq.size(); ++ch) {
    total += sumSq[ch];
    s.channelRms.push_back(s.samples ? std::sqrt(sumSq[ch] / s.samples) : 0.0);
    double freq = 0.0;
    if (crossings[ch] >= 2 && lastCross[ch] > firstCross[ch] && s.sampleRate > 0)
      freq = (crossings[ch] - 1) * static_cast<double>(s.sampleRate) / (lastCross[ch] - firstCross[ch]);
    s.channelFrequency.push_back(freq);
  }
  if (s.samples && !sumSq.empty()) s.rms = std::min(1.0, std::sqrt(total / (s.samples * static_cast<double>(sumSq.size()))));
  return s;
}

double MeasureRms(const std::string& path, int streamIndexOfType) {
  return MeasureAudio(path, streamIndexOfType).rms;
}

}  // namespace quenza::test
