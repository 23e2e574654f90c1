// Calls ReadProfileString on arbitrary file bytes, with the section, key,
// default and buffer size chosen by the input, and checks what the reader
// promises whatever the file holds: it writes nothing outside out[0..size),
// the NUL sits at out[returned], the count is at most size-1, a value holds
// no line end, and a smaller buffer gets a cut of what a large one gets.
//
// Input layout (FuzzedDataProvider): the size and the choices from the end
// of the input; the section, key and default from its front (each ended by a
// backslash and one other byte); the file is the rest.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tagging/profile_reader.h"

namespace {

class ScratchFile {
 public:
  ScratchFile() {
    char pattern[] = "/tmp/tagsmith-fuzz-profile-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0) {
      std::perror("mkstemp");
      std::abort();
    }
    close(fd);
    path_ = pattern;
  }
  ~ScratchFile() { unlink(path_.c_str()); }
  const std::string& path() const { return path_; }
  void Write(const std::string& bytes) const {
    const int fd = open(path_.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) !=
                      static_cast<ssize_t>(bytes.size())) {
      std::perror("writing the profile");
      std::abort();
    }
    close(fd);
  }

 private:
  std::string path_;
};

[[noreturn]] void Fail(const char* what, std::uint32_t size,
                       std::uint32_t returned) {
  std::fprintf(stderr, "profile reader: %s (size %u, returned %u)\n", what,
               size, returned);
  std::abort();
}

struct Call {
  std::uint32_t returned;
  std::string value;
};

// One call into a buffer of exactly `size` bytes between guard bytes.
Call Read(const char* section, const char* key, const char* fallback,
          std::uint32_t size, const std::string& path) {
  constexpr std::size_t kGuard = 32;
  std::vector<unsigned char> block(kGuard + size + kGuard);
  for (std::size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<unsigned char>(0xA5 ^ i);
  char* out = reinterpret_cast<char*>(block.data() + kGuard);
  const std::uint32_t returned =
      ReadProfileString(section, key, fallback, out, size, path.c_str());
  for (std::size_t i = 0; i < block.size(); ++i) {
    if ((i < kGuard || i >= kGuard + size) &&
        block[i] != static_cast<unsigned char>(0xA5 ^ i)) {
      Fail("wrote outside the buffer", size, returned);
    }
  }
  if (size == 0) {
    if (returned != 0)
      Fail("returned a count for a buffer of no bytes", size, returned);
    return Call{0, ""};
  }
  if (returned > size - 1) Fail("returned more than size-1", size, returned);
  if (out[returned] != '\0') Fail("no NUL at out[returned]", size, returned);
  if (std::strlen(out) != returned)
    Fail("a NUL inside the value", size, returned);
  return Call{returned, std::string(out, returned)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static const ScratchFile file;
  FuzzedDataProvider input(data, size);
  const auto choices = input.ConsumeIntegral<std::uint8_t>();
  const auto bufferSize = input.ConsumeIntegralInRange<std::uint32_t>(0, 2100);
  const std::string section = input.ConsumeRandomLengthString(64);
  const std::string key = input.ConsumeRandomLengthString(64);
  const std::string fallback = input.ConsumeRandomLengthString(64);
  const std::string bytes = input.ConsumeRemainingBytesAsString();
  file.Write(bytes);

  const char* sectionArg = (choices & 1) ? nullptr : section.c_str();
  const char* keyArg = (choices & 2) ? nullptr : key.c_str();
  const char* fallbackArg = (choices & 4) ? nullptr : fallback.c_str();
  const Call call =
      Read(sectionArg, keyArg, fallbackArg, bufferSize, file.path());
  if (bufferSize == 0) return 0;

  // A buffer larger than the file (and the default) holds the whole value.
  const auto whole =
      static_cast<std::uint32_t>(bytes.size() + fallback.size() + 2);
  const Call full = Read(sectionArg, keyArg, fallbackArg, whole, file.path());
  const std::uint32_t cap = bufferSize - 1;
  if (full.value.compare(0, call.value.size(), call.value) != 0) {
    Fail("a small buffer got other bytes than a large one", bufferSize,
         call.returned);
  }
  // Cut to size-1; a quoted value of exactly size-1 may lose one more byte.
  const bool cut = call.returned == std::min<std::size_t>(full.returned, cap) ||
                   (full.returned == cap && call.returned + 1 == cap);
  if (!cut)
    Fail("the count is not the value's length cut to size-1", bufferSize,
         call.returned);
  if (sectionArg == nullptr || keyArg == nullptr) {
    // The default is read up to its first NUL, like any C string.
    const std::string expected =
        fallbackArg ? std::string(fallbackArg).substr(0, cap) : "";
    if (call.value != expected)
      Fail("a null name did not give the default", bufferSize, call.returned);
  }
  if (call.value.find_first_of("\r\n") != std::string::npos &&
      fallback.find_first_of("\r\n") == std::string::npos) {
    Fail("a value holds a line end", bufferSize, call.returned);
  }
  return 0;
}
