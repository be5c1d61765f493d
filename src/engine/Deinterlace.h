#pragma once
// Deinterlacing of planar 8-bit pictures: even lines are kept, every odd line is
// replaced by a vertical 5-tap low-pass (-1 4 2 4 -1)/8 around it, edges clamped.

extern "C" {
#include <libavutil/frame.h>
}

namespace quenza {

// dst must have src's size and format and be writable. False for formats other than
// planar 8-bit YUV or gray.
bool DeinterlacePicture(AVFrame* dst, const AVFrame* src);

}  // namespace quenza
