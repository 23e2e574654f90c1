// Target to file; see static_site.h. Every refusal that the target alone
// decides is made on the decoded segments before the file system is asked.
// Then the file is opened below the application's directory descriptor, so
// that no component can be swapped between a check and the open, and every
// later answer (type, size, identity) comes from the open descriptor.
#include "commands/serve/static_site.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "commands/serve/open_below.h"

namespace tagsmith::host {

namespace fs = std::filesystem;

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

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
