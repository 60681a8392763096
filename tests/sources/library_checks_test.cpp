// The checks made on a vendor library before it is loaded, which load nothing themselves: the ELF
// reader, the file-trust rule, where the NDI runtime is looked for and trusted, the verification
// of the OMT libraries, and the conversion of OMT pictures.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>

#include <opencv2/imgproc.hpp>

#include "platform/elf_image.h"
#include "platform/file_trust.h"
#include "sources/ndi_library.h"
#include "sources/omt_library.h"
#include "sources/sdk_omt_runtime.h"
#include "stand_in_fixture.h"
#include "tests/support/temp_folder.h"

namespace tessvark {
namespace {

namespace fs = std::filesystem;
using testing::StandInPath;
using testing::TempFolder;

// ---- ELF images ----

// What a synthetic shared object looks like: one loaded segment over the whole file, a dynamic
// segment with the DT_NEEDED entries, and the string table; each field can be spoiled.
struct ElfSpec {
  std::vector<std::string> needed = {};
  std::string soname = {};             // empty: none
  std::uint64_t soname_at = 0;         // 0: where it is; else its entry points this far in
  std::uint8_t elf_class = 2;
  std::uint16_t type = 3;
  std::uint16_t machine = 62;
  bool has_dynamic = true;
  std::uint64_t program_headers_at = 64;
  std::uint64_t dynamic_at = 0;        // 0: where it is
  std::uint64_t strings_address = 0;   // 0: where they are loaded
  std::uint64_t extra_name_offset = 0; // a DT_NEEDED entry pointing this far into the strings
  std::size_t cut_to = 0;              // 0: whole
};

template <typename T>
void Put(std::vector<std::uint8_t>& bytes, std::size_t at, T value) {
  if (bytes.size() < at + sizeof(T)) bytes.resize(at + sizeof(T));
  std::memcpy(bytes.data() + at, &value, sizeof(T));
}

std::vector<std::uint8_t> BuildElf(const ElfSpec& spec) {
  constexpr std::uint64_t kBase = 0x400000;
  std::string strings(1, '\0');
  std::vector<std::uint64_t> offsets;
  for (const std::string& name : spec.needed) {
    offsets.push_back(strings.size());
    strings += name + '\0';
  }
  if (spec.extra_name_offset != 0) offsets.push_back(spec.extra_name_offset);
  const std::uint64_t soname_offset = strings.size();
  if (!spec.soname.empty()) strings += spec.soname + '\0';
  const std::uint64_t dynamic = 64 + 2 * 56;
  // needed..., SONAME, STRTAB, STRSZ, NULL
  const std::uint64_t entries = offsets.size() + (spec.soname.empty() ? 0 : 1) + 3;
  const std::uint64_t strings_at = dynamic + entries * 16;
  const std::uint64_t size = strings_at + strings.size();

  std::vector<std::uint8_t> bytes(size, 0);
  const std::uint8_t ident[] = {0x7F, 'E', 'L', 'F', spec.elf_class, 1, 1};
  std::memcpy(bytes.data(), ident, sizeof ident);
  Put<std::uint16_t>(bytes, 16, spec.type);
  Put<std::uint16_t>(bytes, 18, spec.machine);
  Put<std::uint64_t>(bytes, 32, spec.program_headers_at);
  Put<std::uint16_t>(bytes, 54, 56);
  Put<std::uint16_t>(bytes, 56, 2);
  // PT_LOAD: the whole file at kBase.
  Put<std::uint32_t>(bytes, 64, 1);
  Put<std::uint64_t>(bytes, 64 + 8, 0);
  Put<std::uint64_t>(bytes, 64 + 16, kBase);
  Put<std::uint64_t>(bytes, 64 + 32, size);
  Put<std::uint64_t>(bytes, 64 + 40, size);
  // PT_DYNAMIC (or an unused entry).
  Put<std::uint32_t>(bytes, 120, spec.has_dynamic ? 2 : 0);
  Put<std::uint64_t>(bytes, 120 + 8, spec.dynamic_at != 0 ? spec.dynamic_at : dynamic);
  Put<std::uint64_t>(bytes, 120 + 16, kBase + dynamic);
  Put<std::uint64_t>(bytes, 120 + 32, entries * 16);
  std::uint64_t at = dynamic;
  for (const std::uint64_t offset : offsets) {
    Put<std::int64_t>(bytes, at, 1);
    Put<std::uint64_t>(bytes, at + 8, offset);
    at += 16;
  }
  if (!spec.soname.empty()) {
    Put<std::int64_t>(bytes, at, 14);
    Put<std::uint64_t>(bytes, at + 8, spec.soname_at != 0 ? spec.soname_at : soname_offset);
    at += 16;
  }
  Put<std::int64_t>(bytes, at, 5);
  Put<std::uint64_t>(bytes, at + 8, spec.strings_address != 0 ? spec.strings_address : kBase + strings_at);
  Put<std::int64_t>(bytes, at + 16, 10);
  Put<std::uint64_t>(bytes, at + 24, strings.size());
  std::memcpy(bytes.data() + strings_at, strings.data(), strings.size());
  if (spec.cut_to != 0) bytes.resize(spec.cut_to);
  return bytes;
}

struct ElfCase {
  const char* name;
  ElfSpec spec;
  ElfDependencyStatus status;
  std::vector<std::string> needed;
};

TEST(ElfImage, DependenciesOfSharedObjectsAndTheirFaults) {
  const std::vector<std::string> two = {"libc.so.6", "libvmx.so"};
  const ElfCase cases[] = {
      {"two dependencies", {two}, ElfDependencyStatus::kRead, two},
      {"no dynamic segment", {.needed = two, .has_dynamic = false}, ElfDependencyStatus::kRead, {}},
      {"a 32-bit file", {.needed = two, .elf_class = 1}, ElfDependencyStatus::kNotSharedObject, {}},
      {"a program, not a library", {.needed = two, .type = 2}, ElfDependencyStatus::kNotSharedObject, {}},
      {"another machine", {.needed = two, .machine = 183}, ElfDependencyStatus::kNotSharedObject, {}},
      {"shorter than a header", {.needed = two, .cut_to = 63}, ElfDependencyStatus::kNotSharedObject, {}},
      {"program headers past the end", {.needed = two, .program_headers_at = 1 << 20},
       ElfDependencyStatus::kNotSharedObject, {}},
      {"program headers at an overflowing offset", {.needed = two, .program_headers_at = ~0ull - 8},
       ElfDependencyStatus::kNotSharedObject, {}},
      {"dynamic segment past the end", {.needed = two, .dynamic_at = 1 << 20},
       ElfDependencyStatus::kUnreadable, {}},
      {"strings at an address nothing loads", {.needed = two, .strings_address = 0x10},
       ElfDependencyStatus::kUnreadable, {}},
      {"a name past the strings", {.needed = two, .extra_name_offset = 4096},
       ElfDependencyStatus::kUnreadable, {}},
  };
  for (const ElfCase& c : cases) {
    SCOPED_TRACE(c.name);
    const ElfDependencies result = ReadElfDependencies(BuildElf(c.spec), 128);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.needed, c.needed);
  }
}

// Every name is read whole, however many there are; one that cannot be makes the list unreadable
// instead of shorter.
TEST(ElfImage, EveryNameIsReadWholeOrTheListIsUnreadable) {
  ElfSpec spec;
  for (int i = 0; i < 70; ++i) spec.needed.push_back("lib" + std::to_string(i) + ".so");
  spec.soname = "libitself.so";
  ElfDependencies result = ReadElfDependencies(BuildElf(spec), 128);
  ASSERT_EQ(result.status, ElfDependencyStatus::kRead);
  ASSERT_EQ(result.needed.size(), 70u);
  EXPECT_EQ(result.needed.back(), "lib69.so");
  EXPECT_EQ(result.soname, "libitself.so");

  struct Case {
    const char* what;
    ElfSpec spec;
  };
  const Case cases[] = {
      {"a name longer than the limit", {.needed = {"libc.so.6", std::string(129, 'x')}}},
      {"a name without its end in the file", [] {
         ElfSpec cut;
         cut.needed = {"libc.so.6", "libcut.so"};
         cut.cut_to = BuildElf(cut).size() - 1;  // the last name's zero byte
         return cut;
       }()},
      {"its own name past the strings",
       {.needed = {"libc.so.6"}, .soname = "libitself.so", .soname_at = 1 << 20}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    result = ReadElfDependencies(BuildElf(c.spec), 128);
    EXPECT_EQ(result.status, ElfDependencyStatus::kUnreadable);
    EXPECT_TRUE(result.needed.empty());
  }
  spec.needed = {std::string(128, 'y')};
  result = ReadElfDependencies(BuildElf(spec), 128);
  ASSERT_EQ(result.status, ElfDependencyStatus::kRead);
  EXPECT_EQ(result.needed[0], std::string(128, 'y'));
}

TEST(ElfImage, OurBuiltStandInNamesItselfItsPartnerAndTheSystemLibraries) {
  const std::vector<std::uint8_t> bytes = testing::ReadBytes(StandInPath("omt/libomt.so"));
  ASSERT_TRUE(IsElf64X86SharedObject(bytes));
  const ElfDependencies result = ReadElfDependencies(bytes, 128);
  ASSERT_EQ(result.status, ElfDependencyStatus::kRead);
  EXPECT_EQ(result.soname, "libomt.so");
  EXPECT_NE(std::find(result.needed.begin(), result.needed.end(), "libvmx.so"), result.needed.end());
  EXPECT_NE(std::find(result.needed.begin(), result.needed.end(), "libc.so.6"), result.needed.end());
  for (const std::string& name : result.needed) {
    EXPECT_TRUE(IsSystemOmtDependency(name) || name == "libvmx.so") << name;
  }
}

// ---- File trust ----

TEST(FileTrust, OwnerAndWritersDecide) {
  struct Case {
    uid_t owner;
    mode_t mode;
    FileTrust file;
    FileTrust folder;
  };
  const uid_t me = 1000;
  const Case cases[] = {
      {0, S_IFREG | 0755, FileTrust::kTrusted, FileTrust::kUnreadable},
      {me, S_IFREG | 0644, FileTrust::kTrusted, FileTrust::kUnreadable},
      {me, S_IFREG | 0700, FileTrust::kTrusted, FileTrust::kUnreadable},
      {1001, S_IFREG | 0755, FileTrust::kForeignOwner, FileTrust::kUnreadable},
      {0, S_IFREG | 0775, FileTrust::kWritableByOthers, FileTrust::kUnreadable},
      {me, S_IFREG | 0646, FileTrust::kWritableByOthers, FileTrust::kUnreadable},
      {me, S_IFREG | S_ISVTX | 0666, FileTrust::kWritableByOthers, FileTrust::kUnreadable},
      {0, S_IFDIR | 0755, FileTrust::kUnreadable, FileTrust::kTrusted},
      {me, S_IFDIR | 0700, FileTrust::kUnreadable, FileTrust::kTrusted},
      {1001, S_IFDIR | 0755, FileTrust::kUnreadable, FileTrust::kForeignOwner},
      {0, S_IFDIR | 0777, FileTrust::kUnreadable, FileTrust::kWritableByOthers},
      {me, S_IFDIR | 0775, FileTrust::kUnreadable, FileTrust::kWritableByOthers},
      {0, S_IFDIR | S_ISVTX | 0777, FileTrust::kUnreadable, FileTrust::kTrusted},  // as /tmp
      {1001, S_IFDIR | S_ISVTX | 0777, FileTrust::kUnreadable, FileTrust::kForeignOwner},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.owner) + " " + ModeDigits(c.mode));
    EXPECT_EQ(FileTrustOf(c.owner, c.mode, me), c.file);
    EXPECT_EQ(FolderTrustOf(c.owner, c.mode, me), c.folder);
  }
}

