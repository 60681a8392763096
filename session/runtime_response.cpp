#include "session/runtime_response.h"

#include <exception>
#include <utility>

#include "core/json_writer.h"

namespace tessvark {

RuntimeResponse MakeOkResponse(std::string&& body) {
  RuntimeResponse response;
  response.body = std::move(body);
  return response;
}

RuntimeResponse MakeErrorResponse(std::int32_t status, std::string_view detail) {
  RuntimeResponse response;
  response.status = status;
  JsonWriter body(kApiJson);
  response.body = body.BeginObject().Key("detail").String(detail).EndObject().Take();
  return response;
}

std::optional<JsonValue> ParseRequestObject(std::string_view body, RuntimeResponse& error) {
  JsonValue parsed;
  try {
    parsed = ParseJson(body);
  } catch (const std::exception&) {
    error = MakeErrorResponse(400, "Request body is not valid JSON");
    return std::nullopt;
  }
  if (parsed.kind != JsonKind::kObject) {
    error = MakeErrorResponse(422, "Request body must be an object");
    return std::nullopt;
  }
  return parsed;
}

}  // namespace tessvark
