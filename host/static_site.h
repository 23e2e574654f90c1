// The files `tagsmith serve` may send: web applications mounted at URL
// prefixes, and the mapping of a request target to one file inside one of
// them. A StaticSite owns copies of the applications' canonical directories;
// a lookup touches the file system (to resolve symbolic links) but opens no
// file. Lookups are safe from many threads at once.
#ifndef TAGSMITH_HOST_STATIC_SITE_H_
#define TAGSMITH_HOST_STATIC_SITE_H_

#include <string>
#include <string_view>
#include <vector>

namespace tagsmith::host {

struct Mount {
  std::string prefix;     // "/" or "/blog" ("/blog/" is taken as "/blog")
  std::string directory;  // as the user gave it
};

struct Application {
  std::string prefix;                 // "/" or "/a/b", no trailing slash
  std::vector<std::string> segments;  // the prefix's segments, {} for "/"
  std::string directory;              // canonical, no trailing slash
};

struct Lookup {
  enum class Kind {
    kFile,        // send `path`
    kRedirect,    // a directory asked for without its slash: go to `location`
    kBadRequest,  // a target that can name no file (400)
    kForbidden,   // leads out of its application, or is no plain file (403)
    kNotFound,    // no such file, or one never served (404)
  };
  Kind kind = Kind::kNotFound;
  std::string path;      // kFile: the canonical file
  std::string location;  // kRedirect
  // The directory of the application the target falls in (empty for a
  // bad request): the request's APPL_PHYSICAL_PATH.
  std::string app_directory;
};

class StaticSite {
 public:
  // Canonicalises every directory. Throws std::invalid_argument when no
  // mount is at "/", a prefix is given twice or is malformed, or a directory
  // does not exist or is no directory.
  explicit StaticSite(const std::vector<Mount>& mounts);

  // Maps a request target in origin form ("/path?query") to a file:
  // - the path is percent-decoded segment by segment; a bad escape, a NUL,
  //   a "." or ".." segment, or a "/" or "\" inside a segment (encoded) is a
  //   bad request; empty segments are skipped;
  // - the application is the one with the longest prefix matching whole
  //   leading segments;
  // - a segment starting with "." (hidden files) or a name ending in
  //   ".config" (either as asked or after symbolic links) is not found;
  // - the file's canonical path must lie inside the application's canonical
  //   directory (symbolic links that lead out are forbidden);
  // - a directory is served by its index.html when the target ends in "/",
  //   else redirected to the target with "/" added; no index.html is not
  //   found; anything but a regular file is forbidden.
  Lookup Resolve(std::string_view target) const;

  const std::vector<Application>& applications() const { return apps_; }
  // The application a decoded path's segments fall in.
  const Application& ApplicationFor(
      const std::vector<std::string>& segments) const;

 private:
  std::vector<Application> apps_;  // longest prefix first
};

// Decodes %XX escapes of one path segment. False for a malformed escape.
bool PercentDecode(std::string_view text, std::string* decoded);

// The Content-Type for a file name, from its extension (case-insensitive):
// text/html for .html and .htm, a small table of common types, else
// application/octet-stream.
const char* ContentTypeFor(std::string_view file_name);

}  // namespace tagsmith::host

#endif  // TAGSMITH_HOST_STATIC_SITE_H_
