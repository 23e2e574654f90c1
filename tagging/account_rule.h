// Which accounts may go into the tracking block. The block writes the
// account between double quotes inside a script element, so an account
// that could end the string, escape a quote, start a tag or break the
// line would let a configuration file or a page's own header inject
// script into every page it tags. Such an account is not used at all: the
// page then leaves untouched. Reads the bytes in place; owns nothing.
#ifndef TAGSMITH_TAGGING_ACCOUNT_RULE_H_
#define TAGSMITH_TAGGING_ACCOUNT_RULE_H_

#include <cstdint>

#include "tagging/header_scan.h"
#include "tagging/site_config.h"

// True when none of the bytes is a double quote, a backslash, "<" or a
// control byte (0x00-0x1F and 0x7F) other than TAB. Bytes 0x80-0xFF are
// allowed.
bool IsUsableAccount(const char* bytes, std::uint32_t length);

// The same for the account the block would take: the configured one when
// it is set, else the page's "X-Tagsmith: " value wherever seams cut it.
// REQUIRES: config has an account or facts have kHasAccountHeader.
bool ChosenAccountIsUsable(const ResponseFacts& facts,
                           const SiteConfig& config);

#endif  // TAGSMITH_TAGGING_ACCOUNT_RULE_H_
