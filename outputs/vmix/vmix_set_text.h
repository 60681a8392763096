#pragma once

#include <array>
#include <string>
#include <string_view>

#include "core/state_value.h"

namespace tessvark {

// The display values the state carries beside the values of the roles; a mapping may name them as
// well as any role.
inline constexpr std::array<std::string_view, 3> kVmixDisplaySources = {
    "period_display", "down_display", "down_distance"};

// The value a mapping's scoreboard source stands for in the state document, or null when the
// document lacks it (or the source is none of the above). A role reads the place of its value in
// the role table ("home" for "home_score", the first element of "penalties" with the matching
// "role" for a penalty role); a display value reads the member of its own name.
StateValue VmixSourceValue(const StateValue& state, std::string_view source);

// The text vMix receives: True/False, decimal integers, doubles at 15 significant digits with
// ".0" when they would read as integers, strings unchanged, and empty for anything else.
std::string FormatSetTextValue(const StateValue& value);

// Query encoding byte by byte: letters, digits and -._~ stay, a space becomes "+", every other
// byte "%XX" in upper case.
std::string PercentEncodeQueryValue(std::string_view bytes);

// "/api/?Function=SetText&Input=..&SelectedName=..&Value=.." with each part encoded.
std::string BuildSetTextPath(std::string_view input, std::string_view field, std::string_view text);

}  // namespace tessvark
