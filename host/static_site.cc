// Target to file; see static_site.h. Every refusal that the target alone
// decides is made on the decoded segments before the file system is asked.
// Then the file is opened below the application's directory descriptor, so
// that no component can be swapped between a check and the open, and every
// later answer (type, size, identity) comes from the open descriptor.
#include "host/static_site.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#if defined(__linux__) && defined(SYS_openat2) && __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#define TAGSMITH_HAVE_OPENAT2 1
#else
#define TAGSMITH_HAVE_OPENAT2 0
#endif

namespace tagsmith::host {

namespace fs = std::filesystem;

namespace {

// Symbolic links followed in one lookup before it gives up, as the kernel.
constexpr int kMaxLinks = 40;
// The file itself: never blocks on a pipe, never becomes a terminal.
constexpr int kFileFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
// A directory on the way to it: only a handle to look up names below.
constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

bool EndsWithNoCase(std::string_view text, std::string_view tail) {
  if (text.size() < tail.size()) return false;
  text.remove_prefix(text.size() - tail.size());
  for (std::size_t i = 0; i < tail.size(); ++i)
    if (Lower(text[i]) != tail[i]) return false;
  return true;
}

// Never served, whatever the directory: the filter's own settings and every
// other configuration file. Nor is anything below a hidden name.
bool IsConfigName(std::string_view name) {
  return EndsWithNoCase(name, ".config");
}
bool IsHidden(std::string_view name) { return name[0] == '.'; }

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

// A file opened below a directory, and the name it was found under.
struct Opened {
  FileHandle file;
  std::string name;
};

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

// Whether this kernel (and whatever filters its system calls) has openat2.
bool ProbeOneStep(int root) {
#if TAGSMITH_HAVE_OPENAT2
  FileHandle probe(OpenBeneath(root, ".", kDirectoryFlags));
  return probe.valid();
#else
  (void)root;
  return false;
#endif
}

// Opens `names` below the application's directory, in one step when the
// kernel allows and nothing on the way is a link, else by the walk.
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

Lookup Refuse(Lookup::Kind kind, const std::string& app_directory) {
  Lookup lookup;
  lookup.kind = kind;
  lookup.app_directory = app_directory;
  return lookup;
}

}  // namespace

bool PercentDecode(std::string_view text, std::string* decoded) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    c = Lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = hex(text[i + 1]);
    const int low = hex(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  *decoded = std::move(out);
  return true;
}

StaticSite::StaticSite(const std::vector<Mount>& mounts,
                       Resolution resolution) {
  for (const Mount& mount : mounts) {
    if (mount.prefix.empty() || mount.prefix[0] != '/')
      throw std::invalid_argument("application prefix '" + mount.prefix +
                                  "' does not start with '/'");
    Application app;
    app.segments = SplitSegments(mount.prefix);
    for (const std::string& segment : app.segments)
      if (segment == "." || segment == ".." ||
          segment.find_first_of("%\\?#") != std::string::npos)
        throw std::invalid_argument("application prefix '" + mount.prefix +
                                    "' has a segment that no request can "
                                    "match");
    app.prefix = "/";
    for (std::size_t i = 0; i < app.segments.size(); ++i)
      app.prefix += (i ? "/" : "") + app.segments[i];
    for (const Application& other : apps_)
      if (other.prefix == app.prefix)
        throw std::invalid_argument("two applications at '" + app.prefix + "'");
    std::error_code error;
    fs::path directory = fs::canonical(mount.directory, error);
    if (error)
      throw std::invalid_argument("application directory '" + mount.directory +
                                  "': " + error.message());
    if (!fs::is_directory(directory, error))
      throw std::invalid_argument("application directory '" + mount.directory +
                                  "' is not a directory");
    app.directory = directory.string();
    app.root = FileHandle(open(app.directory.c_str(), kDirectoryFlags));
    if (!app.root.valid())
      throw std::invalid_argument(
          "application directory '" + mount.directory +
          "': " + std::error_code(errno, std::generic_category()).message());
    apps_.push_back(std::move(app));
  }
  if (std::none_of(apps_.begin(), apps_.end(),
                   [](const Application& a) { return a.segments.empty(); }))
    throw std::invalid_argument("no application at '/'");
  std::stable_sort(apps_.begin(), apps_.end(),
                   [](const Application& a, const Application& b) {
                     return a.segments.size() > b.segments.size();
                   });
  for (const Application& app : apps_)
    config_directories_.push_back(app.root.get());
  one_step_ = resolution == Resolution::kAutomatic &&
              ProbeOneStep(apps_.back().root.get());
}

const Application& StaticSite::ApplicationFor(
    const std::vector<std::string>& segments) const {
  for (const Application& app : apps_) {
    if (app.segments.size() > segments.size()) continue;
    if (std::equal(app.segments.begin(), app.segments.end(), segments.begin()))
      return app;
  }
  return apps_.back();  // "/" has no segments, so it is last and matches all
}

Lookup StaticSite::Resolve(std::string_view target) const {
  const std::string& root_directory = apps_.back().directory;
  // Only origin form; and since a redirect repeats the target in a header,
  // no control bytes, spaces or bytes past ASCII either.
  if (target.empty() || target[0] != '/' ||
      std::any_of(target.begin(), target.end(), [](char c) {
        return static_cast<unsigned char>(c) <= 0x20 ||
               static_cast<unsigned char>(c) >= 0x7f;
      }))
    return Refuse(Lookup::Kind::kBadRequest, root_directory);
  const std::string_view raw_path = target.substr(0, target.find('?'));
  const std::string_view query = target.substr(raw_path.size());
  const bool slash_at_end = raw_path.back() == '/';

  const std::vector<std::string> raw_segments = SplitSegments(raw_path);
  std::vector<std::string> segments;
  bool refused_name = false;
  for (const std::string& raw : raw_segments) {
    std::string segment;
    if (!PercentDecode(raw, &segment) || segment == "." || segment == ".." ||
        segment.find_first_of(std::string_view("/\\\0", 3)) !=
            std::string::npos)
      return Refuse(Lookup::Kind::kBadRequest, root_directory);
    if (IsHidden(segment)) refused_name = true;
    segments.push_back(std::move(segment));
  }

  const Application& app = ApplicationFor(segments);
  if (refused_name || (!segments.empty() && IsConfigName(segments.back())))
    return Refuse(Lookup::Kind::kNotFound, app.directory);

  std::vector<std::string> names(segments.begin() + app.segments.size(),
                                 segments.end());
  auto redirect = [&] {
    // Leading slashes collapsed: "//host/" would name another server.
    Lookup lookup;
    lookup.kind = Lookup::Kind::kRedirect;
    for (const std::string& raw : raw_segments) lookup.location += "/" + raw;
    lookup.location += "/" + std::string(query);
    lookup.app_directory = app.directory;
    return lookup;
  };
  // The application's own directory.
  if (names.empty() && !slash_at_end) return redirect();
  bool index = names.empty();
  if (index) names.push_back("index.html");
  Opened opened;
  Lookup::Kind failure = Lookup::Kind::kNotFound;
  struct stat status;
  for (;;) {
    if (!OpenInside(app, one_step_, names, &opened, &failure))
      return Refuse(failure, app.directory);
    if (fstat(opened.file.get(), &status) != 0)
      return Refuse(KindForError(errno), app.directory);
    if (!S_ISDIR(status.st_mode) || index) break;
    if (!slash_at_end) return redirect();
    names.push_back("index.html");
    index = true;
  }
  // "page.html/" asks for a directory, which a file is not.
  if (slash_at_end && !index && S_ISREG(status.st_mode))
    return Refuse(Lookup::Kind::kNotFound, app.directory);
  // Pipes and devices could block a reader or never end.
  if (!S_ISREG(status.st_mode))
    return Refuse(Lookup::Kind::kForbidden, app.directory);
  // The filter's settings of any application under another name (a hard
  // link, or a link to what a settings file links to).
  for (const int directory : config_directories_) {
    struct stat config;
    if (fstatat(directory, "tagsmith.config", &config, 0) == 0 &&
        config.st_dev == status.st_dev && config.st_ino == status.st_ino)
      return Refuse(Lookup::Kind::kNotFound, app.directory);
  }

  Lookup lookup;
  lookup.kind = Lookup::Kind::kFile;
  lookup.file = std::move(opened.file);
  lookup.name = std::move(opened.name);
  lookup.size = static_cast<std::uint64_t>(status.st_size);
  lookup.device = status.st_dev;
  lookup.inode = status.st_ino;
  lookup.modified_ns =
      static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 +
      status.st_mtim.tv_nsec;
  lookup.app_directory = app.directory;
  return lookup;
}

const char* ContentTypeFor(std::string_view file_name) {
  static const struct {
    const char* extension;
    const char* type;
  } kTypes[] = {
      {".html", "text/html"},        {".htm", "text/html"},
      {".css", "text/css"},          {".js", "text/javascript"},
      {".mjs", "text/javascript"},   {".json", "application/json"},
      {".txt", "text/plain"},        {".xml", "application/xml"},
      {".svg", "image/svg+xml"},     {".png", "image/png"},
      {".jpg", "image/jpeg"},        {".jpeg", "image/jpeg"},
      {".gif", "image/gif"},         {".webp", "image/webp"},
      {".ico", "image/x-icon"},      {".pdf", "application/pdf"},
      {".wasm", "application/wasm"}, {".woff", "font/woff"},
      {".woff2", "font/woff2"},
  };
  const std::size_t slash = file_name.find_last_of('/');
  if (slash != std::string_view::npos) file_name.remove_prefix(slash + 1);
  for (const auto& entry : kTypes)
    if (EndsWithNoCase(file_name, entry.extension)) return entry.type;
  return "application/octet-stream";
}

}  // namespace tagsmith::host
