#pragma once
// Legacy frame-hook libraries: shared objects exporting
//   int  Configure(void** ctx, int argc, char* argv[]);   non-zero = failure
//   void Process(void* ctx, TFrameHookPicture* pict, int pix_fmt, int width, int height, int64_t pts);
//   void Release(void* ctx);
// "Process" is required, "Configure" when arguments follow the library name,
// "Release" is optional.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quenza {

// Picture planes handed to Process (four planes, as the hook ABI has always had).
struct TFrameHookPicture {
  uint8_t* data[4];
  int linesize[4];
};

using TFrameHookConfigure = int (*)(void** ctx, int argc, char* argv[]);
using TFrameHookProcess = void (*)(void* ctx, TFrameHookPicture* pict, int pix_fmt, int width,
                                   int height, int64_t pts);
using TFrameHookRelease = void (*)(void* ctx);

class TFrameHookLibrary {
 public:
  // Loads the library named by the first argument of value (arguments split at "|"
  // when it holds one, else at spaces) and configures it. Returns null after logging
  // the reason through the libraries' log function.
  static std::shared_ptr<TFrameHookLibrary> Add(const std::string& value);
  ~TFrameHookLibrary();  // calls Release with the context

  void Process(TFrameHookPicture* pict, int pix_fmt, int width, int height, int64_t pts) const {
    process_(ctx_, pict, pix_fmt, width, height, pts);
  }
  const std::vector<std::string>& Arguments() const { return args_; }

 private:
  TFrameHookLibrary() = default;
  std::shared_ptr<void> module_;  // shared by every hook of the same library
  void* ctx_ = nullptr;
  TFrameHookProcess process_ = nullptr;
  TFrameHookRelease release_ = nullptr;
  std::vector<std::string> args_;
};

}  // namespace quenza
