#include "media/FFmpegLoader.h"

#include <dlfcn.h>
#include <gnu/lib-names.h>
#include <link.h>
#include <sys/stat.h>

#include <charconv>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <utility>

#include <SDL_version.h>

extern "C" {
#include <libavcodec/version.h>
#include <libavfilter/version.h>
#include <libavformat/version.h>
#include <libavutil/version.h>
#include <libswscale/version.h>
}

#include "media/FFmpegLogger.h"

namespace quenza {

namespace {

// Entry points bound per row, by public name; the first is the row's version function.
constexpr const char* kAVCodecEntries[] = {
    "avcodec_version",
    "avcodec_find_decoder",
    "avcodec_find_decoder_by_name",
    "avcodec_find_encoder",
    "avcodec_find_encoder_by_name",
    "avcodec_get_name",
    "avcodec_alloc_context3",
    "avcodec_free_context",
    "avcodec_parameters_to_context",
    "avcodec_parameters_from_context",
    "avcodec_open2",
    "avcodec_send_packet",
    "avcodec_receive_frame",
    "avcodec_send_frame",
    "avcodec_receive_packet",
    "avcodec_flush_buffers",
    "avcodec_decode_subtitle2",
    "avcodec_encode_subtitle",
    "av_packet_alloc",
    "av_packet_free",
    "av_packet_unref",
    "av_packet_rescale_ts",
    "av_bsf_get_by_name",
    "av_bsf_alloc",
    "av_bsf_init",
    "av_bsf_send_packet",
    "av_bsf_receive_packet",
    "av_bsf_free",
};

constexpr const char* kAVFilterEntries[] = {
    "avfilter_version",
    "avfilter_get_by_name",
    "avfilter_graph_alloc",
    "avfilter_graph_free",
    "avfilter_graph_create_filter",
    "avfilter_graph_parse_ptr",
    "avfilter_graph_config",
    "avfilter_inout_alloc",
    "avfilter_inout_free",
    "av_buffersrc_add_frame_flags",
    "av_buffersink_get_frame",
};

constexpr const char* kAVFormatEntries[] = {
    "avformat_version",      "avformat_alloc_context",
    "avformat_open_input",   "avformat_find_stream_info",
    "avformat_close_input",  "avformat_alloc_output_context2",
    "avformat_free_context", "avformat_new_stream",
    "avformat_write_header", "av_write_trailer",
    "av_read_frame",         "av_interleaved_write_frame",
    "avformat_seek_file",    "av_find_input_format",
    "av_guess_format",       "avio_open",
    "avio_closep",           "avio_alloc_context",
    "avio_context_free",     "av_dump_format",
};

constexpr const char* kAVUtilEntries[] = {
    "avutil_version",
    "av_log",
    "av_log_default_callback",
    "av_log_get_level",
    "av_log_set_callback",
    "av_log_set_level",
    "av_default_item_name",
    "av_malloc",
    "av_mallocz",
    "av_free",
    "av_freep",
    "av_strdup",
    "av_frame_alloc",
    "av_frame_free",
    "av_frame_unref",
    "av_dict_set",
    "av_dict_get",
    "av_dict_free",
    "av_opt_set",
    "av_opt_find",
    "av_rescale_q",
    "av_gettime",
    "av_parse_time",
    "av_parse_video_size",
    "av_parse_video_rate",
    "av_image_fill_arrays",
    "av_pix_fmt_desc_get",
    "av_channel_layout_default",
    "av_channel_layout_uninit",
};

constexpr const char* kSWScaleEntries[] = {
    "swscale_version", "sws_getContext", "sws_getCachedContext", "sws_scale", "sws_freeContext",
};

constexpr const char* kCRuntimeEntries[] = {
    "gnu_get_libc_version",
    "fclose",
    "fopen",
    "fprintf",
    "fread",
    "fseek",
    "ftell",
    "fwrite",
    "snprintf",
    "strtod",
    "strtok",
    "strtol",
    "vsprintf",
};

constexpr const char* kSDLEntries[] = {
    "SDL_GetVersion",
    "SDL_Init",
    "SDL_InitSubSystem",
    "SDL_QuitSubSystem",
    "SDL_Quit",
    "SDL_GetError",
    "SDL_OpenAudioDevice",
    "SDL_PauseAudioDevice",
    "SDL_LockAudioDevice",
    "SDL_UnlockAudioDevice",
    "SDL_CloseAudioDevice",
    "SDL_MixAudioFormat",
    "SDL_GetCurrentAudioDriver",
};

// The C runtime is libc.so.6 (LIBC_SO of <gnu/lib-names.h>): base "c", version 6.
constexpr int kCRuntimeSoVersion = 6;
static_assert(std::string_view(LIBC_SO) == "libc.so.6", "unexpected C runtime soname");

// SDL 2 keeps the soname libSDL2-2.0.so.0 for the whole 2.x series.
constexpr TLibraryItem kLibraryTable[LibraryCount] = {
    {"avcodec", LIBAVCODEC_VERSION_MAJOR, kAVCodecEntries, TVersionKind::vkFFmpeg,
     LIBAVCODEC_VERSION_MAJOR},
    {"avfilter", LIBAVFILTER_VERSION_MAJOR, kAVFilterEntries, TVersionKind::vkFFmpeg,
     LIBAVFILTER_VERSION_MAJOR},
    {"avformat", LIBAVFORMAT_VERSION_MAJOR, kAVFormatEntries, TVersionKind::vkFFmpeg,
     LIBAVFORMAT_VERSION_MAJOR},
    {"avutil", LIBAVUTIL_VERSION_MAJOR, kAVUtilEntries, TVersionKind::vkFFmpeg,
     LIBAVUTIL_VERSION_MAJOR},
    {"swscale", LIBSWSCALE_VERSION_MAJOR, kSWScaleEntries, TVersionKind::vkFFmpeg,
     LIBSWSCALE_VERSION_MAJOR},
    {"c", kCRuntimeSoVersion, kCRuntimeEntries, TVersionKind::vkCRuntime, __GLIBC__},
    {"SDL2-2.0", 0, kSDLEntries, TVersionKind::vkSDL, SDL_MAJOR_VERSION},
};

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The pending dlerror() text; read it before any other dl call replaces it.
std::string TakeDlError() {
  const char* raw = dlerror();
  return raw ? raw : "unknown error";
}

// text without a leading "<object>: " that names the object again.
std::string WithoutObjectName(std::string text, std::initializer_list<std::string> objectNames) {
  for (const std::string& name : objectNames) {
    if (!name.empty() && text.size() > name.size() + 2 && text.compare(0, name.size(), name) == 0 &&
        text.compare(name.size(), 2, ": ") == 0)
      return text.substr(name.size() + 2);
  }
  return text;
}

// Path under which the dynamic linker knows the object, for error texts.
std::string LinkedPath(void* handle) {
  link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr)
    return {};
  return map->l_name;
}

// Major version reported by the row's version function; -1 when it gives none.
int RunTimeMajor(TVersionKind kind, void* versionFn) {
  switch (kind) {
    case TVersionKind::vkFFmpeg: {
      unsigned version = reinterpret_cast<unsigned (*)()>(versionFn)();
      return static_cast<int>(AV_VERSION_MAJOR(version));
    }
    case TVersionKind::vkCRuntime: {
      const char* text = reinterpret_cast<const char* (*)()>(versionFn)();
      if (text == nullptr) return -1;
      int major = -1;
      const char* end = text + std::strlen(text);
      auto [ptr, ec] = std::from_chars(text, end, major);
      if (ec != std::errc() || ptr == text) return -1;
      return major;
    }
    case TVersionKind::vkSDL: {
      SDL_version version{};
      reinterpret_cast<void (*)(SDL_version*)>(versionFn)(&version);
      return version.major;
    }
  }
  return -1;
}

}  // namespace

