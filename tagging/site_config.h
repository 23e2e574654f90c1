// The site configuration: what an application's "tagsmith.config" says
// goes into its pages. Read afresh for every candidate page, once, when its
// header block is in (tagging/header_verdict.h); the texts are copied into
// the caller's SiteConfig, and the tracking block points at them until the
// response has been written.
#ifndef TAGSMITH_TAGGING_SITE_CONFIG_H_
#define TAGSMITH_TAGGING_SITE_CONFIG_H_

#include <cstdint>

#include "isapi/isapi.h"
#include "tagging/header_scan.h"

inline constexpr std::uint32_t kBlockTextSize = 2048;
inline constexpr std::uint32_t kShortValueSize = 16;
inline constexpr std::uint32_t kConfigPathSize = 2048;

// A length of 0 means the value is not set. Each text holds at most its
// buffer size less one characters; longer values arrive cut.
struct SiteConfig {
  char insertBefore[kBlockTextSize];
  std::uint32_t insertBeforeLength;
  char appendAfter[kBlockTextSize];
  std::uint32_t appendAfterLength;
  char account[kShortValueSize];
  std::uint32_t accountLength;
  // Only whether this is set counts: any value forces the secure script.
  char alwaysSsl[kShortValueSize];
  std::uint32_t alwaysSslLength;
  // Whether the result header is asked for (tagging/result_header.h): see
  // DiagnosticsOn.
  char diagnostics[kShortValueSize];
  std::uint32_t diagnosticsLength;
  // A file in the application's directory whose text replaces the fixed
  // block, and the text that shows a page already carries it.
  char snippet[kBlockTextSize];
  std::uint32_t snippetLength;
  char snippetMarker[kBlockTextSize];
  std::uint32_t snippetMarkerLength;
};

// Reads the configuration of the request's application into `config`.
// False when no account is known, neither from the file nor from the
// page's own account header: the page is then not tagged. A missing path,
// file, section or key reads as empty.
bool ReadSiteConfig(HTTP_FILTER_CONTEXT* pfc, const ResponseFacts& facts,
                    SiteConfig* config);

// The application directory's path with `name` ("/tagsmith.config")
// appended, into `path`, NUL-terminated. False when the server supplies no
// directory or the whole does not fit.
// Copies what `from` holds into `to`: each value's bytes, its ending NUL
// and its length, not the rest of its array (most of the record's 8 KiB).
void CopySiteConfig(const SiteConfig& from, SiteConfig* to);

bool SiteFilePath(HTTP_FILTER_CONTEXT* pfc, const char* name,
                  char (&path)[kConfigPathSize]);

// Whether a "Diagnostics" value turns the result header on: "1", "yes",
// "true" or "on", in any ASCII case. Everything else, "0", "no", "false",
// "off" and the empty value among it, leaves it off. Reads value[0..length).
bool DiagnosticsOn(const char* value, std::uint32_t length);

#endif  // TAGSMITH_TAGGING_SITE_CONFIG_H_
