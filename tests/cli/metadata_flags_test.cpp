#include "cli/metadata_flags.h"

#include <gtest/gtest.h>

namespace caskel::cli {
namespace {

using json = nlohmann::json;

TEST(MetadataFlags, SetSendsTheStoredRecordWithOnlyTheNamedFieldsChanged) {
  ListedSecret item{"org/p/K", "token", "deploy", "old", "2030-01-01", "abcdefgh", "90d", true};
  auto flags = [](auto edit) {
    MetadataFlags f;
    edit(f);
    return f;
  };
  struct {
    const char* name;
    MetadataFlags flags;
    std::optional<ListedSecret> stored;
    json want;
  } cases[] = {
      {"one field",
       flags([](auto& f) { f.desc = "new"; }),
       item,
       {{"type", "token"},
        {"bundle", "deploy"},
        {"desc", "new"},
        {"expires", "2030-01-01"},
        {"rotate", "90d"},
        {"strict", true}}},
      {"empty text and --no-strict clear",
       flags([](auto& f) {
         f.type = f.bundle = f.expires = f.rotate = "";
         f.strict = false;
       }),
       item,
       {{"desc", "old"}, {"strict", false}}},
      // Still metadata, so the server clears the last field instead of keeping the item's own.
      {"all cleared",
       flags([](auto& f) { f.type = f.bundle = f.desc = f.expires = f.rotate = ""; }),
       item,
       {{"strict", true}}},
      {"new key",
       flags([](auto& f) {
         f.desc = "d";
         f.rotate = "";
       }),
       std::nullopt,
       {{"desc", "d"}, {"strict", false}}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.flags.mergedWith(c.stored), c.want) << c.name;

  json meta = json::object();
  flags([](auto& f) {
    f.type = "";
    f.desc = "d";
  }).addTo(meta);
  EXPECT_EQ(meta, (json{{"type", ""}, {"desc", "d"}}));
}

}  // namespace
}  // namespace caskel::cli
