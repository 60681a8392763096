#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <set>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/temp_folder.h"

namespace tessvark {

using testing::TempFolder;

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