std::span<const TLibraryItem> LibraryTable() { return kLibraryTable; }

std::string BuiltLibraryFileName(TLibraryIndex index) {
  const TLibraryItem& item = kLibraryTable[index];
  std::string name = "lib";
  name += item.BaseName;
  name += ".so";
  if (item.Version >= 0) name += "." + std::to_string(item.Version);
  return name;
}

TFFmpegLoader::TFFmpegLoader() = default;

// Runs at exit, when no log handler can be relied on: unload failures go unreported.
TFFmpegLoader::~TFFmpegLoader() {
  std::lock_guard guard(fLock);
  for (int i = 0; i < LibraryCount; ++i) UnloadLibraryLocked(static_cast<TLibraryIndex>(i));
}

void TFFmpegLoader::SetLibraryPath(const std::string& path) {
  std::lock_guard guard(fLock);
  fLibraryPath = path;
}

std::string TFFmpegLoader::LibraryPath() const {
  std::lock_guard guard(fLock);
  return fLibraryPath;
}

void TFFmpegLoader::SetLibraryFileName(TLibraryIndex index, const std::string& fileName) {
  std::lock_guard guard(fLock);
  fStatus.at(index).FileName = fileName;
}

std::string TFFmpegLoader::LibraryFileName(TLibraryIndex index) const {
  std::lock_guard guard(fLock);
  return EffectiveFileNameLocked(index);
}

