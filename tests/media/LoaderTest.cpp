#include "media/FFmpegLoader.h"

#include <dlfcn.h>
#include <fenv.h>
#include <gnu/lib-names.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <string>

#include <SDL_version.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
#include <libswscale/version.h>
}

#include "LogCollector.h"
#include "engine/EngineHost.h"
#include "engine/FFmpegException.h"
#include "media/FFmpegLogger.h"

namespace quenza {
namespace {

namespace fs = std::filesystem;
using test::TLogCollector;
using test::TLogRecord;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// A fresh folder under the system's temporary folder, removed with its contents.
class TTempFolder {
 public:
  explicit TTempFolder(const std::string& tag) {
    static std::atomic<int> counter{0};
    fPath = fs::temp_directory_path() / ("quenza-loader-" + tag + "-" + std::to_string(getpid()) +
                                         "-" + std::to_string(counter++));
    fs::create_directories(fPath);
  }
  ~TTempFolder() {
    std::error_code ignored;
    fs::remove_all(fPath, ignored);
  }
  const fs::path& Path() const { return fPath; }
  std::string Str() const { return fPath.string(); }

 private:
  fs::path fPath;
};

void ExpectNoneLoaded(TLibrarySet set) {
  for (int i = 0; i < LibraryCount; ++i) {
    const auto index = static_cast<TLibraryIndex>(i);
    if (set.Contains(index)) {
      EXPECT_FALSE(FFLoader().LibraryLoaded(index)) << "row " << i;
    }
  }
}

std::string OlderVersionText() {
  return "run-time major version " + std::to_string(LIBSWSCALE_VERSION_MAJOR - 1) +
         " differs from build-time " + std::to_string(LIBSWSCALE_VERSION_MAJOR);
}

class LoaderFixture : public ::testing::Test {
 protected:
  TMediaProcessScope fScope;
  TFFmpegLoader& fLoader = FFLoader();
};
using media_Loader = LoaderFixture;

TEST_F(media_Loader, SetsLoadAndUnloadByRow) {
  EXPECT_FALSE(fLoader.LibrariesLoaded(ConverterLibraries));
  ASSERT_TRUE(fLoader.LoadLibraries(ConverterLibraries)) << fLoader.LastError();
  EXPECT_TRUE(fLoader.LibrariesLoaded(ConverterLibraries));
  EXPECT_TRUE(fLoader.LibrariesLoaded(ProbeLibraries));
  EXPECT_FALSE(fLoader.LibraryLoaded(liSDL));
  EXPECT_FALSE(fLoader.LibrariesLoaded(PlayerLibraries));
  EXPECT_TRUE(std::async(std::launch::async, [] {
                return FFLoader().LibrariesLoaded(ConverterLibraries);
              }).get());

  ASSERT_TRUE(fLoader.LoadLibraries(PlayerLibraries)) << fLoader.LastError();
  EXPECT_TRUE(fLoader.LibrariesLoaded(AllLibraries));

  fLoader.UnloadLibrary(liSWScale);
  EXPECT_FALSE(fLoader.LibrariesLoaded(ConverterLibraries));
  EXPECT_FALSE(fLoader.LibrariesLoaded(ProbeLibraries));
  EXPECT_TRUE(fLoader.LibrariesLoaded(TLibrarySet{liAVCodec, liAVFormat, liAVUtil, liSDL}));

  fLoader.UnloadLibraries(PlayerLibraries);
  ExpectNoneLoaded(AllLibraries);
  EXPECT_THROW(fLoader.LoadLibraries(TLibrarySet{}), std::logic_error);
}

TEST_F(media_Loader, BoundEntryPointsReachTheLinkedLibraries) {
  ASSERT_TRUE(fLoader.LoadLibraries(PlayerLibraries)) << fLoader.LastError();

  auto codecVersion =
      reinterpret_cast<unsigned (*)()>(fLoader.EntryPoint(liAVCodec, "avcodec_version"));
  ASSERT_NE(codecVersion, nullptr);
  EXPECT_EQ(codecVersion(), avcodec_version());

  auto toLong = reinterpret_cast<long (*)(const char*, char**, int)>(
      fLoader.EntryPoint(liCRuntime, "strtol"));
  ASSERT_NE(toLong, nullptr);
  EXPECT_EQ(toLong("-42", nullptr, 10), -42);

  auto sdlVersion =
      reinterpret_cast<void (*)(SDL_version*)>(fLoader.EntryPoint(liSDL, "SDL_GetVersion"));
  ASSERT_NE(sdlVersion, nullptr);
  SDL_version version{};
  sdlVersion(&version);
  EXPECT_EQ(version.major, SDL_MAJOR_VERSION);

  EXPECT_EQ(fLoader.EntryPoint(liAVCodec, "avformat_version"), nullptr);
  fLoader.UnloadLibrary(liAVCodec);
  EXPECT_EQ(fLoader.EntryPoint(liAVCodec, "avcodec_version"), nullptr);
}

TEST_F(media_Loader, FailingRowFailsTheSetAndUnloadsAllOfIt) {
  TTempFolder folder("absent");
  const std::string missingScaler = (folder.Path() / BuiltLibraryFileName(liSWScale)).string();
  const std::string missingRuntime = (folder.Path() / LIBC_SO).string();
  const std::string codecName = BuiltLibraryFileName(liAVCodec);
  const std::string older = QUENZA_OLDER_SWSCALE;
  struct Case {
    const char* what;
    TLibraryIndex row;
    std::string fileName;
    std::string expectedStart;
    std::string reason;
  } cases[] = {
      {"missing file", liSWScale, missingScaler,
       "Load library " + missingScaler + " error: ", "cannot open shared object file"},
      {"missing file, last row", liCRuntime, missingRuntime,
       "Load library " + missingRuntime + " error: ", "cannot open shared object file"},
      {"missing entry point", liSWScale, LIBC_SO,
       "Load function swscale_version@" LIBC_SO " error: ", "undefined symbol"},
      {"another row's library", liAVFormat, codecName,
       "Load function avformat_version@" + codecName + " error: ", "undefined symbol"},
      {"older major version", liSWScale, older,
       "Load library " + older + " error: ", OlderVersionText()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fLoader.SetLibraryFileName(c.row, c.fileName);
    EXPECT_FALSE(fLoader.LoadLibraries(ConverterLibraries));
    const std::string error = fLoader.LastError();
    EXPECT_THAT(error, StartsWith(c.expectedStart));
    EXPECT_THAT(error.substr(std::min(error.size(), c.expectedStart.size())), HasSubstr(c.reason));
    ExpectNoneLoaded(ConverterLibraries);

    fLoader.SetLibraryFileName(c.row, "");
    EXPECT_TRUE(fLoader.LoadLibraries(ConverterLibraries)) << fLoader.LastError();
    fLoader.UnloadLibraries(ConverterLibraries);
  }
}

TEST_F(media_Loader, LibraryPathIsUsedWhenItHoldsTheFile) {
  TTempFolder withOlder("with");
  TTempFolder empty("empty");
  const fs::path olderLink = withOlder.Path() / BuiltLibraryFileName(liSWScale);
  fs::create_symlink(QUENZA_OLDER_SWSCALE, olderLink);

  Dl_info linked{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&sws_getContext), &linked), 0);
  ASSERT_NE(linked.dli_fname, nullptr);
  const std::string realScaler = linked.dli_fname;