// The file and every folder on its way are judged as they were opened, nearest first.
TEST(FileTrust, OpensWithoutLinksAndJudgesTheFileThenItsFolders) {
  TempFolder folder;
  const fs::path base = fs::canonical(folder.path());
  const fs::path inner = base / "a" / "b";
  fs::create_directories(inner);
  const fs::path file = inner / "library.so";
  testing::WriteBytes(file, {1, 2, 3});
  fs::permissions(file, fs::perms(0644));

  OpenedFile opened = OpenFileWithoutLinks(file.string());
  ASSERT_TRUE(opened.fd.valid());
  EXPECT_EQ(opened.folders.front().path, "/");
  EXPECT_EQ(opened.folders.back().path, inner.string());
  EXPECT_EQ(JudgeOpenedFile(opened, geteuid()).trust, FileTrust::kTrusted);

  struct Case {
    const char* what;
    fs::perms file_mode;
    fs::perms a_mode;
    FileTrust trust;
    fs::path where;
  };
  const Case cases[] = {
      {"the file writable by its group", fs::perms(0664), fs::perms(0755),
       FileTrust::kWritableByOthers, file},
      {"a folder above it writable by all", fs::perms(0644), fs::perms(0777),
       FileTrust::kWritableByOthers, base / "a"},
      {"a folder above it writable by all, sticky", fs::perms(0644), fs::perms(01777),
       FileTrust::kTrusted, fs::path()},
      {"both: the file is named first", fs::perms(0666), fs::perms(0777),
       FileTrust::kWritableByOthers, file},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::permissions(file, c.file_mode);
    fs::permissions(base / "a", c.a_mode);
    opened = OpenFileWithoutLinks(file.string());
    ASSERT_TRUE(opened.fd.valid());
    const TrustVerdict verdict = JudgeOpenedFile(opened, geteuid());
    EXPECT_EQ(verdict.trust, c.trust);
    EXPECT_EQ(verdict.where, c.where.string());
  }
  fs::permissions(base / "a", fs::perms(0755));

  // A link anywhere on the way, a missing part and something not a file do not open.
  fs::create_directory_symlink(inner, base / "link");
  EXPECT_EQ(OpenFileWithoutLinks((base / "link" / "library.so").string()).failure,
            OpenFileFailure::kLink);
  fs::create_symlink(file, inner / "file-link.so");
  EXPECT_EQ(OpenFileWithoutLinks((inner / "file-link.so").string()).failure, OpenFileFailure::kLink);
  EXPECT_EQ(OpenFileWithoutLinks((inner / "missing.so").string()).failure, OpenFileFailure::kMissing);
  EXPECT_EQ(OpenFileWithoutLinks(inner.string()).failure, OpenFileFailure::kNotRegular);
  EXPECT_EQ(OpenFileWithoutLinks((base / "a" / ".." / "a" / "b" / "library.so").string()).failure,
            OpenFileFailure::kLink);
  EXPECT_FALSE(OpenFileWithoutLinks("library.so").fd.valid());
}

