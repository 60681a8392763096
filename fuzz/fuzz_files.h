#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tessvark::fuzz {

// The fuzzing process's own folder (mode 0700, made on first use, removed at exit), where the
// targets whose readers take a path put each input as a file.
const std::filesystem::path& FuzzFolder();

// Writes `data` as the file `name` in that folder, replacing an earlier one; returns its path.
std::filesystem::path WriteInputFile(const std::string& name, std::string_view data);

// Removes everything in the folder, so that no file of one input is seen by the next.
void EmptyFuzzFolder();

}  // namespace tessvark::fuzz
