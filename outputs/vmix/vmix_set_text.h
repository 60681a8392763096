#pragma once

#include <string>
#include <string_view>

#include "core/state_value.h"

namespace tessvark {

// The value a mapping's scoreboard source stands for in the state document, or null when the
// document lacks it. "home_score" and "guest_score" read "home" and "guest"; the penalty
// sources read the first element of "penalties" with the matching "role".
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