std::string TFFmpegLoader::EffectiveFileNameLocked(TLibraryIndex index) const {
  const std::string& explicitName = fStatus.at(index).FileName;
  return explicitName.empty() ? BuiltLibraryFileName(index) : explicitName;
}

bool TFFmpegLoader::LoadLibraries(TLibrarySet set) {
  if (set.Empty()) throw std::logic_error("LoadLibraries: empty library set");
  bool loaded = true;
  {
    std::lock_guard guard(fLock);
    for (int i = 0; i < LibraryCount && loaded; ++i) {
      auto index = static_cast<TLibraryIndex>(i);
      if (set.Contains(index)) loaded = LoadLibraryLocked(index);
    }
    if (!loaded) {
      for (int i = 0; i < LibraryCount; ++i)
        if (set.Contains(static_cast<TLibraryIndex>(i)))
          UnloadLibraryLocked(static_cast<TLibraryIndex>(i));
    }
  }
  ReportUnloadWarnings();
  return loaded;
}

bool TFFmpegLoader::LoadLibraryLocked(TLibraryIndex index) {
  TLibraryStatus& status = fStatus.at(index);
  const TLibraryItem& item = kLibraryTable[index];

  if (status.Handle == nullptr) {
    const std::string name = EffectiveFileNameLocked(index);
    const std::size_t slash = name.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
    const std::string file = slash == std::string::npos ? name : name.substr(slash + 1);
    if (folder.empty() && !fLibraryPath.empty()) {
      folder = fLibraryPath;
      if (folder.back() != '/') folder += '/';
    }
    // By full path when the folder holds the file, otherwise by the name as given
    // (a bare name goes through the dynamic linker's search order).
    std::string target = name;
    if (!folder.empty() && IsRegularFile(folder + file)) target = folder + file;

    dlerror();
    void* handle = dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      fLastError =
          "Load library " + target + " error: " + WithoutObjectName(TakeDlError(), {target});
      return false;
    }
    status.Handle = handle;
    status.LoadedName = target;
  }

  if (!status.Bound) {
    std::vector<void*> entries;
    entries.reserve(item.EntryPoints.size());
    for (const char* entry : item.EntryPoints) {
      dlerror();
      void* address = dlsym(status.Handle, entry);
      if (address == nullptr) {
        std::string reason = TakeDlError();
        reason =
            WithoutObjectName(std::move(reason), {LinkedPath(status.Handle), status.LoadedName});
        fLastError =
            std::string("Load function ") + entry + "@" + status.LoadedName + " error: " + reason;
        break;
      }
      entries.push_back(address);
    }
    if (entries.size() == item.EntryPoints.size()) {
      const int runTime = RunTimeMajor(item.VersionKind, entries.front());
      if (runTime == item.BuildMajor) {
        status.Entries = std::move(entries);
        status.Bound = true;
      } else {
        fLastError = "Load library " + status.LoadedName + " error: run-time major version " +
                     std::to_string(runTime) + " differs from build-time " +
                     std::to_string(item.BuildMajor);
      }
    }
  }

  if (!status.Bound) {
    UnloadLibraryLocked(index);
    return false;
  }

  fBoundMask.fetch_or(1u << index, std::memory_order_acq_rel);
  if (index == liAVUtil) GetLogger().AttachToLibraries();
  return true;
}

