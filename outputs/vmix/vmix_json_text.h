#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/json_value.h"

namespace tessvark {

// Builders for the JsonValue trees the vMix output writes.
JsonValue MakeJsonString(std::string&& text);
JsonValue MakeJsonOptionalString(const std::optional<std::string>& text);
JsonValue MakeJsonBool(bool value);
// A number node carrying `text` as its literal, which is what the writer prints.
JsonValue MakeJsonNumberText(std::string&& text, double value);
JsonValue MakeJsonObject();
JsonValue MakeJsonArray();

// Gives the first member with this key the value, or appends a new member.
void SetJsonMember(JsonValue& object, std::string_view key, JsonValue&& value);

// Appends `text` as a quoted JSON string: control bytes escaped, whole UTF-8 sequences kept as
// they are, and every byte that is not part of one replaced by U+FFFD (as UTF-8), so that the
// configuration's own JSON reader, which takes raw UTF-8 but no non-ASCII \u escapes, reads
// every written file back.
void WriteJsonString(std::string_view text, std::string& out);

// Appends `value` with one member or item per line. Item lines carry two spaces beyond
// indent * depth, so with indent 0 every item line starts with exactly two spaces.
void WriteJsonPretty(const JsonValue& value, std::string& out, int indent, int depth);

// The file form: indent 2 from depth 0 and a final line feed.
std::string ToPrettyJsonText(const JsonValue& value);

// The escaping of the compact replies: control bytes escaped, bytes from 0x80 passed unchanged.
// Returns the content without quotes.
std::string EscapeVmixJsonText(std::string_view text);

// The text escaped by EscapeVmixJsonText between double quotes.
std::string QuotedVmixJsonText(std::string_view text);

// "null" for an absent text, else the text escaped between double quotes.
std::string OptionalTextJson(const std::optional<std::string>& text);

}  // namespace tessvark
