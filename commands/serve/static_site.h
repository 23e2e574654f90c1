// The files `tagsmith serve` may send: web applications mounted at URL
// prefixes, and the mapping of a request target to one open file inside one
// of them. A StaticSite owns the applications' canonical directories and a
// descriptor of each, opened once; a lookup opens the file it answers, below
// that descriptor, and hands the descriptor to the caller, so what was
// checked is what is read. Lookups are safe from many threads at once.
#ifndef TAGSMITH_COMMANDS_SERVE_STATIC_SITE_H_
#define TAGSMITH_COMMANDS_SERVE_STATIC_SITE_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "commands/serve/file_handle.h"

namespace tagsmith::host {

struct Mount {
  std::string prefix;     // "/" or "/blog" ("/blog/" is taken as "/blog")
  std::string directory;  // as the user gave it
};

struct Application {
  std::string prefix;                 // "/" or "/a/b", no trailing slash
  std::vector<std::string> segments;  // the prefix's segments, {} for "/"
  std::string directory;              // canonical, no trailing slash
  FileHandle root;                    // that directory, opened O_PATH
};

struct Lookup {
  enum class Kind {
    kFile,         // send what `file` holds
    kRedirect,     // a directory asked for without its slash: go to `location`
    kBadRequest,   // a target that can name no file (400)
    kForbidden,    // leads out of its application, or is no plain file (403)
    kNotFound,     // no such file, or one never served (404)
    kUnavailable,  // the server is out of descriptors or memory (503)
  };
  Kind kind = Kind::kNotFound;
  // kFile: the regular file, open for reading; its own name (after links,
  // for its Content-Type); and what fstat said of it when it was opened.
  FileHandle file;
  std::string name;
  std::uint64_t size = 0;
  dev_t device = 0;
  ino_t inode = 0;
  std::int64_t modified_ns = 0;  // st_mtim, in nanoseconds since the epoch
  std::string location;          // kRedirect: the path, one leading slash
  // The directory of the application the target falls in (the root
  // application's for a bad request): the request's APPL_PHYSICAL_PATH.
  std::string app_directory;
};

// How a lookup opens a file below its application's directory.
enum class Resolution {
  // openat2 confined below the directory, with no symbolic link followed,
  // when the kernel has it (probed once); a target that meets a link, or a
  // kernel without it, takes the walk.
  kAutomatic,
  // Always the walk: one component at a time from the directory's
  // descriptor, never following a link in the kernel; links are read and
  // resolved here, inside the directory.
  kWalk,
};

class StaticSite {
 public:
  // Canonicalises and opens every directory. Throws std::invalid_argument
  // when no mount is at "/", a prefix is given twice or is malformed, or a
  // directory does not exist or is no directory.
  explicit StaticSite(const std::vector<Mount>& mounts,
                      Resolution resolution = Resolution::kAutomatic);

  // Maps a request target in origin form ("/path?query") to a file:
  // - the path is percent-decoded segment by segment; a bad escape, a NUL,
  //   a "." or ".." segment, or a "/" or "\" inside a segment (encoded) is a
  //   bad request; empty segments are skipped;
  // - the application is the one with the longest prefix matching whole
  //   leading segments;
  // - a name starting with "." (hidden files), and a file whose name ends
  //   in ".config", either as asked or met while following symbolic links,
  //   is not found;
  //   so is any application's tagsmith.config under any other name (the
  //   same device and inode), in every application;
  // - every component is opened below the application's directory; a
  //   symbolic link that leads out of it (absolute or through "..") is
  //   forbidden;
  // - a directory is served by its index.html when the target ends in "/",
  //   else redirected to the target with "/" added and its leading slashes
  //   collapsed; no index.html is not found; anything but a regular file is
  //   forbidden.
  Lookup Resolve(std::string_view target) const;

  // Whether lookups open in one step (openat2) or walk.
  bool opens_in_one_step() const { return one_step_; }

  const std::vector<Application>& applications() const { return apps_; }
  // The application a decoded path's segments fall in.
  const Application& ApplicationFor(
      const std::vector<std::string>& segments) const;

 private:
  std::vector<Application> apps_;  // longest prefix first
  // Every application's directory (descriptors of apps_' roots): no file
  // served may be the tagsmith.config of any of them.
  std::vector<int> config_directories_;
  bool one_step_ = false;
};

// Decodes %XX escapes of one path segment. False for a malformed escape.
bool PercentDecode(std::string_view text, std::string* decoded);

// The Content-Type for a file name, from its extension (case-insensitive):
// text/html for .html and .htm, a small table of common types, else
// application/octet-stream.
const char* ContentTypeFor(std::string_view file_name);

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_SERVE_STATIC_SITE_H_
