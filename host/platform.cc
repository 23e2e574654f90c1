// The host's only system calls; see platform.h.
#include "host/platform.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cerrno>
#include <cstring>
#endif

#include <vector>

namespace tagsmith::host::platform {

#ifdef _WIN32

namespace {

// The system's text for the last error. Some texts have a "%1" for the
// file concerned; it is replaced with `insert`.
std::string LastErrorText(const std::string& insert = "") {
  DWORD code = GetLastError();
  char* text = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string result =
      length ? std::string(text, length) : "error " + std::to_string(code);
  if (text) LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                             result.back() == '.'))
    result.pop_back();
  const std::string file = insert.empty() ? "the file" : insert;
  for (std::string::size_type at = 0;
       (at = result.find("%1", at)) != std::string::npos; at += file.size())
    result.replace(at, 2, file);
  return result;
}

}  // namespace

bool SharedLibrary::Open(const std::string& path, std::string* error) {
  std::string where = path;
  if (where.find_first_of("\\/") == std::string::npos) where = ".\\" + where;
  HMODULE module = LoadLibraryA(where.c_str());
  if (!module) {
    *error = LastErrorText(where);
    return false;
  }
  handle_ = module;
  return true;
}

AnyFunction SharedLibrary::Find(const char* name) const {
  // Through void(*)() so the cast names no particular signature.
  return reinterpret_cast<AnyFunction>(
      GetProcAddress(static_cast<HMODULE>(handle_), name));
}

SharedLibrary::~SharedLibrary() {
  if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
}

const char* FilterLibraryFileName() { return "Tagsmith.dll"; }

bool ExecutableDirectory(std::string* directory, std::string* error) {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    DWORD length = GetModuleFileNameA(nullptr, buffer.data(),
                                      static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      *error = "cannot find the program's own path: " + LastErrorText();
      return false;
    }
    if (length < buffer.size()) {
      std::string path(buffer.data(), length);
      std::string::size_type slash = path.find_last_of("\\/");
      *directory = slash == std::string::npos ? "." : path.substr(0, slash);
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  return directory + "\\" + name;
}

void UseBinaryMode(std::FILE* stream) { _setmode(_fileno(stream), _O_BINARY); }

void ReturnFreeMemory() {}

std::uint64_t PhysicalMemory() {
  MEMORYSTATUSEX status;
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return 0;
  return status.ullTotalPhys;
}

void SetCallbackError(CallbackError error) {
  switch (error) {
    case CallbackError::kInsufficientBuffer:
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      break;
    case CallbackError::kUnknownVariable:
      SetLastError(ERROR_INVALID_INDEX);
      break;
    case CallbackError::kNoData:
      SetLastError(ERROR_NO_DATA);
      break;
    case CallbackError::kNotSupported:
      SetLastError(ERROR_NOT_SUPPORTED);
      break;
  }
}

#else  // !_WIN32

bool SharedLibrary::Open(const std::string& path, std::string* error) {
  // dlopen searches the library path for a name without a slash.
  std::string where = path;
  if (where.find('/') == std::string::npos) where = "./" + where;
  dlerror();
  handle_ = dlopen(where.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* text = dlerror();
    *error = text ? text : "unknown error";
    return false;
  }
  return true;
}

AnyFunction SharedLibrary::Find(const char* name) const {
  return reinterpret_cast<AnyFunction>(dlsym(handle_, name));
}

SharedLibrary::~SharedLibrary() {
  if (handle_) dlclose(handle_);
}

const char* FilterLibraryFileName() { return "libtagsmith.so"; }

bool ExecutableDirectory(std::string* directory, std::string* error) {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) {
      *error = std::string("cannot find the program's own path: ") +
               std::strerror(errno);
      return false;
    }
    if (static_cast<std::size_t>(length) < buffer.size()) {
      std::string path(buffer.data(), static_cast<std::size_t>(length));
      std::string::size_type slash = path.rfind('/');
      *directory = slash == std::string::npos ? "."
                   : slash == 0               ? "/"
                                              : path.substr(0, slash);
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (!directory.empty() && directory.back() == '/') return directory + name;
  return directory + "/" + name;
}

void UseBinaryMode(std::FILE*) {}

void ReturnFreeMemory() {
#ifdef __GLIBC__
  malloc_trim(0);
#endif
}

std::uint64_t PhysicalMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<std::uint64_t>(pages) *
         static_cast<std::uint64_t>(page_size);
}

void SetCallbackError(CallbackError) {}

#endif  // _WIN32

}  // namespace tagsmith::host::platform
