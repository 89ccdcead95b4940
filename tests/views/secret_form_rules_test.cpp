#include <gtest/gtest.h>

#include "views/add_form_rules.h"
#include "views/date_validity.h"
#include "views/edit_form_rules.h"
#include "views/revealed_value.h"
#include "views/views_fixture.h"

namespace caskel {
namespace {

TEST(SecretFormRules, DateValidityIsStrict) {
  const std::pair<const char*, bool> cases[] = {
      {"2025-02-28", true},  {"2024-02-29", true},  {"2025-02-29", false}, {"2025-02-30", false},
      {"2025-13-01", false}, {"2025-00-10", false}, {"2025-2-28", false},  {"2025-02-28 ", false},
      {"", false},           {"31/03/2026", false}, {"2025-02-2x", false},
  };
  for (const auto& [text, valid] : cases) EXPECT_EQ(isValidDate(QString::fromUtf8(text)), valid) << text;
}

TEST(SecretFormRules, AddFormValidity) {
  auto form = [](CredentialMode mode) {
    AddFormInput input;
    input.account = "acme/api/KEY";
    input.mode = mode;
    return input;
  };
  struct Case {
    const char* name;
    AddFormInput input;
    bool valid;
  };
  auto with = [](AddFormInput input, auto change) {
    change(input);
    return input;
  };
  const AddFormInput secret = with(form(CredentialMode::secret), [](auto& i) { i.value = "v"; });
  const Case cases[] = {
      {"secret", secret, true},
      {"no value", form(CredentialMode::secret), false},
      {"no folder", with(secret, [](auto& i) { i.account = "KEY"; }), false},
      {"empty account", with(secret, [](auto& i) { i.account = ""; }), false},
      {"bad expiry", with(secret, [](auto& i) { i.metadata.expires = "2025-13-01"; }), false},
      {"good expiry", with(secret, [](auto& i) { i.metadata.expires = "2025-02-28"; }), true},
      // Only the current mode's fields count.
      {"api key without key", with(secret, [](auto& i) { i.mode = CredentialMode::apiKey; }), false},
      {"api key", with(form(CredentialMode::apiKey), [](auto& i) { i.apiKeyPrimary = "k"; }), true},
      {"login without password", with(form(CredentialMode::login), [](auto& i) { i.username = "u"; }), false},
      {"login",
       with(form(CredentialMode::login),
            [](auto& i) {
              i.username = "u";
              i.password = "p";
            }),
       true},
      {"blank codes", with(form(CredentialMode::recoveryCodes), [](auto& i) { i.recoveryCodes = " \n\t\n"; }),
       false},
      {"codes", with(form(CredentialMode::recoveryCodes), [](auto& i) { i.recoveryCodes = "\na\n"; }), true},
  };
  for (const Case& c : cases) EXPECT_EQ(isAddFormValid(c.input), c.valid) << c.name;
  EXPECT_TRUE(accountHint("KEY").warning);
  EXPECT_FALSE(accountHint("").warning);
  EXPECT_FALSE(accountHint("acme/KEY").warning);
}

TEST(SecretFormRules, BareSecretHasNoMetadataButStrictOrAFieldGivesSome) {
  AddFormInput input;
  input.account = "acme/KEY";
  input.value = "a value of some length";
  EXPECT_EQ(storedSecretOf(input).metadata, std::nullopt);
  input.strict = true;
  EXPECT_EQ(storedSecretOf(input).metadata, metadataOf(R"({"strict":true})"));
  input.strict = false;
  input.metadata.bundle = "db";
  EXPECT_EQ(storedSecretOf(input).metadata, metadataOf(R"({"bundle":"db"})"));
  // Structured modes take their peek from their first field, not from the JSON text.
  input.mode = CredentialMode::login;
  input.username = "someone@example.com";
  input.password = "pw";
  EXPECT_EQ(storedSecretOf(input).metadata->peek, "someone@");
}

TEST(SecretFormRules, EditSaveEnablingAndStrictLifting) {
  const SecretMetadata stored = metadataOf(R"({"type":"token","strict":true,"rotate":"monthly"})");
  MetadataTexts texts;
  texts.type = "token";
  const SecretMetadata same = editFormMetadata(texts, true, stored);
  EXPECT_EQ(same, stored);  // the rotation note, which the form does not show, is carried
  EXPECT_FALSE(isEditSaveEnabled(false, same, stored, ""));
  EXPECT_TRUE(isEditSaveEnabled(true, same, stored, ""));
  EXPECT_FALSE(isEditSaveEnabled(true, same, stored, "2025-13-01"));
  const SecretMetadata lax = editFormMetadata(texts, false, stored);
  EXPECT_TRUE(isEditSaveEnabled(false, lax, stored, "2025-02-28"));
  EXPECT_EQ(lax.strict, std::nullopt);
  EXPECT_EQ(metadataForUpdate(lax, stored).strict, false);
  EXPECT_EQ(metadataForUpdate(lax, SecretMetadata{}).strict, std::nullopt);
}

TEST(SecretFormRules, RevealedRowsByStoredType) {
  using Rows = std::vector<std::pair<QString, std::string>>;
  struct Case {
    std::optional<std::string> type;
    const char* value;
    Rows rows;
  };
  const Case cases[] = {
      {"api_key", R"({"key":"k1","secondary":"k2"})", {{"Key", "k1"}, {"Secondary", "k2"}}},
      {"api_key", R"({"key":"k1"})", {{"Key", "k1"}}},
      {"api_key", R"({"secondary":"k2"})", {{"", R"({"secondary":"k2"})"}}},
      {"login", R"({"password":"p","username":"u"})", {{"Username", "u"}, {"Password", "p"}}},
      {"login", R"({"username":"u"})", {{"", R"({"username":"u"})"}}},
      {"recovery_code", R"(["a","b"])", {{"", "1. a\n2. b"}}},
      {"recovery_code", "a\nb", {{"", "a\nb"}}},
      {"recovery_code", R"(["a",1])", {{"", R"(["a",1])"}}},
      {"token", R"({"key":"k1"})", {{"", R"({"key":"k1"})"}}},
      {std::nullopt, "plain", {{"", "plain"}}},
  };
  for (const Case& c : cases) {
    Rows rows;
    for (const RevealedRow& row : revealedRows(c.type, c.value)) rows.emplace_back(row.label, row.text.str());
    EXPECT_EQ(rows, c.rows) << c.type.value_or("(none)") << " " << c.value;
  }
}

}  // namespace
}  // namespace caskel
