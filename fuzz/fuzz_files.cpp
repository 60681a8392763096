#include "fuzz/fuzz_files.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "platform/data_folder.h"
#include "platform/private_temp_folder.h"

namespace tessvark::fuzz {
namespace {

std::filesystem::path MakeFolder() {
  const std::string made = MakePrivateFolder(SystemTempFolder(ReadProcessEnvironment), "tessvark-fuzz-");
  if (made.empty()) {
    std::fprintf(stderr, "no private folder for the fuzzing inputs\n");
    std::abort();
  }
  return made;
}

}  // namespace

const std::filesystem::path& FuzzFolder() {
  static const std::filesystem::path folder = [] {
    std::filesystem::path made = MakeFolder();
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(FuzzFolder(), ignored);
    });
    return made;
  }();
  return folder;
}

std::filesystem::path WriteInputFile(const std::string& name, std::string_view data) {
  const std::filesystem::path path = FuzzFolder() / name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out.flush()) {
    std::fprintf(stderr, "could not write %s\n", path.c_str());
    std::abort();
  }
  return path;
}

void EmptyFuzzFolder() {
  for (const auto& entry : std::filesystem::directory_iterator(FuzzFolder())) {
    std::filesystem::remove_all(entry.path());
  }
}

}  // namespace tessvark::fuzz
