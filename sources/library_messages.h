#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tessvark {

// What the Source tab says when a sender runtime is simply absent: that it is not installed and
// where Tessvark looked, so that an operator who did install it sees which place was missed.

// `folders` are the standard folders looked in, in order; `variable` names the folder variable
// and `variable_value` the folder it gave (nothing when it is unset or not an absolute folder).
std::string NdiNotInstalledMessage(const std::vector<std::string>& folders, const std::string& library,
                                   const std::string& variable, const std::optional<std::string>& variable_value);

// `files` are the library files that must lie together in `folder`.
std::string OmtNotInstalledMessage(const std::string& folder, const std::vector<std::string>& files);

}  // namespace tessvark
