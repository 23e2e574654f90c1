// The file system side of a `tagsmith serve` lookup: the names never
// served, and opening a path below an application's directory so that no
// component can be swapped between a check and the open, and no link
// leads out of it. Owns nothing; an opened file is the caller's.
#ifndef TAGSMITH_COMMANDS_SERVE_OPEN_BELOW_H_
#define TAGSMITH_COMMANDS_SERVE_OPEN_BELOW_H_

#include <fcntl.h>

#include <string>
#include <string_view>
#include <vector>

#include "commands/serve/file_handle.h"
#include "commands/serve/static_site.h"

namespace tagsmith::host {

// A directory on the way to a file: only a handle to look up names below.
constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// Whether `text` ends with `tail` (lower case), ignoring ASCII case.
bool EndsWithNoCase(std::string_view text, std::string_view tail);

// Never served, whatever the directory: the filter's own settings and every
// other configuration file. Nor is anything below a hidden name.
bool IsConfigName(std::string_view name);
// REQUIRES: name is not empty.
bool IsHidden(std::string_view name);

// The non-empty segments of a path between its slashes.
std::vector<std::string> SplitSegments(std::string_view path);

// What an open's errno means for the lookup.
Lookup::Kind KindForError(int error);

// A file opened below a directory, and the name it was found under.
struct Opened {
  FileHandle file;
  std::string name;
};

// Whether this kernel (and whatever filters its system calls) opens below a
// directory in one step (openat2).
bool ProbeOneStep(int root);

// Opens `names` below the application's directory, in one step when the
// kernel allows and nothing on the way is a link, else one component at a
// time, reading each link (never above the directory). False with the kind
// of failure otherwise.
bool OpenInside(const Application& app, bool one_step,
                const std::vector<std::string>& names, Opened* opened,
                Lookup::Kind* failure);

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_SERVE_OPEN_BELOW_H_