// What the operator reads when the NDI runtime is refused for its owner, mode or folder.
TEST(FileTrust, NdiRefusalsSayWhatIsWrongAndWhere) {
  struct Case {
    TrustVerdict verdict;
    const char* message;
  };
  const Case cases[] = {
      {{FileTrust::kWritableByOthers, "/opt/ndi/libndi.so.6", false, 0, S_IFREG | 0664},
       "The NDI runtime \"/opt/ndi/libndi.so.6\" can be changed by other users (mode 664). "
       "Tessvark did not load it."},
      {{FileTrust::kForeignOwner, "/home/guest/ndi/libndi.so.6", false, 4000123, S_IFREG | 0644},
       "The NDI runtime \"/home/guest/ndi/libndi.so.6\" belongs to the user 4000123, not to root "
       "or to you. Tessvark did not load it."},
      {{FileTrust::kWritableByOthers, "/opt/ndi", true, 0, S_IFDIR | 0777},
       "The folder \"/opt/ndi\" of the NDI runtime can be changed by other users (mode 777). "
       "Tessvark did not load it."},
      {{FileTrust::kForeignOwner, "/home/guest", true, 4000123, S_IFDIR | 0755},
       "The folder \"/home/guest\" of the NDI runtime belongs to the user 4000123, not to root or "
       "to you. Tessvark did not load it."},
      {{FileTrust::kUnreadable, "/opt/ndi/libndi.so.6", false, 0, 0},
       "The NDI runtime \"/opt/ndi/libndi.so.6\" could not be read. Tessvark did not load it."},
      {{FileTrust::kTrusted, "", false, 0, 0}, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(NdiTrustRefusal(c.verdict), c.message);
}

// ---- Where the NDI runtime is looked for ----

class NdiSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* value = std::getenv("NDI_RUNTIME_DIR_V6")) saved_ = value;
  }
  void TearDown() override {
    if (saved_) {
      setenv("NDI_RUNTIME_DIR_V6", saved_->c_str(), 1);
    } else {
      unsetenv("NDI_RUNTIME_DIR_V6");
    }
  }
  static void SetFolder(const char* value) {
    if (value == nullptr) {
      unsetenv("NDI_RUNTIME_DIR_V6");
    } else {
      setenv("NDI_RUNTIME_DIR_V6", value, 1);
    }
  }

 private:
  std::optional<std::string> saved_;
};

