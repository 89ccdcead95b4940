#include "base/base64.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace caskel {
namespace {

TEST(Base64, RoundTripsAndRefusesOtherForms) {
  const std::initializer_list<std::string> samples = {"",    "f",    "fo",
                                                      "foo", "foob", std::string("\0\xFF\x10", 3)};
  for (const std::string& bytes : samples) {
    EXPECT_EQ(base64Decode(base64Encode(bytes)), bytes);
  }
  EXPECT_EQ(base64Encode("foob"), "Zm9vYg==");
  for (const char* refused : {"Zm9", "Zm9v!A==", "Z=9v", "Zm9vYg=\n"}) {
    EXPECT_EQ(base64Decode(refused), std::nullopt) << refused;
  }
}

}  // namespace
}  // namespace caskel
