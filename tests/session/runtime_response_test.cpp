#include "session/runtime_response.h"

#include <gtest/gtest.h>

namespace tessvark {
namespace {

TEST(RuntimeResponse, OkAndErrorReplies) {
  const RuntimeResponse ok = MakeOkResponse("{\"a\":1}");
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.body, "{\"a\":1}");
  EXPECT_EQ(ok.content_type, "application/json");

  const RuntimeResponse error = MakeErrorResponse(422, "say \"hi\"\\\n\tnow \xc3\xa9");
  EXPECT_EQ(error.status, 422);
  EXPECT_EQ(error.content_type, "application/json");
  EXPECT_EQ(error.body, "{\"detail\":\"say \\\"hi\\\"\\\\\\n\\u0009now \xc3\xa9\"}");
}

TEST(RuntimeResponse, ParseRequestObjectAcceptsOnlyObjects) {
  struct Case {
    const char* body;
    int status;  // 0: accepted
  } cases[] = {
      {"{}", 0},     {" {\"a\":[1]} ", 0}, {"", 400},  {"   ", 400},   {"{", 400},
      {"{} x", 400}, {"[]", 422},          {"3", 422}, {"\"s\"", 422}, {"null", 422},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    RuntimeResponse error = MakeOkResponse("untouched");
    const auto parsed = ParseRequestObject(c.body, error);
    if (c.status == 0) {
      ASSERT_TRUE(parsed.has_value());
      EXPECT_EQ(parsed->kind, JsonKind::kObject);
      EXPECT_EQ(error.body, "untouched");
    } else {
      EXPECT_FALSE(parsed.has_value());
      EXPECT_EQ(error.status, c.status);
      EXPECT_EQ(error.body, c.status == 400 ? "{\"detail\":\"Request body is not valid JSON\"}"
                                            : "{\"detail\":\"Request body must be an object\"}");
    }
  }
}

}  // namespace
}  // namespace tessvark