TEST_F(NdiSearchTest, CandidatesComeFromTheStandardFoldersThenTheVariable) {
  NdiLibrarySearch search;
  SetFolder("/opt/ndi/lib");
  EXPECT_EQ(NdiLibraryCandidates(search),
            (std::vector<std::string>{"/usr/lib/x86_64-linux-gnu/libndi.so.6", "/usr/lib/libndi.so.6",
                                      "/usr/local/lib/libndi.so.6", "/opt/ndi/lib/libndi.so.6"}));
  search.standard_folders = {"/a", ""};
  for (const char* value : {static_cast<const char*>(nullptr), "", "/opt/ndi/../etc"}) {
    SetFolder(value);
    EXPECT_EQ(NdiLibraryCandidates(search), std::vector<std::string>{"/a/libndi.so.6"})
        << (value == nullptr ? "unset" : value);
  }
}

TEST_F(NdiSearchTest, TrustedPathsLieUnderAStandardFolderOrTheVariablesFolder) {
  NdiLibrarySearch search;
  search.standard_folders = {"/usr/lib"};
  struct Case {
    const char* variable;
    const char* path;
    bool trusted;
  };
  const Case cases[] = {
      {nullptr, "/usr/lib/libndi.so.6", true},
      {nullptr, "/usr/lib/x86_64-linux-gnu/libndi.so.6.1.0", true},
      {nullptr, "/usr/lib64/libndi.so.6", false},       // beside the folder, not in it
      {nullptr, "/usr/lib/libndi.so.60", false},        // another library
      {nullptr, "/usr/lib/libndi.so.5", false},
      {nullptr, "/usr/lib/evil/../libndi.so.6", false},
      {nullptr, "", false},
      {"/opt/ndi/", "/opt/ndi/libndi.so.6", true},
      {"/opt/ndi", "/opt/ndi/sub/libndi.so.6", true},
      {"/opt/ndi", "/opt/ndi2/libndi.so.6", false},
      {"opt/ndi", "/opt/ndi/libndi.so.6", false},       // a relative folder is never trusted
      {"/opt/x/../ndi", "/opt/ndi/libndi.so.6", false},
      {"", "/opt/ndi/libndi.so.6", false},
  };
  for (const Case& c : cases) {
    SetFolder(c.variable);
    EXPECT_EQ(IsTrustedNdiRuntimePath(c.path, search), c.trusted)
        << (c.variable == nullptr ? "unset" : c.variable) << " " << c.path;
  }
}

