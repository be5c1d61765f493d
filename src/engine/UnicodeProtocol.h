#pragma once
// File names handed to the libraries, and our own file I/O behind "unicode:utf8:" URLs.
//
// The application's names are UTF-8 and name the file by exactly those bytes. The
// libraries get a name unchanged when its form in the locale's charset (LC_CTYPE of the
// calling thread) is the same bytes; any other name is given as "unicode:utf8:" + name
// and opened through an AVIOContext of ours, so the real UTF-8 name is opened. All
// functions are thread-safe: every result is returned by value.

#include <memory>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
}

namespace quenza {

inline constexpr char kUnicodeURLPrefix[] = "unicode:utf8:";

// The name to give to the libraries for an application file name. Names starting with
// one of the protocols "unicode", "stream", "gopher", "http", "pipe", "rtp", "tcp" or
// "udp" followed by ":" are passed unchanged, as are names that are not valid UTF-8
// (raw file-system bytes).
std::string FileNameToURL(const std::string& utf8Name);

// The readable (UTF-8) name of a URL the libraries report back: the name inside a
// "unicode:utf8:" URL, otherwise the URL converted from the locale's charset (unchanged
// when it is valid UTF-8 already or cannot be converted).
std::string URLToFileName(const std::string& url);

// True for "unicode:utf8:" followed by at least one byte.
bool IsUnicodeURL(const std::string& url);

// A file opened by the name inside a "unicode:utf8:" URL, with an AVIOContext over it
// (seekable for regular files). The context's opaque points to its TUnicodeIO.
class TUnicodeIO {
 public:
  // flags: AVIO_FLAG_READ opens an existing file; AVIO_FLAG_WRITE and
  // AVIO_FLAG_READ_WRITE create the file or truncate it. Returns 0, AVERROR(ENOENT) when
  // the file cannot be opened, AVERROR(EINVAL) for a URL that is not a unicode URL, or
  // AVERROR(ENOMEM).
  static int Open(const std::string& url, int flags, std::unique_ptr<TUnicodeIO>& io);

  // The TUnicodeIO behind a context made by Open, or null for any other context.
  static TUnicodeIO* FromContext(const AVIOContext* pb);

  TUnicodeIO(const TUnicodeIO&) = delete;
  TUnicodeIO& operator=(const TUnicodeIO&) = delete;
  // Closes like Close(), dropping its result.
  ~TUnicodeIO();

  AVIOContext* Context() const { return ctx_; }

  // Flushes a writer, frees the context and closes the file. Returns 0, or a negative
  // AVERROR when a write failed (now or earlier) or the file could not be closed.
  // Later calls return 0.
  int Close();

 private:
  explicit TUnicodeIO(int fd) : fd_(fd) {}

  static int ReadPacket(void* opaque, uint8_t* buf, int size);
  static int WritePacket(void* opaque, uint8_t* buf, int size);
  static int64_t Seek(void* opaque, int64_t offset, int whence);

  friend int OpenInputURL(AVFormatContext**, const std::string&, const AVInputFormat*,
                          AVDictionary**);
  friend void CloseInputURL(AVFormatContext**);
  friend int OpenOutputIO(AVIOContext**, const std::string&);
  friend int CloseOutputIO(AVIOContext**);

  int fd_;
  AVIOContext* ctx_ = nullptr;
  // Set when the object is owned through its context (OpenInputURL, OpenOutputIO) and
  // deleted by CloseInputURL or CloseOutputIO; otherwise its unique_ptr owns it.
  bool ownedByContext_ = false;
};

// avformat_open_input for any URL. For a unicode URL the file is opened through a
// TUnicodeIO set as (*ctx)->pb with AVFMT_FLAG_CUSTOM_IO; *ctx may be null (allocated
// here) or a context without pb. On failure *ctx (even a caller's) is freed and null.
// A context opened here must be closed with CloseInputURL.
int OpenInputURL(AVFormatContext** ctx, const std::string& url, const AVInputFormat* fmt,
                 AVDictionary** options);

// avformat_close_input, then frees the TUnicodeIO that OpenInputURL attached, if any
// (a pb the caller set is left to the caller). Sets *ctx to null; does nothing when it
// is null already.
void CloseInputURL(AVFormatContext** ctx);

// Opens an output for writing: a TUnicodeIO for a unicode URL, avio_open otherwise.
// On failure *pb is null. Close it with CloseOutputIO.
int OpenOutputIO(AVIOContext** pb, const std::string& url);

// Flushes and closes a context from OpenOutputIO and sets *pb to null. Returns 0, or a
// negative AVERROR when writing or closing failed. A TUnicodeIO's context not made by
// OpenOutputIO is closed, and the object left to its owner.
int CloseOutputIO(AVIOContext** pb);

}  // namespace quenza
