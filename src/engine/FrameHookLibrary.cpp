#include "engine/FrameHookLibrary.h"

#include <dlfcn.h>

#include <map>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace quenza {

namespace {

std::vector<std::string> SplitHookArguments(const std::string& value) {
  const char sep = value.find('|') != std::string::npos ? '|' : ' ';
  std::vector<std::string> args;
  std::string cur;
  for (char c : value) {
    if (c == sep) {
      if (!cur.empty()) args.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) args.push_back(cur);
  return args;
}

// Loaded hook modules, shared by every engine; a module is closed when its last hook
// is released.
std::shared_ptr<void> OpenModule(const std::string& file) {
  static std::mutex lock;
  static std::map<std::string, std::weak_ptr<void>> modules;
  std::lock_guard<std::mutex> guard(lock);
  if (auto existing = modules[file].lock()) return existing;
  void* h = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    const char* err = dlerror();
    av_log(nullptr, AV_LOG_ERROR, "%s\n", err ? err : "cannot load library");
    return nullptr;
  }
  std::shared_ptr<void> module(h, [](void* p) { dlclose(p); });
  modules[file] = module;
  return module;
}

}  // namespace

std::shared_ptr<TFrameHookLibrary> TFrameHookLibrary::Add(const std::string& value) {
  std::vector<std::string> args = SplitHookArguments(value);
  if (args.empty()) return nullptr;
  std::shared_ptr<void> module = OpenModule(args[0]);
  if (!module) return nullptr;

  auto process = reinterpret_cast<TFrameHookProcess>(dlsym(module.get(), "Process"));
  if (!process) {
    av_log(nullptr, AV_LOG_ERROR, "Failed to find Process entrypoint in %s\n", args[0].c_str());
    return nullptr;
  }
  auto configure = reinterpret_cast<TFrameHookConfigure>(dlsym(module.get(), "Configure"));
  if (!configure && args.size() > 1) {
    av_log(nullptr, AV_LOG_ERROR, "Failed to find Configure entrypoint in %s\n", args[0].c_str());
    return nullptr;
  }

  std::shared_ptr<TFrameHookLibrary> hook(new TFrameHookLibrary());
  hook->module_ = std::move(module);
  hook->process_ = process;
  hook->release_ = reinterpret_cast<TFrameHookRelease>(dlsym(hook->module_.get(), "Release"));
  hook->args_ = args;
  if (configure) {
    std::vector<char*> argv;
    for (std::string& a : hook->args_) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (configure(&hook->ctx_, static_cast<int>(hook->args_.size()), argv.data()) != 0) {
      av_log(nullptr, AV_LOG_ERROR, "Failed to Configure %s\n", args[0].c_str());
      // A failed Configure leaves no context to release.
      hook->release_ = nullptr;
      return nullptr;
    }
  }
  return hook;
}

TFrameHookLibrary::~TFrameHookLibrary() {
  if (release_) release_(ctx_);
}

}  // namespace quenza
