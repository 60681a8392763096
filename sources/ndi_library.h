#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/file_trust.h"
#include "sources/ndi_sdk.h"

namespace tessvark {

// The NDI runtime library "libndi.so.6", which the program does not carry: where it is looked
// for, when a file found there is trusted, and loading it at most once per process.

inline constexpr char kNdiLibraryName[] = "libndi.so.6";
inline constexpr char kNdiRuntimeFolderVariable[] = "NDI_RUNTIME_DIR_V6";
inline constexpr char kNdiNotInstalled[] =
    "The NDI runtime is not installed. Examples remain available.";

// Decides whether a library file that lies in a trusted place may be loaded.
class SignatureVerifier {
 public:
  virtual ~SignatureVerifier() = default;
  // True when the opened file may be loaded; otherwise false with the refusal in `message`. The
  // file is loaded from the same descriptor, so what is judged here is what runs.
  virtual bool Verify(const OpenedFile& file, std::string& message) = 0;
};

// The Linux rule: a regular file owned by root or by the running user that neither its group nor
// other users may write, in a folder (and folders above it) of root or that user that no one
// else may write unless it has the sticky bit. The refusals say which file or folder is at fault
// and why, in the words of the verdict (NdiTrustRefusal).
class OwnerSignatureVerifier final : public SignatureVerifier {
 public:
  bool Verify(const OpenedFile& file, std::string& message) override;
};

// The refusal of a library that the ownership rule does not trust; empty for a trusted one.
std::string NdiTrustRefusal(const TrustVerdict& verdict);

// Where the library is looked for. The standard folders come first, in order, then the folder
// named by NDI_RUNTIME_DIR_V6 (read when the load is attempted); each is a trusted root.
struct NdiLibrarySearch {
  std::vector<std::string> standard_folders = {"/usr/lib/x86_64-linux-gnu", "/usr/lib",
                                               "/usr/local/lib"};
  std::shared_ptr<SignatureVerifier> verifier = std::make_shared<OwnerSignatureVerifier>();
};

// The paths examined, in order: each standard folder, then NDI_RUNTIME_DIR_V6 (unless it is unset,
// empty or contains ".."), each followed by "/libndi.so.6".
std::vector<std::string> NdiLibraryCandidates(const NdiLibrarySearch& search);
// True when `path` names the library (a file "libndi.so.6" or "libndi.so.6.<version>") under a
// standard folder or under the absolute folder NDI_RUNTIME_DIR_V6, without "..".
bool IsTrustedNdiRuntimePath(const std::string& path, const NdiLibrarySearch& search);
// The canonical path of a candidate that is a regular file and, links resolved, lies in a
// trusted place; empty otherwise.
std::string CanonicalTrustedNdiPath(const std::string& candidate, const NdiLibrarySearch& search);
// True when the open file's header is that of a 64-bit x86-64 shared object.
bool IsNdiLibraryImage(int fd);

// Makes the library usable for one more holder; true when the caller now holds a reference. The
// first call in a process searches with `search` and loads the library: each candidate is opened
// once, judged through that descriptor and loaded from it, so a file renamed over it meanwhile
// never runs. A failed attempt is never repeated, and later calls (whatever their search) share
// its outcome. The library's initialise
// call brackets the holders: it runs when the first holder comes, its destroy call when the last
// one goes.
bool AcquireNdiLibrary(const NdiLibrarySearch& search);
// Gives one reference back; nothing when none is held.
void ReleaseNdiLibrary();
// Why the last load attempt refused or failed; empty when nothing was refused.
std::string LastNdiLoadMessage();
// The library's functions; to be called only while holding a reference.
const ndi::EntryPoints& NdiLibraryFunctions();

}  // namespace tessvark
