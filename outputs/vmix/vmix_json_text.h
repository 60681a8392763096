#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/json_value.h"
#include "core/json_writer.h"

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

// Appends `text` as a quoted JSON string in the escaping of the configuration document
// (JsonEscapeSet::kVmixConfig).
void WriteJsonString(std::string_view text, std::string& out);

// The configuration and the input list as the replies carry them inside their compact text: the
// escaping and numbers of the configuration document, every item line two spaces in.
inline constexpr JsonStyle kVmixListingJson{JsonEscapeSet::kVmixConfig, JsonNumberForm::kAsWritten,
                                            0};

// Appends `value` in the layout of kVmixConfigJson with this indent, standing at this depth of
// nesting: with indent 0 every item line starts with exactly two spaces.
void WriteJsonPretty(const JsonValue& value, std::string& out, int indent, int depth);

// The file form: kVmixConfigJson and a final line feed.
std::string ToPrettyJsonText(const JsonValue& value);

// The escaping of the compact replies (JsonEscapeSet::kState), without quotes.
std::string EscapeVmixJsonText(std::string_view text);

// "null" for an absent text, else the text escaped as in the replies between double quotes.
std::string OptionalTextJson(const std::optional<std::string>& text);

}  // namespace tessvark
