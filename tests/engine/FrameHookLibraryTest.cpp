#include <dlfcn.h>

#include "EngineFixture.h"

namespace quenza::test {
namespace {

using FrameHooks = EngineTest;

// A counter of the test hook; the test keeps its own reference to the library so the
// counters outlive the engine's hooks.
int* HookCounter(const char* name) {
  static void* h = dlopen(QUENZA_TEST_HOOK, RTLD_NOW);
  return h ? static_cast<int*>(dlsym(h, name)) : nullptr;
}

TEST_F(FrameHooks, LoadConfigureAndRelease) {
  int* configured = HookCounter("test_hook_configured");
  int* released = HookCounter("test_hook_released");
  int* lastArgc = HookCounter("test_hook_last_argc");
  ASSERT_TRUE(configured && released && lastArgc);
  const int configuredBefore = *configured;
  ASSERT_EQ(OptionError("vhook", std::string(QUENZA_TEST_HOOK) + " -a -b"), "");
  ASSERT_EQ(OptionError("vhook", std::string(QUENZA_TEST_HOOK) + "|one arg"), "");
  ASSERT_EQ(engine.HookLibraries().size(), 2u);
  EXPECT_EQ(engine.HookLibraries()[1]->Arguments(),
            (std::vector<std::string>{QUENZA_TEST_HOOK, "one arg"}));
  EXPECT_EQ(*configured, configuredBefore + 2);
  EXPECT_EQ(*lastArgc, 2);
  int releasedBefore = *released;
  engine.Reset();  // a new task releases the hooks
  EXPECT_EQ(*released, releasedBefore + 2);
}

TEST_F(FrameHooks, FailuresAreLoggedAndRefused) {
  struct Case {
    std::string value;
    std::string logged;
  };
  const Case cases[] = {
      {QUENZA_TEST_HOOK_NOPROCESS, std::string("Failed to find Process entrypoint in ") + QUENZA_TEST_HOOK_NOPROCESS + "\n"},
      {std::string(QUENZA_TEST_HOOK) + " fail", std::string("Failed to Configure ") + QUENZA_TEST_HOOK + "\n"},
  };
  for (const Case& c : cases) {
    host.Clear();
    EXPECT_EQ(OptionError("vhook", c.value), "Failed to add video hook function: " + c.value);
    ASSERT_FALSE(host.LibLines().empty());
    EXPECT_EQ(host.LibLines().back(), c.logged);
  }
  host.Clear();
  EXPECT_EQ(OptionError("vhook", "/no/such/dir/hook.so"), "Failed to add video hook function: /no/such/dir/hook.so");
  ASSERT_FALSE(host.LibLines().empty());
  EXPECT_NE(host.LibLines().back().find("/no/such/dir/hook.so"), std::string::npos);
  EXPECT_TRUE(engine.HookLibraries().empty());
}

}  // namespace
}  // namespace quenza::test
