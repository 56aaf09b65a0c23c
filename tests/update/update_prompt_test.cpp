#include "update/update_prompt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/addresses.h"

namespace {

// The whole text is checked where the user sees it, in the box under Wine; these are its corners.
TEST(ComposeUpdatePrompt, FieldsUsedUnchanged) {
  EXPECT_EQ(ComposeUpdatePrompt({.needUpdate = 1}).caption, u"New Version Available");
  EXPECT_TRUE(ComposeUpdatePrompt({.needUpdate = 1}).text.starts_with(u"更新内容:\n"));
  // Blanks and line breaks are not empty, and a message ending in a line feed gets one more.
  EXPECT_EQ(ComposeUpdatePrompt({.needUpdate = 1, .title = u" "}).caption, u" ");
  EXPECT_TRUE(ComposeUpdatePrompt({.needUpdate = 1, .versionName = u"\n"})
                  .text.starts_with(u"版本: \n\n\n更新内容:\n"));
  std::u16string text = ComposeUpdatePrompt({.needUpdate = 1, .message = u"notes\n"}).text;
  EXPECT_NE(text.find(u"--------------------\nnotes\n\n--------------------\n\n"),
            std::u16string::npos);
  // Any non-zero mustUpdate is set.
  EXPECT_EQ(ComposeUpdatePrompt({.needUpdate = 1, .mustUpdate = -1}).style, 0x40u);
}

struct AnswerCase {
  const char* name;
  int32_t answer;
  std::u16string url;
  int32_t mustUpdate;
  std::optional<std::u16string> opened;
  bool ends;
  bool named = false;           // the answer names its installer
  bool installsItself = false;  // a keyed build in its install folder
  bool installs = false;
};

TEST(ResolvePromptAnswer, InstallsOrOpensOnlyWebAddressesOnConfirmation) {
  const std::u16string fallback = kDownloadPageUrl;
  const std::vector<AnswerCase> cases = {
      {"yes opens the url", 6, u"https://a.test/x", 0, u"https://a.test/x", false},
      {"ok opens the url and ends", 1, u"http://a.test/", 1, u"http://a.test/", true},
      {"no opens nothing", 7, u"https://a.test/", 0, std::nullopt, false},
      {"failure opens nothing, mandatory ends", 0, u"https://a.test/", 1, std::nullopt, true},
      {"other answers open nothing", 2, u"https://a.test/", 0, std::nullopt, false},
      {"empty url opens the download page", 6, u"", 0, fallback, false},
      {"scheme in any case, passed unchanged", 6, u"HtTpS://A.test/ x ", 0, u"HtTpS://A.test/ x ",
       false},
      {"local program", 6, u"C:\\Windows\\calc.exe", 0, fallback, false},
      {"network share", 6, u"\\\\host\\share\\x.exe", 0, fallback, false},
      {"file address", 1, u"file:///C:/x.exe", 1, fallback, true},
      {"other protocol", 6, u"ms-settings:", 0, fallback, false},
      {"scheme without slashes", 6, u"http:x.exe", 0, fallback, false},
      {"web scheme not first", 6, u" https://a.test/", 0, fallback, false},
      {"longer scheme", 6, u"httpx://a.test/", 0, fallback, false},
      {"scheme alone", 6, u"https:/", 0, fallback, false},
      // Only a build that may install, offered a named installer at a web address, installs.
      {"ok installs, then ends", 1, u"https://a.test/x", 1, std::nullopt, true, true, true, true},
      {"no installs nothing", 7, u"https://a.test/x", 0, std::nullopt, false, true, true, false},
      {"an answer naming no installer opens", 6, u"https://a.test/x", 0, u"https://a.test/x", false,
       false, true, false},
      {"an installer at no web address: the download page", 6, u"C:\\x.exe", 0, fallback, false,
       true, true, false},
  };
  for (const AnswerCase& c : cases) {
    UpdateInfo info = {.needUpdate = 1, .mustUpdate = c.mustUpdate, .url = c.url};
    if (c.named) info.installer = InstallerIdentity{.size = 1};
    PromptOutcome outcome = ResolvePromptAnswer(c.answer, info, c.installsItself);
    EXPECT_EQ(outcome.addressToOpen, c.opened) << c.name;
    EXPECT_EQ(outcome.installsUpdate, c.installs) << c.name;
    EXPECT_EQ(outcome.endProgram, c.ends) << c.name;
  }
}

}  // namespace
