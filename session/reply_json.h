#pragma once

#include <string>
#include <string_view>

#include "core/json_text.h"

namespace tessvark {

inline const char* JsonBool(bool value) { return value ? "true" : "false"; }

}  // namespace tessvark
