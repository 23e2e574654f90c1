// Loading a filter and asking it what it wants; see filter_module.h.
#include "host/filter_module.h"

#include <cstring>
#include <utility>

#include "host/platform.h"

namespace tagsmith::host {

namespace {

// Opens `library` from `path` and finds the two entry points.
FilterEntryPoints OpenFilterLibrary(platform::SharedLibrary& library,
                                    const std::string& path) {
  std::string error;
  if (!library.Open(path, &error))
    throw FilterLoadError("cannot load filter library '" + path +
                          "': " + error);
  FilterEntryPoints entry_points;
  platform::AnyFunction found = library.Find("GetFilterVersion");
  if (!found)
    throw FilterLoadError("filter library '" + path +
                          "' does not export GetFilterVersion");
  entry_points.get_filter_version = reinterpret_cast<GetFilterVersionFn>(found);
  found = library.Find("HttpFilterProc");
  if (!found)
    throw FilterLoadError("filter library '" + path +
                          "' does not export HttpFilterProc");
  entry_points.http_filter_proc = reinterpret_cast<HttpFilterProcFn>(found);
  return entry_points;
}

}  // namespace

FilterModule FilterModule::Load(const std::string& path) {
  auto library = std::make_unique<platform::SharedLibrary>();
  const FilterEntryPoints entry_points = OpenFilterLibrary(*library, path);
  return FilterModule(std::move(library), entry_points,
                      "filter library '" + path + "'");
}

void FilterModule::CheckLoadable(const std::string& path) {
  platform::SharedLibrary library;
  OpenFilterLibrary(library, path);
}

FilterModule FilterModule::FromEntryPoints(
    const FilterEntryPoints& entry_points) {
  if (!entry_points.get_filter_version || !entry_points.http_filter_proc)
    throw FilterLoadError("filter is missing an entry point");
  return FilterModule(nullptr, entry_points, "filter");
}

FilterModule::FilterModule(std::unique_ptr<platform::SharedLibrary> library,
                           const FilterEntryPoints& entry_points,
                           const std::string& name)
    : library_(std::move(library)), entry_points_(entry_points) {
  std::memset(&version_, 0, sizeof version_);
  version_.dwServerFilterVersion = HTTP_FILTER_REVISION;
  if (!entry_points_.get_filter_version(&version_))
    throw FilterLoadError(name +
                          ": GetFilterVersion returned FALSE (filter refused "
                          "to load)");
  // A description that fills the whole field would have no end.
  version_.lpszFilterDesc[SF_MAX_FILTER_DESC_LEN - 1] = '\0';
}

FilterModule::FilterModule(FilterModule&&) noexcept = default;
FilterModule& FilterModule::operator=(FilterModule&&) noexcept = default;
FilterModule::~FilterModule() = default;

bool FilterModule::Wants(DWORD notification, bool secure_port) const {
  const DWORD flags = version_.dwFlags;
  if ((flags & notification) != notification) return false;
  const DWORD ports = SF_NOTIFY_SECURE_PORT | SF_NOTIFY_NONSECURE_PORT;
  if ((flags & ports) == 0) return true;
  return (flags & (secure_port ? SF_NOTIFY_SECURE_PORT
                               : SF_NOTIFY_NONSECURE_PORT)) != 0;
}

}  // namespace tagsmith::host
