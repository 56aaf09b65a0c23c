#include "update/update_prompt.h"

#include "app/addresses.h"

UpdatePrompt ComposeUpdatePrompt(const UpdateInfo& info) {
  UpdatePrompt prompt;
  prompt.caption = info.title.empty() ? u"New Version Available" : info.title;
  std::u16string& text = prompt.text;
  if (!info.versionName.empty()) text.append(u"版本: ").append(info.versionName).append(u"\n\n");
  text.append(u"更新内容:\n").append(u"--------------------\n");
  if (!info.message.empty()) text.append(info.message).append(u"\n");
  text.append(u"--------------------\n\n")
      .append(u"推荐您立即更新以获取最佳体验。\n\n")
      .append(u"是否现在更新？");
  prompt.style = info.mustUpdate ? kPromptStyleMandatory : kPromptStyleOptional;
  return prompt;
}

bool IsWebAddress(std::u16string_view address) {
  auto startsWithIgnoringCase = [address](std::u16string_view lower) {
    if (address.size() < lower.size()) return false;
    for (size_t i = 0; i < lower.size(); ++i) {
      char16_t c = address[i];
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
      if (c != lower[i]) return false;
    }
    return true;
  };
  return startsWithIgnoringCase(u"http://") || startsWithIgnoringCase(u"https://");
}

PromptOutcome ResolvePromptAnswer(int32_t answer, const UpdateInfo& info, bool installsItself) {
  PromptOutcome outcome{std::nullopt, false, info.mustUpdate != 0};
  if (answer != kPromptAnswerYes && answer != kPromptAnswerOk) return outcome;
  if (installsItself && info.installer && IsWebAddress(info.url)) {
    outcome.installsUpdate = true;
  } else {
    // Whoever writes the document (over plain http, anyone on the way) must not start a program:
    // only a web address is opened.
    outcome.addressToOpen = IsWebAddress(info.url) ? info.url : std::u16string(kDownloadPageUrl);
  }
  return outcome;
}
