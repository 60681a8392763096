#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace tessvark::testing {

// A fresh private folder under the system's temporary folder (mode 0700, from mkdtemp), removed with
// everything in it when the test ends; `name` goes into the folder's name, so that a folder left
// by a killed test tells whose it was. Throws when no folder can be made, so that a test never
// writes beside an empty path.
class TempFolder {
 public:
  explicit TempFolder(const std::string& name = "test") {
    std::string pattern =
        (std::filesystem::temp_directory_path() / ("tessvark-" + name + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    // A test may have taken its own rights away from the folder; it goes all the same.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string Join(const std::string& name) const { return path_ + "/" + name; }
  std::filesystem::path operator/(const std::string& name) const { return std::filesystem::path(path_) / name; }

 private:
  std::string path_;
};

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace tessvark::testing
