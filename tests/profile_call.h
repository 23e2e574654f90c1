// One call of ReadProfileString with its output buffer between guard
// bytes, so that the profile reader's tests see what it returned, what it
// wrote and whether it wrote outside the buffer. The result is the caller's.
#ifndef TAGSMITH_TESTS_PROFILE_CALL_H_
#define TAGSMITH_TESTS_PROFILE_CALL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tagging/profile_reader.h"

namespace profile_call {

// What one call gave back, read from a buffer of exactly `size` bytes that
// sits between guard bytes.
struct Result {
  std::uint32_t ret = 0;
  std::string value;  // the bytes before the NUL (or all `size` if none)
  std::string
      defects;  // empty when the NUL sits at out[ret] and no guard changed
};

inline Result Call(const char* section, const char* key, const char* def,
                   std::uint32_t size, const std::string& path) {
  constexpr std::size_t kGuard = 64;
  std::vector<unsigned char> block(kGuard + size + kGuard);
  for (std::size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<unsigned char>(i * 37 + 11);
  const std::vector<unsigned char> before = block;
  char* out = reinterpret_cast<char*>(block.data() + kGuard);

  Result r;
  r.ret = ReadProfileString(section, key, def, out, size, path.c_str());
  for (std::size_t i = 0; i < block.size(); ++i) {
    if ((i < kGuard || i >= kGuard + size) && block[i] != before[i]) {
      r.defects +=
          "wrote byte " +
          std::to_string(static_cast<long>(i) - static_cast<long>(kGuard)) +
          " outside out[0.." + std::to_string(size) + "); ";
      break;
    }
  }
  std::size_t len = 0;
  while (len < size && out[len] != '\0') ++len;
  r.value.assign(out, len);
  if (size > 0 && (r.ret >= size || out[r.ret] != '\0' || len != r.ret)) {
    r.defects += "NUL not at out[returns]; ";
  }
  return r;
}

}  // namespace profile_call

#endif  // TAGSMITH_TESTS_PROFILE_CALL_H_
