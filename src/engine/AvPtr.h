#pragma once
// Owning pointers for library objects, each with its library's free function.

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace quenza {

struct AVCodecContextDeleter {
  void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct AVFormatContextDeleter {
  void operator()(AVFormatContext* p) const { avformat_free_context(p); }
};
struct SwsContextDeleter {
  void operator()(SwsContext* p) const { sws_freeContext(p); }
};
struct AVBSFContextDeleter {
  void operator()(AVBSFContext* p) const { av_bsf_free(&p); }
};
struct AVFrameDeleter {
  void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct AVPacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct AVFreeDeleter {
  void operator()(void* p) const { av_free(p); }
};

using AVCodecContextPtr = std::unique_ptr<AVCodecContext, AVCodecContextDeleter>;
using AVFormatContextPtr = std::unique_ptr<AVFormatContext, AVFormatContextDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;
using AVBSFContextPtr = std::unique_ptr<AVBSFContext, AVBSFContextDeleter>;
using AVFramePtr = std::unique_ptr<AVFrame, AVFrameDeleter>;
using AVPacketPtr = std::unique_ptr<AVPacket, AVPacketDeleter>;
template <typename T>
using AVMemPtr = std::unique_ptr<T, AVFreeDeleter>;

// An AVDictionary owned by value.
class AVDict {
 public:
  AVDict() = default;
  AVDict(const AVDict&) = delete;
  AVDict& operator=(const AVDict&) = delete;
  AVDict(AVDict&& o) noexcept : d_(o.d_) { o.d_ = nullptr; }
  AVDict& operator=(AVDict&& o) noexcept {
    if (this != &o) {
      av_dict_free(&d_);
      d_ = o.d_;
      o.d_ = nullptr;
    }
    return *this;
  }
  ~AVDict() { av_dict_free(&d_); }
  AVDictionary* get() const { return d_; }
  AVDictionary** addr() { return &d_; }
  int count() const { return av_dict_count(d_); }
  void clear() { av_dict_free(&d_); }

 private:
  AVDictionary* d_ = nullptr;
};

}  // namespace quenza
