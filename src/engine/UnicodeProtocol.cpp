#include "engine/UnicodeProtocol.h"

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/AvPtr.h"

namespace quenza {
namespace {

static_assert(sizeof(off_t) == 8, "64-bit file offsets required");

constexpr std::string_view kPrefix = kUnicodeURLPrefix;
constexpr std::string_view kNeverWrapped = ":unicode:stream:gopher:http:pipe:rtp:tcp:udp:";
constexpr int kBufferSize = 32768;

class IconvHandle {
 public:
  IconvHandle(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;
  ~IconvHandle() {
    if (valid()) iconv_close(cd_);
  }
  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// The whole text converted, or nothing when a character cannot be converted.
std::optional<std::string> Convert(const std::string& text, const char* to, const char* from) {
  IconvHandle cd(to, from);
  if (!cd.valid()) return std::nullopt;
  std::string out(text.size() * 2 + 16, '\0');
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  size_t done = 0;
  bool flushing = false;  // second pass: write the final shift sequence of stateful charsets
  for (;;) {
    char* outPtr = out.data() + done;
    size_t outLeft = out.size() - done;
    const size_t r = flushing ? iconv(cd.get(), nullptr, nullptr, &outPtr, &outLeft)
                              : iconv(cd.get(), &in, &inLeft, &outPtr, &outLeft);
    done = static_cast<size_t>(outPtr - out.data());
    if (r == static_cast<size_t>(-1)) {
      if (errno != E2BIG) return std::nullopt;  // EILSEQ or a truncated sequence
      out.resize(out.size() * 2);
      continue;
    }
    if (flushing) break;
    flushing = true;
  }
  out.resize(done);
  return out;
}

bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (s.size() - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      const unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return false;
    if (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) return false;
    i += len;
  }
  return true;
}

// Charset of LC_CTYPE for the calling thread (its uselocale locale, else the global one).
std::string LocaleCodeset() {
  const locale_t loc = uselocale(nullptr);
  const char* cs = loc == LC_GLOBAL_LOCALE ? nl_langinfo(CODESET) : nl_langinfo_l(CODESET, loc);
  return cs ? std::string(cs) : std::string();
}

bool IsUtf8Codeset(const std::string& codeset) {
  std::string folded;
  for (char c : codeset) {
    if (c == '-' || c == '_') continue;
    folded += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return folded == "UTF8";
}

// "proto:..." with a protocol of the never-wrapped list.
bool IsProtocolName(const std::string& name) {
  if (name.find(':', 1) == std::string::npos) return false;
  const std::string key = ":" + name.substr(0, name.find(':')) + ":";
  return kNeverWrapped.find(key) != std::string_view::npos;
}

}  // namespace

std::string FileNameToURL(const std::string& utf8Name) {
  if (IsProtocolName(utf8Name) || !IsValidUtf8(utf8Name)) return utf8Name;
  const std::string codeset = LocaleCodeset();
  if (IsUtf8Codeset(codeset)) return utf8Name;
  // The file system holds the UTF-8 bytes, so a narrow form is only usable when it is
  // those same bytes; a failed or differing conversion means the name must be wrapped.
  const std::optional<std::string> narrow = Convert(utf8Name, codeset.c_str(), "UTF-8");
  if (narrow && *narrow == utf8Name) return utf8Name;
  return std::string(kPrefix) + utf8Name;
}

std::string URLToFileName(const std::string& url) {
  if (IsUnicodeURL(url)) return url.substr(kPrefix.size());
  if (IsValidUtf8(url)) return url;
  const std::string codeset = LocaleCodeset();
  if (IsUtf8Codeset(codeset)) return url;
  std::optional<std::string> wide = Convert(url, "UTF-8", codeset.c_str());
  return wide ? std::move(*wide) : url;
}

bool IsUnicodeURL(const std::string& url) {
  return url.size() > kPrefix.size() && std::string_view(url).starts_with(kPrefix);
}

int TUnicodeIO::Open(const std::string& url, int flags, std::unique_ptr<TUnicodeIO>& io) {
  io.reset();
  if (!IsUnicodeURL(url)) return AVERROR(EINVAL);
  const std::string name = url.substr(kPrefix.size());

  int mode = O_RDONLY;
  if ((flags & AVIO_FLAG_READ_WRITE) == AVIO_FLAG_READ_WRITE)
    mode = O_RDWR | O_CREAT | O_TRUNC;
  else if (flags & AVIO_FLAG_WRITE)
    mode = O_WRONLY | O_CREAT | O_TRUNC;
  int fd;
  do {
    fd = ::open(name.c_str(), mode | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return AVERROR(ENOENT);
  std::unique_ptr<TUnicodeIO> file(new TUnicodeIO(fd));

  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) return AVERROR(ENOENT);

  AVMemPtr<unsigned char> buffer(static_cast<unsigned char*>(av_malloc(kBufferSize)));
  if (!buffer) return AVERROR(ENOMEM);
  const bool writable = (mode & O_ACCMODE) != O_RDONLY;
  const bool readable = (mode & O_ACCMODE) != O_WRONLY;
  file->ctx_ = avio_alloc_context(buffer.get(), kBufferSize, writable ? 1 : 0, file.get(),
                                  readable ? &ReadPacket : nullptr,
                                  writable ? &WritePacket : nullptr, &Seek);
  if (!file->ctx_) return AVERROR(ENOMEM);
  buffer.release();
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) file->ctx_->seekable = 0;
  io = std::move(file);
  return 0;
}

TUnicodeIO* TUnicodeIO::FromContext(const AVIOContext* pb) {
  // Every context made by Open has our seek callback; no other context has it.
  return pb && pb->seek == &Seek ? static_cast<TUnicodeIO*>(pb->opaque) : nullptr;
}

TUnicodeIO::~TUnicodeIO() { Close(); }

int TUnicodeIO::Close() {
  int result = 0;
  if (ctx_) {
    if (ctx_->write_flag) {
      avio_flush(ctx_);
      // A reader's error field also holds AVERROR_EOF, so only a writer's counts.
      if (ctx_->error < 0) result = ctx_->error;
    }
    // The libraries may have replaced the buffer; free the current one.
    av_freep(&ctx_->buffer);
    avio_context_free(&ctx_);
  }
  if (fd_ >= 0) {
    if (::close(fd_) != 0 && result == 0) result = AVERROR(EIO);
    fd_ = -1;
  }
  return result;
}

int TUnicodeIO::ReadPacket(void* opaque, uint8_t* buf, int size) {
  const int fd = static_cast<TUnicodeIO*>(opaque)->fd_;
  ssize_t n;
  do {
    n = ::read(fd, buf, static_cast<size_t>(size));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return AVERROR(EIO);
  if (n == 0) return AVERROR_EOF;
  return static_cast<int>(n);
}

int TUnicodeIO::WritePacket(void* opaque, uint8_t* buf, int size) {
  const int fd = static_cast<TUnicodeIO*>(opaque)->fd_;
  // The libraries drop whatever a short write leaves, so write it all.
  size_t done = 0;
  while (done < static_cast<size_t>(size)) {
    const ssize_t n = ::write(fd, buf + done, static_cast<size_t>(size) - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return AVERROR(EIO);
    done += static_cast<size_t>(n);
  }
  return size;
}

int64_t TUnicodeIO::Seek(void* opaque, int64_t offset, int whence) {
  const int fd = static_cast<TUnicodeIO*>(opaque)->fd_;
  whence &= ~AVSEEK_FORCE;
  if (whence == AVSEEK_SIZE) {
    struct stat st;
    if (fstat(fd, &st) != 0) return AVERROR(EIO);
    // No size for pipes and devices; the libraries then try SEEK_END.
    return S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : AVERROR(ENOSYS);
  }
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return AVERROR(EINVAL);
  const off_t pos = lseek(fd, static_cast<off_t>(offset), whence);
  return pos < 0 ? AVERROR(EIO) : static_cast<int64_t>(pos);
}

int OpenInputURL(AVFormatContext** ctx, const std::string& url, const AVInputFormat* fmt,
                 AVDictionary** options) {
  if (!ctx) return AVERROR(EINVAL);
  // A caller's own pb is used as it is.
  if (!IsUnicodeURL(url) || (*ctx && (*ctx)->pb))
    return avformat_open_input(ctx, url.c_str(), fmt, options);

  std::unique_ptr<TUnicodeIO> io;
  int ret = TUnicodeIO::Open(url, AVIO_FLAG_READ, io);
  if (ret >= 0 && !*ctx) {
    *ctx = avformat_alloc_context();
    if (!*ctx) ret = AVERROR(ENOMEM);
  }
  if (ret < 0) {
    // Like avformat_open_input, a failure frees the caller's context too.
    avformat_free_context(*ctx);
    *ctx = nullptr;
    return ret;
  }
  (*ctx)->pb = io->Context();
  (*ctx)->flags |= AVFMT_FLAG_CUSTOM_IO;
  // On failure this frees *ctx but leaves the custom pb to us (io frees it).
  ret = avformat_open_input(ctx, url.c_str(), fmt, options);
  if (ret < 0) return ret;
  io->ownedByContext_ = true;
  io.release();
  return ret;
}

void CloseInputURL(AVFormatContext** ctx) {
  if (!ctx || !*ctx) return;
  std::unique_ptr<TUnicodeIO> owned;
  if ((*ctx)->flags & AVFMT_FLAG_CUSTOM_IO) {
    TUnicodeIO* io = TUnicodeIO::FromContext((*ctx)->pb);
    if (io && io->ownedByContext_) owned.reset(io);
  }
  // With AVFMT_FLAG_CUSTOM_IO this leaves pb alone; owned frees it afterwards.
  avformat_close_input(ctx);
}

int OpenOutputIO(AVIOContext** pb, const std::string& url) {
  if (!pb) return AVERROR(EINVAL);
  *pb = nullptr;
  if (!IsUnicodeURL(url)) return avio_open(pb, url.c_str(), AVIO_FLAG_WRITE);
  std::unique_ptr<TUnicodeIO> io;
  const int ret = TUnicodeIO::Open(url, AVIO_FLAG_WRITE, io);
  if (ret < 0) return ret;
  io->ownedByContext_ = true;
  *pb = io.release()->Context();
  return 0;
}

int CloseOutputIO(AVIOContext** pb) {
  if (!pb || !*pb) return 0;
  if (TUnicodeIO* io = TUnicodeIO::FromContext(*pb)) {
    *pb = nullptr;
    const int ret = io->Close();
    if (io->ownedByContext_) delete io;
    return ret;
  }
  // avio_close does not report write errors of the final flush; take them from the context.
  avio_flush(*pb);
  const int error = (*pb)->error;
  const int ret = avio_closep(pb);
  return error < 0 ? error : ret;
}

}  // namespace quenza
