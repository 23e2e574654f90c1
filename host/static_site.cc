// Target to file; see static_site.h. Every refusal is decided on the decoded
// segments before the file system is asked, and the file system's answer is
// checked again after symbolic links are resolved.
#include "host/static_site.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace tagsmith::host {

namespace fs = std::filesystem;

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

bool EndsWithNoCase(std::string_view text, std::string_view tail) {
  if (text.size() < tail.size()) return false;
  text.remove_prefix(text.size() - tail.size());
  for (std::size_t i = 0; i < tail.size(); ++i)
    if (Lower(text[i]) != tail[i]) return false;
  return true;
}

// Never served, whatever the directory: the filter's own settings and every
// other configuration file.
bool IsConfigName(std::string_view name) {
  return EndsWithNoCase(name, ".config");
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

// `path` is `root` or lies below it; both canonical.
bool IsInside(const std::string& path, const std::string& root) {
  if (path == root) return true;
  if (root == "/") return path.size() > 1 && path[0] == '/';
  return path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
         path[root.size()] == '/';
}

// Resolves every symbolic link of `path`; the Lookup kind for a failure.
bool Canonical(const fs::path& path, std::string* canonical,
               Lookup::Kind* failure) {
  std::error_code error;
  fs::path resolved = fs::canonical(path, error);
  if (error) {
    *failure = error == std::errc::permission_denied ? Lookup::Kind::kForbidden
                                                     : Lookup::Kind::kNotFound;
    return false;
  }
  *canonical = resolved.string();
  return true;
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

StaticSite::StaticSite(const std::vector<Mount>& mounts) {
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
        throw std::invalid_argument("two applications at '" + app.prefix +
                                    "'");
    std::error_code error;
    fs::path directory = fs::canonical(mount.directory, error);
    if (error)
      throw std::invalid_argument("application directory '" +
                                  mount.directory + "': " + error.message());
    if (!fs::is_directory(directory, error))
      throw std::invalid_argument("application directory '" +
                                  mount.directory + "' is not a directory");
    app.directory = directory.string();
    apps_.push_back(std::move(app));
  }
  if (std::none_of(apps_.begin(), apps_.end(),
                   [](const Application& a) { return a.segments.empty(); }))
    throw std::invalid_argument("no application at '/'");
  std::stable_sort(apps_.begin(), apps_.end(),
                   [](const Application& a, const Application& b) {
                     return a.segments.size() > b.segments.size();
                   });
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

  std::vector<std::string> segments;
  bool hidden = false;
  for (const std::string& raw : SplitSegments(raw_path)) {
    std::string segment;
    if (!PercentDecode(raw, &segment) || segment == "." || segment == ".." ||
        segment.find_first_of(std::string_view("/\\\0", 3)) !=
            std::string::npos)
      return Refuse(Lookup::Kind::kBadRequest, root_directory);
    if (segment[0] == '.') hidden = true;
    segments.push_back(std::move(segment));
  }

  const Application& app = ApplicationFor(segments);
  if (hidden || (!segments.empty() && IsConfigName(segments.back())))
    return Refuse(Lookup::Kind::kNotFound, app.directory);

  fs::path candidate = app.directory;
  for (std::size_t i = app.segments.size(); i < segments.size(); ++i)
    candidate /= fs::path(segments[i]);

  Lookup::Kind failure;
  std::string canonical;
  if (!Canonical(candidate, &canonical, &failure))
    return Refuse(failure, app.directory);
  if (!IsInside(canonical, app.directory))
    return Refuse(Lookup::Kind::kForbidden, app.directory);

  std::error_code error;
  fs::file_status status = fs::status(canonical, error);
  if (error) return Refuse(Lookup::Kind::kNotFound, app.directory);
  if (fs::is_directory(status)) {
    if (raw_path.back() != '/') {
      Lookup lookup;
      lookup.kind = Lookup::Kind::kRedirect;
      lookup.location = std::string(raw_path) + "/" + std::string(query);
      lookup.app_directory = app.directory;
      return lookup;
    }
    std::string index;
    if (!Canonical(fs::path(canonical) / "index.html", &index, &failure))
      return Refuse(failure, app.directory);
    if (!IsInside(index, app.directory))
      return Refuse(Lookup::Kind::kForbidden, app.directory);
    canonical = std::move(index);
    status = fs::status(canonical, error);
    if (error) return Refuse(Lookup::Kind::kNotFound, app.directory);
  } else if (raw_path.back() == '/') {
    // "page.html/" asks for a directory, which a file is not.
    return Refuse(Lookup::Kind::kNotFound, app.directory);
  }
  // A link may give a config file another name.
  if (IsConfigName(fs::path(canonical).filename().string()))
    return Refuse(Lookup::Kind::kNotFound, app.directory);
  // Pipes and devices could block a reader or never end.
  if (!fs::is_regular_file(status))
    return Refuse(Lookup::Kind::kForbidden, app.directory);

  Lookup lookup;
  lookup.kind = Lookup::Kind::kFile;
  lookup.path = std::move(canonical);
  lookup.app_directory = app.directory;
  return lookup;
}

const char* ContentTypeFor(std::string_view file_name) {
  static const struct {
    const char* extension;
    const char* type;
  } kTypes[] = {
      {".html", "text/html"},
      {".htm", "text/html"},
      {".css", "text/css"},
      {".js", "text/javascript"},
      {".mjs", "text/javascript"},
      {".json", "application/json"},
      {".txt", "text/plain"},
      {".xml", "application/xml"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},
      {".gif", "image/gif"},
      {".webp", "image/webp"},
      {".ico", "image/x-icon"},
      {".pdf", "application/pdf"},
      {".wasm", "application/wasm"},
      {".woff", "font/woff"},
      {".woff2", "font/woff2"},
  };
  const std::size_t slash = file_name.find_last_of('/');
  if (slash != std::string_view::npos) file_name.remove_prefix(slash + 1);
  for (const auto& entry : kTypes)
    if (EndsWithNoCase(file_name, entry.extension)) return entry.type;
  return "application/octet-stream";
}

}  // namespace tagsmith::host
