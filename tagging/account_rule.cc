#include "tagging/account_rule.h"

#include <cassert>

bool IsUsableAccount(const char* bytes, std::uint32_t length) {
  for (std::uint32_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c == '"' || c == '\\' || c == '<' || c == 0x7F ||
        (c < 0x20 && c != '\t')) {
      return false;
    }
  }
  return true;
}

bool ChosenAccountIsUsable(const ResponseFacts& facts,
                           const SiteConfig& config) {
  if (config.accountLength > 0) {
    return IsUsableAccount(config.account, config.accountLength);
  }
  assert((facts.flags & kHasAccountHeader) != 0);
  bool usable = true;
  ForEachSpanPiece(facts.accountValue,
                   [&usable](const char* bytes, std::uint32_t count) {
                     usable = usable && IsUsableAccount(bytes, count);
                   });
  return usable;
}
