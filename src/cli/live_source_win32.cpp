#include "cli/live_source_win32.h"

#include <windows.h>

#include "registry/live_store_win32.h"

namespace torvane::cli {

namespace {

class LiveSource final : public Source {
 public:
  LiveSource() {
    label_ = "--live";
    char directory[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryA(directory, MAX_PATH);
    Profile profile;
    profile.store = &store_;
    profile.target = &store_;
    profile.system_directory = length > 0 && length < MAX_PATH ? directory : "C:\\WINDOWS\\system32";
    profiles_.push_back(profile);
  }

 private:
  registry::LiveStore store_;
};

}  // namespace

std::unique_ptr<Source> OpenLiveSource() { return std::make_unique<LiveSource>(); }

}  // namespace torvane::cli
