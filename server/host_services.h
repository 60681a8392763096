#pragma once

#include <functional>
#include <string>

namespace tessvark {

// The desktop host's updater as the update routes reach it. While a function is missing its
// route answers as a function this build does not serve.
struct UpdateServices {
  std::function<void()> start_check;
  std::function<bool()> configured;      // false for a build with no update server or key
  std::function<std::string()> status_json;
  std::function<bool()> start_download;  // true when a download was started
  std::function<bool()> install;         // true when the installer was started
};

// The system-resource sampler as its routes reach it: one sample written as the routes' JSON
// document, and the release of the sampler's counters.
struct ResourceServices {
  std::function<std::string()> sample_json;
  std::function<void()> release;
};

}  // namespace tessvark
