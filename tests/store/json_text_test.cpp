#include "store/json_text.h"

#include <gtest/gtest.h>

namespace caskel {
namespace {

TEST(JsonTextTest, WipeReachesEveryNestedStringAndLeavesOtherValues) {
  nlohmann::json j = {
      {"value", "s3cret"}, {"n", 7}, {"extra", {{"k", "key!"}, {"list", {"a1", true, "b22"}}}}};
  wipeJsonStrings(j);
  for (const auto& [text, size] : {std::pair{j["value"], 6u},
                                   {j["extra"]["k"], 4u},
                                   {j["extra"]["list"][0], 2u},
                                   {j["extra"]["list"][2], 3u}}) {
    EXPECT_EQ(text.get<std::string>(), std::string(size, '\0'));
  }
  EXPECT_EQ(j["n"], 7);
  EXPECT_EQ(j["extra"]["list"][1], true);
}

}  // namespace
}  // namespace caskel
