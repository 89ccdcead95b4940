// The bash completion the tool prints, run by a real bash against a real server.
#include <gmock/gmock.h>

#include <sstream>

#include "e2e/caskeld_process.h"

namespace caskel::test {
namespace {

using ::testing::ElementsAreArray;

class Completion : public ToolFixture {
 protected:
  // The candidates bash's completion function offers for `line` (the last word is the one
  // being completed), one a line.
  std::vector<std::string> complete(const std::string& line) {
    auto run =
        bash("source <(\"$CASKEL\" completion bash); read -ra COMP_WORDS <<< '" + line + "'; [[ '" + line +
             "' == *' ' ]] && COMP_WORDS+=(''); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
             "_caskel; printf '%s\\n' \"${COMPREPLY[@]}\"");
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    std::vector<std::string> words;
    std::istringstream in(run.out);
    for (std::string word; std::getline(in, word);)
      if (!word.empty()) words.push_back(word);
    return words;
  }
};

TEST_F(Completion, OffersStoredNamesWithoutAPrompt) {
  put("acme/api/KEY", "value-one");
  put("acme/web/TOKEN", "value-two");
  put("other/x/Y", "value-three");
  // The vault exists and is locked: a listing that could prompt would prompt now.
  ASSERT_EQ(caskel({"lock"}).code, 0);
  const int before = server.prompts();
  struct {
    std::string line;
    std::vector<std::string> offered;
  } cases[] = {
      {"caskel get ac", {"acme/api/KEY", "acme/web/TOKEN"}},
      {"caskel rm other/", {"other/x/Y"}},
      {"caskel unlock acme/", {"acme/", "acme/api/", "acme/web/"}},
      {"caskel run acme/api --only acme/w", {"acme/web/TOKEN"}},
      {"caskel bundle l", {"load", "ls"}},
      {"caskel audit s", {"show"}},
      {"caskel completion ", {"bash", "fish", "zsh"}},
      {"caskel ls --tr", {"--tree"}},
      {"caskel help bund", {"bundle"}},
      {"caskel lo", {"load", "lock"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    auto offered = complete(c.line);
    std::sort(offered.begin(), offered.end());
    EXPECT_THAT(offered, ElementsAreArray(c.offered));
  }
  EXPECT_EQ(server.prompts(), before);
}

TEST_F(Completion, AnEmptyVaultOffersNothingAndStillDoesNotPrompt) {
  EXPECT_TRUE(complete("caskel get a").empty());
  EXPECT_EQ(server.prompts(), 0);
}

}  // namespace
}  // namespace caskel::test