TEST_F(NdiSearchTest, ACandidateCountsWhereItsLinksLead) {
  TempFolder folder;
  const fs::path trusted = folder / "lib";
  fs::create_directories(trusted);
  fs::create_directories(folder / "outside");
  testing::WriteBytes(folder / "outside/libndi.so.6", {1});
  testing::WriteBytes(trusted / "libndi.so.6.2.0", {1});
  fs::create_directories(trusted / "folder-named-like-it/libndi.so.6");
  NdiLibrarySearch search;
  search.standard_folders = {trusted.string()};
  SetFolder(nullptr);

  fs::create_symlink(trusted / "libndi.so.6.2.0", trusted / "libndi.so.6");
  EXPECT_EQ(CanonicalTrustedNdiPath((trusted / "libndi.so.6").string(), search),
            fs::canonical(trusted / "libndi.so.6.2.0").string());
  fs::remove(trusted / "libndi.so.6");
  fs::create_symlink(folder / "outside/libndi.so.6", trusted / "libndi.so.6");
  EXPECT_EQ(CanonicalTrustedNdiPath((trusted / "libndi.so.6").string(), search), "");
  EXPECT_EQ(CanonicalTrustedNdiPath((trusted / "folder-named-like-it/libndi.so.6").string(), search), "");
  EXPECT_EQ(CanonicalTrustedNdiPath((trusted / "missing/libndi.so.6").string(), search), "");
}

