// A filter as the web server holds it: its two entry points and the
// HTTP_FILTER_VERSION record it filled in once, when it was loaded. The
// module owns the loaded library (if any) and the version record; the
// filter's code and data stay the library's.
#ifndef TAGSMITH_HOST_FILTER_MODULE_H_
#define TAGSMITH_HOST_FILTER_MODULE_H_

#include <memory>
#include <stdexcept>
#include <string>

#include "isapi/isapi.h"

namespace tagsmith::host {

namespace platform {
class SharedLibrary;
}

// Why a filter could not be loaded; what() is one line fit for a user.
class FilterLoadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The two functions a filter exports, however they were found.
struct FilterEntryPoints {
  GetFilterVersionFn get_filter_version = nullptr;
  HttpFilterProcFn http_filter_proc = nullptr;
};

class FilterModule {
 public:
  // Loads the library at `path` through its two exported entry points and
  // calls GetFilterVersion once. Throws FilterLoadError.
  static FilterModule Load(const std::string& path);
  // Opens the library at `path` and finds both entry points, without
  // calling either, then closes it again: a check a server makes at start-up
  // before it loads the filter for real. Throws FilterLoadError.
  static void CheckLoadable(const std::string& path);
  // Takes entry points that are already in this process (tests use fakes)
  // and calls GetFilterVersion once. Throws FilterLoadError.
  static FilterModule FromEntryPoints(const FilterEntryPoints& entry_points);

  FilterModule(FilterModule&&) noexcept;
  FilterModule& operator=(FilterModule&&) noexcept;
  ~FilterModule();

  // The record as GetFilterVersion left it (description NUL-terminated).
  const HTTP_FILTER_VERSION& version() const { return version_; }
  std::string description() const { return version_.lpszFilterDesc; }
  DWORD flags() const { return version_.dwFlags; }

  // Whether the filter asked for `notification` on a connection that is
  // (or is not) secure. A filter that names neither port kind gets both.
  bool Wants(DWORD notification, bool secure_port) const;

  // Calls HttpFilterProc.
  DWORD Notify(HTTP_FILTER_CONTEXT* context, DWORD notification,
               void* record) const {
    return entry_points_.http_filter_proc(context, notification, record);
  }

 private:
  FilterModule(std::unique_ptr<platform::SharedLibrary> library,
               const FilterEntryPoints& entry_points, const std::string& name);

  std::unique_ptr<platform::SharedLibrary> library_;  // null for fakes
  FilterEntryPoints entry_points_;
  HTTP_FILTER_VERSION version_;
};

}  // namespace tagsmith::host

#endif  // TAGSMITH_HOST_FILTER_MODULE_H_
