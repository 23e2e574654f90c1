// Cutting a response into the chunks the server sends one by one. The chunks
// are views into the caller's bytes, which must outlive them.
#ifndef TAGSMITH_HOST_CHUNKS_H_
#define TAGSMITH_HOST_CHUNKS_H_

#include <cstddef>
#include <string_view>
#include <vector>

namespace tagsmith::host {

// Cuts `bytes` at each offset: offsets {10, 200} give [0,10), [10,200) and
// [200,end); no offsets give one chunk (empty for empty bytes). Equal
// offsets give empty chunks. Throws std::invalid_argument when an offset is
// smaller than the one before it or past the end of `bytes`.
std::vector<std::string_view> SplitAt(std::string_view bytes,
                                      const std::vector<std::size_t>& offsets);

}  // namespace tagsmith::host

#endif  // TAGSMITH_HOST_CHUNKS_H_