// ---- The OMT libraries beside the program ----

struct VerifyCase {
  const char* name;
  // Changes the installed "libomt.so" (or its folder) and says whether the pin follows the change.
  std::function<bool(const fs::path& program, const fs::path& elsewhere)> arrange;
  const char* message;  // empty: accepted
};

// Both stand-ins beside a program, each pinned as it lies there after `arrange`.
OmtLibrarySetup PinnedStandIns(const fs::path& program, const VerifyCase& c,
                               const fs::path& elsewhere) {
  testing::CopyFileWithMode(StandInPath("omt/libvmx.so"), program / "libvmx.so");
  testing::CopyFileWithMode(StandInPath("omt/libomt.so"), program / "libomt.so");
  OmtLibrarySetup setup{program.string(),
                        {{"libvmx.so", testing::Sha256OfFile(program / "libvmx.so")},
                         {"libomt.so", testing::Sha256OfFile(program / "libomt.so")}},
                        "v-test"};
  if (c.arrange(program, elsewhere)) setup.pins[1].sha256 = testing::Sha256OfFile(program / "libomt.so");
  return setup;
}

TEST(OmtLibraryVerification, EachCheckRefusesWithItsMessage) {
  const auto patch = [](const fs::path& file, std::size_t at, std::uint8_t value) {
    std::vector<std::uint8_t> bytes = testing::ReadBytes(file);
    bytes[at] = value;
    testing::WriteBytes(file, bytes);
  };
  const std::vector<VerifyCase> cases = {
      {"the approved copy", [](const fs::path&, const fs::path&) { return true; }, ""},
      {"missing", [](const fs::path& program, const fs::path&) {
         fs::remove(program / "libomt.so");
         return false;
       }, testing::kOmtAbsent},
      {"empty", [](const fs::path& program, const fs::path&) {
         testing::WriteBytes(program / "libomt.so", {});
         return true;
       }, "The OMT runtime size is not acceptable. Tessvark did not load it."},
      {"larger than 64 MiB", [](const fs::path& program, const fs::path&) {
         fs::resize_file(program / "libomt.so", kMaxOmtLibraryBytes + 1);
         return false;
       }, "The OMT runtime size is not acceptable. Tessvark did not load it."},
      {"one byte changed", [patch](const fs::path& program, const fs::path&) {
         patch(program / "libomt.so", 200, 0x5A);
         return false;
       }, "The OMT runtime hash does not match the approved v-test library. Tessvark did not load it."},
      {"a link to a copy in another folder", [](const fs::path& program, const fs::path& elsewhere) {
         fs::rename(program / "libomt.so", elsewhere / "libomt.so");
         fs::create_symlink(elsewhere / "libomt.so", program / "libomt.so");
         return false;
       }, "The OMT runtime is not the approved copy beside Tessvark. Tessvark did not load it."},
      {"a link to a copy of another name beside it", [](const fs::path& program, const fs::path&) {
         fs::rename(program / "libomt.so", program / "libomt.so.1");
         fs::create_symlink(program / "libomt.so.1", program / "libomt.so");
         return false;
       }, "The OMT runtime is not the approved copy beside Tessvark. Tessvark did not load it."},
      {"a library of another machine", [patch](const fs::path& program, const fs::path&) {
         patch(program / "libomt.so", 18, 183);  // e_machine: AArch64
         return true;
       }, "The OMT runtime is not a 64-bit Linux library. Tessvark did not load it."},
      {"a library naming an unexpected dependency", [](const fs::path& program, const fs::path&) {
         testing::PatchBytes(program / "libomt.so", "libvmx.so", "libvmz.so");
         return true;
       }, "The OMT runtime imports an unexpected library. Tessvark did not load it."},
  };
  for (const VerifyCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    const fs::path program = folder / "program";
    const fs::path elsewhere = folder / "elsewhere";
    fs::create_directories(elsewhere);
    OmtLibrarySetup setup = PinnedStandIns(program, c, elsewhere);
    std::vector<CheckedOmtLibrary> checked;
    std::string message;
    EXPECT_EQ(VerifyOmtLibraries(setup, checked, message), *c.message == '\0');
    EXPECT_EQ(message, testing::ExpectedOmtRefusal(c.message, program));
    // The folder may be given with a trailing separator.
    if (*c.message == '\0') {
      setup.folder += "/";
      EXPECT_TRUE(VerifyOmtLibraries(setup, checked, message)) << message;
      ASSERT_EQ(checked.size(), 2u);
      EXPECT_TRUE(checked[0].file.valid());
    }
  }
}

