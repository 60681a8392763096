#include "sources/library_messages.h"

namespace tessvark {
namespace {

std::string JoinedList(const std::vector<std::string>& items) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += i + 1 == items.size() ? " and " : ", ";
    text += items[i];
  }
  return text;
}

}  // namespace

std::string NdiNotInstalledMessage(const std::vector<std::string>& folders, const std::string& library,
                                   const std::string& variable, const std::optional<std::string>& variable_value) {
  std::vector<std::string> places = folders;
  places.push_back(variable_value ? variable + " (" + *variable_value + ")"
                                  : variable + " (not set to an absolute folder)");
  return "The NDI runtime is not installed: Tessvark looked for " + library + " in " + JoinedList(places) +
         ". Examples remain available.";
}

std::string OmtNotInstalledMessage(const std::string& folder, const std::vector<std::string>& files) {
  return "The OMT runtime is not installed: Tessvark looked for " + JoinedList(files) + " in " + folder +
         ". Examples remain available.";
}

}  // namespace tessvark