  const std::string olderError =
      "Load library " + olderLink.string() + " error: " + OlderVersionText();
  struct Case {
    const char* what;
    std::string path;
    std::string explicitName;
    bool loads;
    std::string expectedError;
  } cases[] = {
      {"folder holds the file", withOlder.Str(), "", false, olderError},
      {"trailing separator", withOlder.Str() + "/", "", false, olderError},
      {"folder lacks the file", empty.Str(), "", true, ""},
      {"explicit folder wins", withOlder.Str(), realScaler, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fLoader.SetLibraryPath(c.path);
    fLoader.SetLibraryFileName(liSWScale, c.explicitName);
    const bool loaded = fLoader.LoadLibraries(ConverterLibraries);
    EXPECT_EQ(loaded, c.loads) << fLoader.LastError();
    if (loaded) {
      EXPECT_TRUE(fLoader.LibrariesLoaded(ConverterLibraries));
      fLoader.UnloadLibraries(ConverterLibraries);
    } else {
      EXPECT_EQ(fLoader.LastError(), c.expectedError);
      ExpectNoneLoaded(ConverterLibraries);
    }
  }
}

TEST_F(media_Loader, EngineHostForwardsToLoaderAndLogger) {
  TEngineHost* host = GetEngineHost();
  ASSERT_NE(host, nullptr);
  EXPECT_FALSE(host->EngineLibrariesLoaded());
  ASSERT_TRUE(fLoader.LoadLibraries(ConverterLibraries)) << fLoader.LastError();
  EXPECT_TRUE(host->EngineLibrariesLoaded());

  TLogCollector collector;
  GetLogger().SetTriggerEventInMainThread(false);
  GetLogger().SetOnLog(collector.Handler());
  struct TResetHandler {
    ~TResetHandler() { GetLogger().SetOnLog(nullptr); }
  } resetHandler;

  host->SetLogLevelByName("warning");
  EXPECT_EQ(host->GetLogLevel(), llWarning);
  EXPECT_EQ(av_log_get_level(), AV_LOG_WARNING);
  EXPECT_THROW(host->SetLogLevelByName("loudest"), FFmpegException);
  EXPECT_EQ(host->GetLogLevel(), llWarning);

  const int sender = 0;
  host->Log(&sender, llWarning, "kept");
  host->Log(&sender, llInfo, "dropped");
  const std::vector<TLogRecord> records = collector.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Msg, "kept");
  EXPECT_EQ(records[0].Sender, &sender);
}

// Turns floating-point traps off again whatever the test left behind.
struct TTrapsOff {
  ~TTrapsOff() { fedisableexcept(FE_ALL_EXCEPT); }
};

TEST(media_ProcessScope, StartAndEndSteps) {
  ASSERT_EQ(GetEngineHost(), nullptr);
  TTrapsOff trapsOff;
  ASSERT_NE(feenableexcept(FE_DIVBYZERO), -1);
  {
    TMediaProcessScope scope;
    EXPECT_EQ(fegetexcept(), 0);
    EXPECT_NE(GetEngineHost(), nullptr);
    EXPECT_THROW(TMediaProcessScope(), std::logic_error);

    ASSERT_TRUE(FFLoader().LoadLibraries(ConverterLibraries)) << FFLoader().LastError();
    GetLogger();
    FFLoader().SetLibraryPath("/nowhere");
    FFLoader().SetLibraryFileName(liSWScale, "/nowhere/libother.so");
  }
  EXPECT_EQ(fegetexcept(), FE_DIVBYZERO);
  EXPECT_EQ(GetEngineHost(), nullptr);
  EXPECT_EQ(TFFLogger::Instance(), nullptr);
  ExpectNoneLoaded(AllLibraries);
  EXPECT_EQ(FFLoader().LibraryPath(), "");
  EXPECT_EQ(FFLoader().LibraryFileName(liSWScale), BuiltLibraryFileName(liSWScale));
}

}  // namespace
}  // namespace quenza