// Dependencies: a list read whole, however long, and every library that is not the system's is
// one of the pinned files, which are put in the order they need each other in.
TEST(OmtLibraryVerification, EveryDependencyIsTheSystemsOrPinned) {
  std::vector<std::string> many = {"libc.so.6"};
  for (int i = 0; i < 63; ++i) many.push_back("libm.so.6");
  many.push_back("libunlisted.so");  // the 65th
  struct Library {
    std::string file_name;
    ElfSpec spec;
  };
  struct Case {
    const char* what;
    std::vector<Library> libraries;  // in table order
    const char* message;             // empty: accepted
    std::vector<std::string> order;  // the load order when accepted
  };
  const std::vector<Case> cases = {
      {"an unlisted library after 64 listed ones",
       {{"libomt.so", {.needed = many, .soname = "libomt.so"}}},
       "The OMT runtime imports an unexpected library. Tessvark did not load it.", {}},
      {"a partner library that is not pinned",
       {{"libvmx.so", {.needed = {"libc.so.6"}, .soname = "libvmx.so"}},
        {"libomt.so", {.needed = {"libvmx.so", "libomtnet.so"}, .soname = "libomt.so"}}},
       "The OMT runtime imports an unexpected library. Tessvark did not load it.", {}},
      {"a pinned partner that does not carry the name it is needed by",
       {{"libvmx.so", {.needed = {"libc.so.6"}}},
        {"libomt.so", {.needed = {"libvmx.so"}, .soname = "libomt.so"}}},
       "The OMT runtime imports an unexpected library. Tessvark did not load it.", {}},
      {"a list whose last name does not end",
       {{"libomt.so", {.needed = {"libc.so.6", std::string(200, 'z')}, .soname = "libomt.so"}}},
       "The OMT runtime imports could not be read. Tessvark did not load it.", {}},
      {"pinned partners, loaded after what they need",
       {{"libomt.so", {.needed = {"libvmx.so", "libomtnet.so"}, .soname = "libomt.so"}},
        {"libvmx.so", {.needed = {"libc.so.6", "libomtnet.so"}, .soname = "libvmx.so"}},
        {"libomtnet.so", {.needed = {"libc.so.6"}, .soname = "libomtnet.so"}}},
       "", {"libomtnet.so", "libvmx.so", "libomt.so"}},
      {"partners that need each other",
       {{"libvmx.so", {.needed = {"libomt.so"}, .soname = "libvmx.so"}},
        {"libomt.so", {.needed = {"libvmx.so"}, .soname = "libomt.so"}}},
       "The OMT runtime imports an unexpected library. Tessvark did not load it.", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder folder;
    OmtLibrarySetup setup{folder.path(), {}, "v-test"};
    for (const Library& library : c.libraries) {
      const fs::path file = folder / library.file_name;
      testing::WriteBytes(file, BuildElf(library.spec));
      setup.pins.push_back({library.file_name, testing::Sha256OfFile(file)});
    }
    std::vector<CheckedOmtLibrary> checked;
    std::string message;
    EXPECT_EQ(VerifyOmtLibraries(setup, checked, message), *c.message == '\0');
    EXPECT_EQ(message, c.message);
    std::vector<std::string> order;
    for (const CheckedOmtLibrary& library : checked) order.push_back(library.file_name);
    if (*c.message == '\0') {
      EXPECT_EQ(order, c.order);
    }
  }
}

TEST(OmtLibraryVerification, TheBuildTimeTableNamesBothFilesBesideTheProgram) {
  const OmtLibrarySetup setup = DefaultOmtLibrarySetup();
  // A build that pins no third library.
  ASSERT_EQ(setup.pins.size(), 2u);
  EXPECT_EQ(setup.pins[0].file_name, "libvmx.so");
  EXPECT_EQ(setup.pins[1].file_name, "libomt.so");
  EXPECT_EQ(setup.folder, fs::canonical("/proc/self/exe").parent_path().string());
  EXPECT_FALSE(setup.release.empty());
}

// ---- OMT pictures ----

struct ConversionCase {
  const char* name;
  std::uint32_t format;
  std::int32_t width;
  std::int32_t height;
  std::int32_t stride;
  std::int64_t data_length;  // also the bytes provided
  bool converted;
};

TEST(OmtPicture, LayoutsAndLengthsDecideTheConversion) {
  const ConversionCase cases[] = {
      {"UYVY 1080p, rows packed", omt::kFormatUyvy, 1920, 1080, 0, 4147200, true},
      {"UYVY 1080p, one byte short", omt::kFormatUyvy, 1920, 1080, 0, 4147199, false},
      {"UYVY rows shorter than the width", omt::kFormatUyvy, 16, 4, 30, 30 * 4, false},
      {"UYVY padded rows", omt::kFormatUyvy, 16, 4, 40, 40 * 4, true},
      {"BGRX stride not given", omt::kFormatBgrx, 16, 4, -1, 16 * 4 * 4, true},
      {"BGRA beyond its data", omt::kFormatBgra, 16, 4, 0, 16 * 4 * 4 - 1, false},
      {"BGRA no data length", omt::kFormatBgra, 16, 4, 0, 0, false},
      {"BGRA stride past the limit", omt::kFormatBgra, 16, 4, 34817, 34817 * 4, false},
      {"width 0", omt::kFormatBgra, 0, 4, 0, 64, false},
      {"height past 4320", omt::kFormatUyvy, 2, 4321, 0, 4 * 4321, false},
      {"another format", FourCc('N', 'V', '1', '2'), 16, 4, 0, 16 * 4 * 4, false},
  };
  for (const ConversionCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::uint8_t> data(static_cast<std::size_t>(std::max<std::int64_t>(c.data_length, 1)), 128);
    cv::Mat image(2, 2, CV_8UC3);  // whatever it held goes
    EXPECT_EQ(ConvertOmtPicture(c.format, c.width, c.height, c.stride,
                                static_cast<std::int32_t>(c.data_length), data.data(), image),
              c.converted);
    if (c.converted) {
      EXPECT_EQ(image.type(), CV_8UC3);
      EXPECT_EQ(image.cols, c.width);
      EXPECT_EQ(image.rows, c.height);
      EXPECT_TRUE(image.isContinuous());
    } else {
      EXPECT_TRUE(image.empty());
    }
  }
  cv::Mat image;
  EXPECT_FALSE(ConvertOmtPicture(omt::kFormatBgra, 2, 2, 0, 16, nullptr, image));
}

TEST(OmtPicture, UyvyCarriesColourIntoTheRightChannels) {
  // One row of two pixels each: blue-ish (U high), red-ish (V high), white and black.
  struct Case {
    std::uint8_t u, y, v;
    int strongest;  // channel index in BGR; -1: grey
    int level;      // expected grey level for grey pixels
  };
  const Case cases[] = {{255, 100, 128, 0, 0}, {128, 100, 255, 2, 0}, {128, 235, 128, -1, 255},
                        {128, 16, 128, -1, 0}};
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> data = {c.u, c.y, c.v, c.y};
    cv::Mat image;
    ASSERT_TRUE(ConvertOmtPicture(omt::kFormatUyvy, 2, 1, 0, 4, data.data(), image));
    const cv::Vec3b pixel = image.at<cv::Vec3b>(0, 1);
    if (c.strongest < 0) {
      for (int channel = 0; channel < 3; ++channel) EXPECT_NEAR(pixel[channel], c.level, 3);
    } else {
      for (int channel = 0; channel < 3; ++channel) {
        if (channel != c.strongest) {
          EXPECT_GT(pixel[c.strongest], pixel[channel] + 50);
        }
      }
    }
  }
}

}  // namespace
}  // namespace tessvark
