#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace tessvark {

// A fresh folder under the system's temporary folder, removed with everything in it afterwards.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessvark-settings-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline void WriteText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("test file could not be written: " + path.string());
}

inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("test file could not be read: " + path.string());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The names in a folder, sorted.
inline std::set<std::string> FolderNames(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// A regular file that opens but whose bytes cannot be read: a link to the reading process's own
// memory, whose first page is never mapped. (Tests may run as root, for whom permission bits do
// not make a file unreadable.)
inline void MakeUnreadableFile(const std::filesystem::path& path) {
  std::filesystem::create_symlink("/proc/self/mem", path);
}

}  // namespace tessvark