bool TFFmpegLoader::LibrariesLoaded(TLibrarySet set) const {
  return (fBoundMask.load(std::memory_order_acquire) & set.Bits()) == set.Bits();
}

bool TFFmpegLoader::LibraryLoaded(TLibraryIndex index) const {
  return LibrariesLoaded(TLibrarySet{index});
}

void TFFmpegLoader::UnloadLibraries(TLibrarySet set) {
  {
    std::lock_guard guard(fLock);
    for (int i = 0; i < LibraryCount; ++i)
      if (set.Contains(static_cast<TLibraryIndex>(i)))
        UnloadLibraryLocked(static_cast<TLibraryIndex>(i));
  }
  ReportUnloadWarnings();
}

void TFFmpegLoader::UnloadLibrary(TLibraryIndex index) {
  {
    std::lock_guard guard(fLock);
    UnloadLibraryLocked(index);
  }
  ReportUnloadWarnings();
}

void TFFmpegLoader::UnloadLibraryLocked(TLibraryIndex index) {
  TLibraryStatus& status = fStatus.at(index);
  const bool wasBound = status.Bound;
  fBoundMask.fetch_and(~(1u << index), std::memory_order_acq_rel);
  status.Bound = false;
  status.Entries.clear();
  if (index == liAVUtil && wasBound) {
    if (TFFLogger* logger = TFFLogger::Instance()) logger->DetachFromLibraries();
  }
  if (status.Handle != nullptr) {
    dlerror();
    if (dlclose(status.Handle) != 0) {
      fUnloadWarnings.push_back("Unload library " + status.LoadedName +
                                " error: " + WithoutObjectName(TakeDlError(), {status.LoadedName}));
    }
    status.Handle = nullptr;
    status.LoadedName.clear();
  }
}

std::string TFFmpegLoader::LastError() const {
  std::lock_guard guard(fLock);
  return fLastError;
}

void* TFFmpegLoader::EntryPoint(TLibraryIndex index, const std::string& name) const {
  std::lock_guard guard(fLock);
  const TLibraryStatus& status = fStatus.at(index);
  if (!status.Bound) return nullptr;
  const auto& names = kLibraryTable[index].EntryPoints;
  for (std::size_t i = 0; i < names.size(); ++i)
    if (name == names[i]) return status.Entries[i];
  return nullptr;
}

void TFFmpegLoader::Reset() {
  {
    std::lock_guard guard(fLock);
    for (int i = 0; i < LibraryCount; ++i) {
      auto index = static_cast<TLibraryIndex>(i);
      UnloadLibraryLocked(index);
      fStatus[index].FileName.clear();
    }
    fLibraryPath.clear();
    fLastError.clear();
  }
  ReportUnloadWarnings();
}

void TFFmpegLoader::ReportUnloadWarnings() {
  std::vector<std::string> warnings;
  {
    std::lock_guard guard(fLock);
    warnings.swap(fUnloadWarnings);
  }
  TFFLogger* logger = TFFLogger::Instance();
  if (logger == nullptr) return;
  for (const std::string& warning : warnings) logger->Log(this, llWarning, warning);
}

TFFmpegLoader& FFLoader() {
  static TFFmpegLoader loader;
  return loader;
}

}  // namespace quenza
