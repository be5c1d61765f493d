// Progress report and final report.

#include <cmath>

extern "C" {
#include <libavutil/time.h>
}

#include "engine/FFmpeg.h"
#include "engine/OptionParse.h"

namespace quenza {

void TCustomFFmpeg::PrintReport(bool isLast, int fileIndex) {
  if (outputFiles_.empty()) return;
  AVFormatContext* oc = outputFiles_[0]->ctx;
  int64_t totalSize = 0;
  if (oc->pb) {
    totalSize = avio_size(oc->pb);
    if (totalSize < 0) totalSize = avio_tell(oc->pb);
  }

  std::string buf;
  int frameNumber = -1, fps = -1;
  float q = -1;
  bool firstVideo = true;
  double ti1 = 1e10;
  for (const auto& p : ost_) {
    const TOutputStream& ost = *p;
    const AVMediaType type = ost.st->codecpar->codec_type;
    const float quality = ost.setup->stream_copy ? -1.0f : ost.last_quality;
    if (type == AVMEDIA_TYPE_VIDEO && !firstVideo) buf += StrFormat("q=%2.1f ", quality);
    if (type == AVMEDIA_TYPE_VIDEO && firstVideo && ost.active) {
      const double elapsed = (av_gettime() - timerStart_) / 1000000.0;
      frameNumber = ost.frame_number;
      if (frameNumber < 1) return;  // nothing encoded yet: no report
      fps = elapsed > 1 ? static_cast<int>(frameNumber / elapsed + 0.5) : 0;
      q = quality;
      buf += StrFormat("frame=%5d fps=%3d q=%3.1f ", frameNumber, fps, q);
      if (isLast) buf += "L";
      if (s_.qp_hist) {
        int qp = static_cast<int>(std::lrint(q));
        if (qp >= 0 && qp < 52) qpHistogram_[qp]++;
        for (int j = 0; j < 32; ++j)
          buf += StrFormat("%X", static_cast<int>(std::lrint(std::log2(qpHistogram_[j] + 1.0))));
      }
      if (ost.enc && (ost.enc->flags & AV_CODEC_FLAG_PSNR)) {
        const double scale = static_cast<double>(ost.enc->width) * ost.enc->height * 255.0 * 255.0;
        double errorSum = 0, scaleSum = 0;
        buf += "PSNR=";
        for (int j = 0; j < 3; ++j) {
          double error = static_cast<double>(isLast ? ost.enc->error[j] : ost.last_error[j]);
          double s = j ? scale / 4 : scale;
          if (isLast) s *= frameNumber;
          errorSum += error;
          scaleSum += s;
          buf += StrFormat("%c:%2.2f ", "YUV"[j], -10.0 * std::log10(error / s));
        }
        buf += StrFormat("*:%2.2f ", -10.0 * std::log10(errorSum / scaleSum));
      }
      firstVideo = false;
    }
    if (ost.last_pts > 0 && ost.last_pts < ti1) ti1 = ost.last_pts;
  }
  if (ti1 < 0.01) ti1 = 0.01;

  if (OnProgress || s_.verbose > 0 || isLast) {
    const double bitrate = static_cast<double>(totalSize) * 8 / ti1 / 1000.0;
    buf += StrFormat("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", totalSize / 1024.0, ti1, bitrate);
    if (nbFramesDup_ || nbFramesDrop_) buf += StrFormat(" dup=%d drop=%d", nbFramesDup_, nbFramesDrop_);
    if (dupDropFlagged_ && s_.verbose >= 0 && OnProgress) {
      dupDropFlagged_ = false;
      Log(llVerbose, buf);
    }
    if (OnProgress)
      OnProgress(this, fileIndex, expectedDuration_, static_cast<int64_t>(ti1 * 1000000), totalSize,
                 static_cast<float>(bitrate), q, fps, frameNumber);
    else if (s_.verbose >= 0)
      Log(llVerbose, buf);
  }

  if (isLast && s_.verbose >= 0) {
    const double sum = static_cast<double>(videoSize_ + audioSize_ + extraSize_);
    // With nothing counted the overhead is reported as 0.
    const double overhead = sum > 0 ? (static_cast<double>(totalSize) - sum) * 100.0 / sum : 0.0;
    Log(llVerbose, StrFormat("video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%%\r\n",
                             videoSize_ / 1024.0, audioSize_ / 1024.0, extraSize_ / 1024.0, overhead));
  }
}

}  // namespace quenza
