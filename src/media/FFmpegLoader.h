#pragma once
// Process-wide library loader. The media libraries, the C runtime and SDL are linked
// at build time; loading a row opens the shared object by its soname (or an explicit
// file), binds the entry points the system calls by their public names and checks
// that the run-time library has the major version the program was built against.

#include <array>
#include <atomic>
#include <cstdint>
#include <fenv.h>
#include <initializer_list>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace quenza {

// Row of the library table; also the bit number in a TLibrarySet.
enum TLibraryIndex : int {
  liAVCodec = 0,
  liAVFilter,
  liAVFormat,
  liAVUtil,
  liSWScale,
  liCRuntime,
  liSDL,
};
inline constexpr int LibraryCount = 7;

class TLibrarySet {
 public:
  constexpr TLibrarySet() = default;
  constexpr TLibrarySet(std::initializer_list<TLibraryIndex> items) {
    for (TLibraryIndex i : items) fBits |= Bit(i);
  }
  constexpr bool Contains(TLibraryIndex i) const { return (fBits & Bit(i)) != 0; }
  constexpr bool Empty() const { return fBits == 0; }
  constexpr std::uint32_t Bits() const { return fBits; }
  constexpr TLibrarySet operator|(TLibrarySet other) const { return FromBits(fBits | other.fBits); }
  constexpr bool operator==(const TLibrarySet&) const = default;

  static constexpr TLibrarySet FromBits(std::uint32_t bits) {
    TLibrarySet s;
    s.fBits = bits & ((1u << LibraryCount) - 1);
    return s;
  }

 private:
  static constexpr std::uint32_t Bit(TLibraryIndex i) { return 1u << static_cast<int>(i); }
  std::uint32_t fBits = 0;
};

// The converter component and the conversion engine.
inline constexpr TLibrarySet ConverterLibraries{liAVCodec, liAVFilter, liAVFormat,
                                                liAVUtil,  liSWScale,  liCRuntime};
// The player: the converter's set plus SDL.
inline constexpr TLibrarySet PlayerLibraries = ConverterLibraries | TLibrarySet{liSDL};
// What the media probe checks before it opens a file.
inline constexpr TLibrarySet ProbeLibraries{liAVCodec, liAVFormat, liAVUtil, liSWScale};
inline constexpr TLibrarySet AllLibraries = TLibrarySet::FromBits((1u << LibraryCount) - 1);

// How a row's version function reports its version.
enum class TVersionKind {
  vkFFmpeg,    // unsigned fn(void), major in bits 16 and up
  vkCRuntime,  // const char* fn(void), "major.minor"
  vkSDL,       // void fn(SDL_version*)
};

// One fixed row of the library table. EntryPoints[0] is the version function.
struct TLibraryItem {
  const char* BaseName;  // "avcodec"
  int Version;           // soname version of the linked library ("libavcodec.so.59")
  std::span<const char* const> EntryPoints;
  TVersionKind VersionKind;
  int BuildMajor;  // major version the program was built against
};

// The seven rows, indexed by TLibraryIndex.
std::span<const TLibraryItem> LibraryTable();
// "lib" + base name + ".so." + version.
std::string BuiltLibraryFileName(TLibraryIndex index);

class TFFmpegLoader {
 public:
  TFFmpegLoader();
  TFFmpegLoader(const TFFmpegLoader&) = delete;
  TFFmpegLoader& operator=(const TFFmpegLoader&) = delete;
  ~TFFmpegLoader();

  // Folder to load from; empty means the system's search order.
  void SetLibraryPath(const std::string& path);
  std::string LibraryPath() const;
  // Explicit file name of a row, used instead of the built one when not empty. It may
  // carry its own folder.
  void SetLibraryFileName(TLibraryIndex index, const std::string& fileName);
  // The explicit file name when set, else the built one.
  std::string LibraryFileName(TLibraryIndex index) const;

  // Loads the set in index order; at the first failure unloads the whole set and
  // returns false with LastError telling why. An empty set throws std::logic_error.
  bool LoadLibraries(TLibrarySet set);
  // True when every library of the set is loaded and bound. Safe from any thread.
  bool LibrariesLoaded(TLibrarySet set) const;
  bool LibraryLoaded(TLibraryIndex index) const;
  void UnloadLibraries(TLibrarySet set);
  void UnloadLibrary(TLibraryIndex index);
  std::string LastError() const;

  // Bound address of one of a row's entry points, or nullptr when the row is not
  // bound or the name is not one of its entry points.
  void* EntryPoint(TLibraryIndex index, const std::string& name) const;

  // Unloads everything and forgets file names, the path and the last error.
  void Reset();

 private:
  struct TLibraryStatus {
    std::string FileName;    // explicit file name, empty for the built one
    void* Handle = nullptr;  // dlopen handle, owned; nullptr when not loaded
    std::string LoadedName;  // the name given to dlopen
    bool Bound = false;
    std::vector<void*> Entries;  // parallel to the row's EntryPoints while bound
  };

  bool LoadLibraryLocked(TLibraryIndex index);
  void UnloadLibraryLocked(TLibraryIndex index);
  std::string EffectiveFileNameLocked(TLibraryIndex index) const;
  // Logs the unload failures collected under the lock, after it is released (the log
  // handler may call back into the loader).
  void ReportUnloadWarnings();

  // fLock guards everything below except fBoundMask, which LibrariesLoaded reads
  // without it from any thread.
  mutable std::mutex fLock;
  std::string fLibraryPath;
  std::string fLastError;
  std::array<TLibraryStatus, LibraryCount> fStatus;
  std::vector<std::string> fUnloadWarnings;
  std::atomic<std::uint32_t> fBoundMask{0};
};

// The process-wide loader, created on first use.
TFFmpegLoader& FFLoader();

// Process start and end steps of the media layer. Construction (on the main thread)
// saves the floating-point environment and masks all floating-point exceptions,
// creates the loader and installs the media layer's engine host. Destruction waits
// for the codec lock, restores the floating-point environment, removes the engine
// host, resets the loader (unloading every library) and frees the logger GetLogger
// created. Only one scope may exist at a time; a second throws std::logic_error.
class TMediaProcessScope {
 public:
  TMediaProcessScope();
  TMediaProcessScope(const TMediaProcessScope&) = delete;
  TMediaProcessScope& operator=(const TMediaProcessScope&) = delete;
  ~TMediaProcessScope();

 private:
  fenv_t fSavedEnv;
};

}  // namespace quenza
