#pragma once

#include <concepts>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/json_text.h"

namespace tessvark {

struct JsonValue;

// How a writer puts numbers that are not integers.
enum class JsonNumberForm {
  kApi,    // "%.17g", "null" when not finite (FormatJsonNumber)
  kState,  // FormatPythonJsonNumber: throws std::invalid_argument when not finite
  // A parsed or built JsonValue's number as its literal text ("0" when it has none), so that a
  // rewritten document keeps the numbers of the members it does not own; other doubles as kApi.
  kAsWritten,
};

// Everything that differs between the program's JSON texts: the escaping of strings, the form of
// numbers and the layout. Each writer keeps one style for the whole text it writes.
struct JsonStyle {
  JsonEscapeSet escape = JsonEscapeSet::kApi;
  JsonNumberForm numbers = JsonNumberForm::kApi;
  // Without a value the text is compact, with no white space. With one, every member and item
  // stands on a line of its own, two spaces beyond the column of its container's closing
  // bracket, which is `indent` spaces per level of nesting; a member reads "key": value, and an
  // empty container stays "{}" or "[]".
  std::optional<int> indent;
};

// API replies, the compact values of the configuration files and the sport zone sets.
inline constexpr JsonStyle kApiJson{JsonEscapeSet::kApi, JsonNumberForm::kApi, std::nullopt};
// The scoreboard state, the display format, the vMix replies and the updater.
inline constexpr JsonStyle kStateJson{JsonEscapeSet::kState, JsonNumberForm::kState, std::nullopt};
// The sports catalog and the sport selection.
inline constexpr JsonStyle kCatalogJson{JsonEscapeSet::kCatalog, JsonNumberForm::kApi,
                                        std::nullopt};
// The vMix output's settings document, indented by two spaces.
inline constexpr JsonStyle kVmixConfigJson{JsonEscapeSet::kVmixConfig, JsonNumberForm::kAsWritten,
                                           2};

// Writes one JSON text in document order: members appear exactly as they are written (a key
// written twice stands twice), separators and layout follow the style. The caller pairs every
// Begin with its End and gives each member's Key before its value.
class JsonWriter {
 public:
  // `depth` is the nesting level of the text's first value, for a text that stands inside an
  // indented document.
  explicit JsonWriter(JsonStyle style, int depth = 0);

  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  JsonWriter& Key(std::string_view key);

  JsonWriter& String(std::string_view text);
  // The text, or null when there is none.
  JsonWriter& OptionalString(const std::optional<std::string>& text);
  // The text, or null when it is empty.
  JsonWriter& StringOrNull(std::string_view text);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();
  template <std::integral Integer>
    requires(!std::same_as<Integer, bool>)
  JsonWriter& Int(Integer value) {
    return Raw(std::to_string(value));
  }
  // In the style's number form.
  JsonWriter& Double(double value);
  // A finite value with this many decimals ("%.*f"), else null.
  JsonWriter& Fixed(double value, int decimals);
  // A whole parsed or built document, members in their order with duplicates kept.
  JsonWriter& Value(const JsonValue& value);
  // Text that is already one JSON value, put in as it is.
  JsonWriter& Raw(std::string_view json);

  // The text written so far; the writer is empty afterwards.
  std::string Take();

 private:
  // The separator, line break and indentation before a member or a value.
  void BeginItem();
  void Open(char bracket);
  void Close(char bracket);
  void AppendPadding(int depth);

  JsonStyle style_;
  int depth_;
  std::string text_;
  // Members or items written so far in each open container, the innermost last.
  std::vector<int> counts_;
  bool after_key_ = false;
};

}  // namespace tessvark
