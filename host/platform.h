// The few operating-system calls the host needs, behind one interface so the
// same host sources build for Linux (dlopen, /proc/self/exe) and Windows
// (LoadLibrary, GetModuleFileName). Nothing else in host/ includes a system
// header. A SharedLibrary owns its handle and closes it when destroyed.
#ifndef TAGSMITH_HOST_PLATFORM_H_
#define TAGSMITH_HOST_PLATFORM_H_

#include <cstdint>
#include <cstdio>
#include <string>

namespace tagsmith::host::platform {

// Any function; cast to the real type once the name has been found.
using AnyFunction = void (*)();

class SharedLibrary {
 public:
  // Opens the library at `path`, resolving all its symbols now and keeping
  // them out of the global namespace. A bare file name is taken relative to
  // the current directory, never searched for. Returns false and sets
  // *error on failure.
  bool Open(const std::string& path, std::string* error);
  // The exported function `name`, or null.
  AnyFunction Find(const char* name) const;

  SharedLibrary() = default;
  ~SharedLibrary();
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

 private:
  void* handle_ = nullptr;
};

// File name of the filter library as the web server expects it on this
// system.
const char* FilterLibraryFileName();

// Directory holding the running executable, without a trailing separator.
// Returns false and sets *error when it cannot be found.
bool ExecutableDirectory(std::string* directory, std::string* error);

// Joins a directory and a file name with this system's separator.
std::string JoinPath(const std::string& directory, const std::string& name);

// The error codes a server callback leaves for the filter's GetLastError on
// Windows, as the real server does; nothing happens on other systems.
enum class CallbackError {
  kInsufficientBuffer,
  kUnknownVariable,
  kNoData,
  kNotSupported
};
void SetCallbackError(CallbackError error);

// The machine's physical memory in bytes; 0 when it cannot be had.
std::uint64_t PhysicalMemory();

// Gives the heap's free pages back to the system (glibc's malloc_trim);
// nothing where the heap has no such call.
void ReturnFreeMemory();

// Makes a standard stream pass bytes unchanged (no CR LF translation).
void UseBinaryMode(std::FILE* stream);

}  // namespace tagsmith::host::platform

#endif  // TAGSMITH_HOST_PLATFORM_H_
