// A bounded random-input run of the parser: mutated documents must either parse or throw
// std::runtime_error, never crash (the sanitizers watch memory and undefined behaviour).
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>

#include "core/json_value.h"

namespace tessvark {
namespace {

TEST(ParseJsonRandomInput, MutatedDocumentsParseOrThrowRuntimeError) {
  const std::string seeds[] = {
      R"({"zones":[{"id":"clock","x":0.1,"y":0.25,"w":0.5,"h":1e-3,"processing":{"invert":true}}]})",
      R"([1,-2.5e+3,"a\"b\u0041",null,true,false,{},[]])",
      R"({"a":{"b":{"c":[[[{"d":"\n\t"}]]]}}})",
  };
  const std::string alphabet = "{}[]\",:\\/-+.0123456789eEtrufalsn \t\n\x01\xC3\xA9";
  std::mt19937 random(20261210);
  int parsed = 0;
  int refused = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string text = seeds[round % 3];
    const int edits = 1 + static_cast<int>(random() % 6);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const std::size_t at = random() % text.size();
      switch (random() % 4) {
        case 0: text[at] = alphabet[random() % alphabet.size()]; break;
        case 1: text.erase(at, 1 + random() % 3); break;
        case 2: text.insert(at, 1, alphabet[random() % alphabet.size()]); break;
        default: text = text.substr(0, at); break;
      }
    }
    try {
      ParseJson(text);
      ++parsed;
    } catch (const std::runtime_error&) {
      ++refused;
    }
  }
  // Both outcomes must occur, or the mutation did not exercise the parser.
  EXPECT_GT(parsed, 0);
  EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace tessvark
