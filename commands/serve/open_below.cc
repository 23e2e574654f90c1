// See open_below.h.
#include "commands/serve/open_below.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>

#if defined(__linux__) && defined(SYS_openat2) && __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#define TAGSMITH_HAVE_OPENAT2 1
#else
#define TAGSMITH_HAVE_OPENAT2 0
#endif

namespace tagsmith::host {

namespace {

// Symbolic links followed in one lookup before it gives up, as the kernel.
constexpr int kMaxLinks = 40;
// The file itself: never blocks on a pipe, never becomes a terminal.
constexpr int kFileFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

}  // namespace

bool EndsWithNoCase(std::string_view text, std::string_view tail) {
  if (text.size() < tail.size()) return false;
  text.remove_prefix(text.size() - tail.size());
  for (std::size_t i = 0; i < tail.size(); ++i)
    if (Lower(text[i]) != tail[i]) return false;
  return true;
}

bool IsConfigName(std::string_view name) {
  return EndsWithNoCase(name, ".config");
}
bool IsHidden(std::string_view name) {
  assert(!name.empty());
  return name[0] == '.';
}

std::vector<std::string> SplitSegments(std::string_view path) {
  std::vector<std::string> segments;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash > start) segments.emplace_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return segments;
}

Lookup::Kind KindForError(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case ENXIO:  // a socket or a device without its driver
    case EXDEV:  // openat2: the path would leave the directory
      return Lookup::Kind::kForbidden;
    case EMFILE:
    case ENFILE:
    case ENOMEM:
      return Lookup::Kind::kUnavailable;
    default:  // ENOENT, ENOTDIR, ENAMETOOLONG, ELOOP (too many links), ...
      return Lookup::Kind::kNotFound;
  }
}

namespace {

// Opens `names` below `root` one component at a time: each directory with
// O_PATH from the descriptor of the one before, the last with kFileFlags,
// all with O_NOFOLLOW. A component that is a symbolic link is read and its
// target's components take its place: ".." steps back to the directory
// before (never above `root`); an absolute target is followed only when it
// names `root_path` or lies below it. The kind of failure otherwise.
bool Walk(int root, const std::string& root_path,
          std::vector<std::string> names, Opened* opened,
          Lookup::Kind* failure) {
  std::reverse(names.begin(), names.end());  // the next name is last
  std::vector<FileHandle> directories;       // below root, innermost last
  int links = 0;
  while (!names.empty()) {
    const std::string name = std::move(names.back());
    names.pop_back();
    if (name == ".") continue;
    if (name == "..") {
      if (directories.empty()) {
        *failure = Lookup::Kind::kForbidden;
        return false;
      }
      directories.pop_back();
      continue;
    }
    const bool last = names.empty();
    // Links may bring names the target could not have.
    if (IsHidden(name) || (last && IsConfigName(name))) {
      *failure = Lookup::Kind::kNotFound;
      return false;
    }
    const int parent = directories.empty() ? root : directories.back().get();
    FileHandle next(openat(parent, name.c_str(),
                           (last ? kFileFlags : kDirectoryFlags) | O_NOFOLLOW));
    if (next.valid()) {
      if (last) {
        opened->file = std::move(next);
        opened->name = name;
        return true;
      }
      directories.push_back(std::move(next));
      continue;
    }
    const int error = errno;
    // O_NOFOLLOW answers ELOOP for a link; O_DIRECTORY, ENOTDIR for a link
    // or a file. Only reading the link tells which.
    if (error != ELOOP && error != ENOTDIR) {
      *failure = KindForError(error);
      return false;
    }
    std::string target(4096, '\0');
    const ssize_t size =
        readlinkat(parent, name.c_str(), &target[0], target.size());
    if (size < 0 || static_cast<std::size_t>(size) >= target.size() ||
        ++links > kMaxLinks) {
      *failure = Lookup::Kind::kNotFound;
      return false;
    }
    target.resize(static_cast<std::size_t>(size));
    std::string_view rest = target;
    if (!rest.empty() && rest[0] == '/') {
      // Absolute: only into the application, then from its directory.
      if (rest.compare(0, root_path.size(), root_path) != 0 ||
          (rest.size() > root_path.size() && rest[root_path.size()] != '/' &&
           root_path != "/")) {
        *failure = Lookup::Kind::kForbidden;
        return false;
      }
      rest.remove_prefix(root_path.size());
      directories.clear();
    }
    std::vector<std::string> parts = SplitSegments(rest);
    for (auto part = parts.rbegin(); part != parts.rend(); ++part)
      names.push_back(std::move(*part));
  }
  // The names ran out on "." or "..": the file is the directory reached.
  const int at = directories.empty() ? root : directories.back().get();
  FileHandle self(openat(at, ".", kFileFlags));
  if (!self.valid()) {
    *failure = KindForError(errno);
    return false;
  }
  opened->file = std::move(self);
  opened->name = ".";
  return true;
}

#if TAGSMITH_HAVE_OPENAT2
// openat2 confined below `root`, following no link; -1 and errno otherwise.
int OpenBeneath(int root, const std::string& path, int flags) {
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_SYMLINKS;
  return static_cast<int>(
      syscall(SYS_openat2, root, path.c_str(), &how, sizeof how));
}
#endif

}  // namespace

bool ProbeOneStep(int root) {
#if TAGSMITH_HAVE_OPENAT2
  FileHandle probe(OpenBeneath(root, ".", kDirectoryFlags));
  return probe.valid();
#else
  (void)root;
  return false;
#endif
}

bool OpenInside(const Application& app, bool one_step,
                const std::vector<std::string>& names, Opened* opened,
                Lookup::Kind* failure) {
#if TAGSMITH_HAVE_OPENAT2
  if (one_step) {
    std::string path;
    for (const std::string& name : names)
      path += (path.empty() ? "" : "/") + name;
    FileHandle file(OpenBeneath(app.root.get(), path, kFileFlags));
    if (file.valid()) {
      opened->file = std::move(file);
      opened->name = names.back();
      return true;
    }
    // ELOOP: a link on the way, which the walk resolves; EAGAIN: the kernel
    // could not rule out a race, which the walk does not meet.
    if (errno != ELOOP && errno != EAGAIN) {
      *failure = KindForError(errno);
      return false;
    }
  }
#else
  (void)one_step;
#endif
  return Walk(app.root.get(), app.directory, names, opened, failure);
}

}  // namespace tagsmith::host
