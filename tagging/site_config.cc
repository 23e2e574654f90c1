#include "tagging/site_config.h"

#include <cassert>
#include <cstddef>
#include <cstring>

#include "tagging/profile_reader.h"

namespace {

constexpr char kSection[] = "ga1";
constexpr char kConfigFileName[] = "/tagsmith.config";

#ifdef _WIN32
// The platform's reader opens whatever the path names and reads all of it,
// so it is handed only a plain file of at most kMaxProfileFileBytes, as
// ours reads (tagging/profile_reader.h); anything else reads as absent. A
// link's own attributes say nothing of its target, which is then opened
// for its attributes alone (no read access, so nothing waits on it).
bool IsPlainFile(DWORD attributes) {
  return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}
std::uint64_t SizeOf(DWORD high, DWORD low) {
  return (static_cast<std::uint64_t>(high) << 32) | low;
}
bool IsReadableConfigFile(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &info) ||
      !IsPlainFile(info.dwFileAttributes) ||
      SizeOf(info.nFileSizeHigh, info.nFileSizeLow) > kMaxProfileFileBytes) {
    return false;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return true;
  HANDLE target = CreateFileA(
      path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (target == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION found;
  const bool plain =
      GetFileType(target) == FILE_TYPE_DISK &&
      GetFileInformationByHandle(target, &found) &&
      IsPlainFile(found.dwFileAttributes) &&
      SizeOf(found.nFileSizeHigh, found.nFileSizeLow) <= kMaxProfileFileBytes;
  CloseHandle(target);
  return plain;
}
#endif

// The one place that chooses the profile reader: the platform's own where
// there is one, a call per key as its interface has it; ours elsewhere,
// which answers all the keys in one pass over the file.
void ReadConfigValues(const char* path, SiteConfig* config) {
  struct Key {
    const char* name;
    char* out;
    std::uint32_t size;
    std::uint32_t* length;
  } const keys[] = {
      {"InsertBeforeScriptBlock", config->insertBefore, kBlockTextSize,
       &config->insertBeforeLength},
      {"AppendAfterScriptBlock", config->appendAfter, kBlockTextSize,
       &config->appendAfterLength},
      {"Account", config->account, kShortValueSize, &config->accountLength},
      {"AlwaysSSL", config->alwaysSsl, kShortValueSize,
       &config->alwaysSslLength},
      {"Diagnostics", config->diagnostics, kShortValueSize,
       &config->diagnosticsLength},
      {"Snippet", config->snippet, kBlockTextSize, &config->snippetLength},
      {"SnippetMarker", config->snippetMarker, kBlockTextSize,
       &config->snippetMarkerLength},
  };
  static_assert(sizeof(keys) / sizeof(keys[0]) <= kMaxProfileKeys,
                "every key is read in the one pass");
#ifdef _WIN32
  const bool readable = IsReadableConfigFile(path);
  for (const Key& key : keys) {
    key.out[0] = '\0';
    *key.length = readable ? GetPrivateProfileStringA(kSection, key.name, "",
                                                      key.out, key.size, path)
                           : 0;
  }
#else
  ProfileQuery queries[sizeof(keys) / sizeof(keys[0])];
  for (std::size_t i = 0; i < sizeof(keys) / sizeof(keys[0]); ++i) {
    queries[i] = ProfileQuery{keys[i].name, "", keys[i].out, keys[i].size, 0};
  }
  ReadProfileStrings(kSection, queries, sizeof(keys) / sizeof(keys[0]), path);
  for (std::size_t i = 0; i < sizeof(keys) / sizeof(keys[0]); ++i) {
    *keys[i].length = queries[i].length;
  }
#endif
}

}  // namespace

bool SiteFilePath(HTTP_FILTER_CONTEXT* pfc, const char* name,
                  char (&path)[kConfigPathSize]) {
  path[0] = '\0';
  DWORD size = kConfigPathSize;
  char variable[] = "APPL_PHYSICAL_PATH";
  if (!pfc->GetServerVariable(pfc, variable, path, &size)) return false;
  const void* nul = std::memchr(path, '\0', kConfigPathSize);
  if (nul == nullptr) return false;
  const std::size_t length = static_cast<const char*>(nul) - path;
  const std::size_t nameLength = std::strlen(name);
  if (length == 0 || length + nameLength + 1 > kConfigPathSize) return false;
  // No separator handling: a directory ending in a backslash keeps it.
  std::memcpy(path + length, name, nameLength + 1);
  return true;
}

namespace {

// One value of a configuration: its bytes, the NUL after them, its length.
template <std::size_t N>
void CopyValue(const char (&value)[N], std::uint32_t length, char (&into)[N],
               std::uint32_t* intoLength) {
  assert(length < N && value[length] == '\0');
  std::memcpy(into, value, length + 1);
  *intoLength = length;
}

// The configuration file's path. The same conditions as SiteFilePath.
bool ConfigFilePath(HTTP_FILTER_CONTEXT* pfc, char (&path)[kConfigPathSize]) {
  return SiteFilePath(pfc, kConfigFileName, path);
}

}  // namespace

bool DiagnosticsOn(const char* value, std::uint32_t length) {
  static const char* const kOnWords[] = {"1", "yes", "true", "on"};
  for (const char* word : kOnWords) {
    const std::size_t size = std::strlen(word);
    if (length != size) continue;
    std::size_t i = 0;
    // ASCII case folding only: bytes outside A-Z stay as they are.
    while (i < size) {
      const char c = value[i];
      if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != word[i]) break;
      ++i;
    }
    if (i == size) return true;
  }
  return false;
}

void CopySiteConfig(const SiteConfig& from, SiteConfig* to) {
  CopyValue(from.insertBefore, from.insertBeforeLength, to->insertBefore,
            &to->insertBeforeLength);
  CopyValue(from.appendAfter, from.appendAfterLength, to->appendAfter,
            &to->appendAfterLength);
  CopyValue(from.account, from.accountLength, to->account, &to->accountLength);
  CopyValue(from.alwaysSsl, from.alwaysSslLength, to->alwaysSsl,
            &to->alwaysSslLength);
  CopyValue(from.diagnostics, from.diagnosticsLength, to->diagnostics,
            &to->diagnosticsLength);
  CopyValue(from.snippet, from.snippetLength, to->snippet, &to->snippetLength);
  CopyValue(from.snippetMarker, from.snippetMarkerLength, to->snippetMarker,
            &to->snippetMarkerLength);
}

bool ReadSiteConfig(HTTP_FILTER_CONTEXT* pfc, const ResponseFacts& facts,
                    SiteConfig* config) {
  config->insertBefore[0] = config->appendAfter[0] = '\0';
  config->account[0] = config->alwaysSsl[0] = '\0';
  config->diagnostics[0] = '\0';
  config->insertBeforeLength = config->appendAfterLength = 0;
  config->accountLength = config->alwaysSslLength = 0;
  config->diagnosticsLength = 0;
  config->snippet[0] = config->snippetMarker[0] = '\0';
  config->snippetLength = config->snippetMarkerLength = 0;

  char path[kConfigPathSize];
  if (ConfigFilePath(pfc, path)) ReadConfigValues(path, config);
  return config->accountLength > 0 || (facts.flags & kHasAccountHeader) != 0;
}
