#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/json_value.h"

namespace tessvark {

// The reply of every runtime operation; the web server copies all three fields into the HTTP
// reply.
struct RuntimeResponse {
  std::int32_t status = 200;
  std::string body;
  std::string content_type = "application/json";
};

// 200 with the given JSON body.
RuntimeResponse MakeOkResponse(std::string&& body);

// The given status with {"detail":"<escaped detail>"}.
RuntimeResponse MakeErrorResponse(std::int32_t status, std::string_view detail);

// The parsed request body when it is a JSON object. Otherwise fills `error` with 400 "Request
// body is not valid JSON" or 422 "Request body must be an object" and returns nothing.
std::optional<JsonValue> ParseRequestObject(std::string_view body, RuntimeResponse& error);

}  // namespace tessvark
