// quenza-make-media: writes one test-media file (pattern with frame counter, sine tones).
//
//   quenza-make-media --container C [--vcodec V] [--acodec A] [--scodec S] [--size WxH]
//       [--rate N[/D]] [--duration S] [--ar N] [--ac N] [--tracks N] [--vb BPS] [--ab BPS]
//       [--pix-fmt F] [--sample-fmt F] [--gop N] [--interlaced] [--audio-delay S] -o PATH
//
// Exit status: 0 written, 1 generation failed (message on stderr), 2 usage error.

#include "support/TestMedia.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
}

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace {

const char kUsage[] =
    "usage: quenza-make-media --container C [--vcodec V] [--acodec A] [--scodec S]\n"
    "         [--size WxH] [--rate N[/D]] [--duration S] [--ar N] [--ac N] [--tracks N]\n"
    "         [--vb BPS] [--ab BPS] [--pix-fmt F] [--sample-fmt F] [--gop N]\n"
    "         [--interlaced] [--audio-delay S] -o PATH\n";

int Usage(const std::string& why) {
  std::fprintf(stderr, "quenza-make-media: %s\n%s", why.c_str(), kUsage);
  return 2;
}

bool ParseInt(const char* s, long long lo, long long hi, long long& out) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(s, &end, 10);
  if (errno || end == s || *end || v < lo || v > hi) return false;
  out = v;
  return true;
}

bool ParseDouble(const char* s, double& out) {
  char* end = nullptr;
  const double v = std::strtod(s, &end);
  if (end == s || *end) return false;
  out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using quenza::test::MediaSpec;
  MediaSpec spec;
  spec.container.clear();
  std::string out;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--interlaced") {
      spec.interlaced = true;
      continue;
    }
    if (i + 1 >= argc) return Usage("missing value after " + a);
    const char* v = argv[++i];
    long long n = 0;
    double d = 0;
    if (a == "--container") {
      spec.container = v;
    } else if (a == "--vcodec") {
      spec.videoCodec = v;
    } else if (a == "--acodec") {
      spec.audioCodec = v;
    } else if (a == "--scodec") {
      spec.subtitleCodec = v;
    } else if (a == "--size") {
      int w = 0, h = 0;
      if (av_parse_video_size(&w, &h, v) < 0) return Usage("bad --size " + std::string(v));
      spec.width = w;
      spec.height = h;
    } else if (a == "--rate") {
      AVRational r{0, 1};
      if (av_parse_video_rate(&r, v) < 0 || r.num <= 0 || r.den <= 0)
        return Usage("bad --rate " + std::string(v));
      spec.frameRate = r;
    } else if (a == "--duration") {
      if (!ParseDouble(v, d) || !(d > 0)) return Usage("bad --duration " + std::string(v));
      spec.duration = d;
    } else if (a == "--audio-delay") {
      if (!ParseDouble(v, d)) return Usage("bad --audio-delay " + std::string(v));
      spec.audioStartDelay = d;
    } else if (a == "--ar") {
      if (!ParseInt(v, 1, 768000, n)) return Usage("bad --ar " + std::string(v));
      spec.sampleRate = static_cast<int>(n);
    } else if (a == "--ac") {
      if (!ParseInt(v, 1, 16, n)) return Usage("bad --ac " + std::string(v));
      spec.channels = static_cast<int>(n);
    } else if (a == "--tracks") {
      if (!ParseInt(v, 1, 16, n)) return Usage("bad --tracks " + std::string(v));
      spec.audioTracks = static_cast<int>(n);
    } else if (a == "--vb") {
      if (!ParseInt(v, 0, 1000000000, n)) return Usage("bad --vb " + std::string(v));
      spec.videoBitRate = n;
    } else if (a == "--ab") {
      if (!ParseInt(v, 0, 100000000, n)) return Usage("bad --ab " + std::string(v));
      spec.audioBitRate = n;
    } else if (a == "--gop") {
      if (!ParseInt(v, 0, 100000, n)) return Usage("bad --gop " + std::string(v));
      spec.gopSize = static_cast<int>(n);
    } else if (a == "--pix-fmt") {
      spec.pixelFormat = av_get_pix_fmt(v);
      if (spec.pixelFormat == AV_PIX_FMT_NONE) return Usage("unknown --pix-fmt " + std::string(v));
    } else if (a == "--sample-fmt") {
      spec.sampleFormat = av_get_sample_fmt(v);
      if (spec.sampleFormat == AV_SAMPLE_FMT_NONE) return Usage("unknown --sample-fmt " + std::string(v));
    } else if (a == "-o" || a == "--output") {
      out = v;
    } else {
      return Usage("unknown option " + a);
    }
  }
  if (spec.container.empty()) return Usage("--container is required");
  if (out.empty()) return Usage("-o PATH is required");
  if (spec.videoCodec.empty() && spec.audioCodec.empty() && spec.subtitleCodec.empty())
    return Usage("give at least one of --vcodec, --acodec, --scodec");

  av_log_set_level(AV_LOG_ERROR);
  try {
    quenza::test::WriteMedia(spec, out);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quenza-make-media: %s\n", e.what());
    return 1;
  }
  return 0;
}
