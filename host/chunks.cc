// See chunks.h.
#include "host/chunks.h"

#include <stdexcept>
#include <string>

namespace tagsmith::host {

std::vector<std::string_view> SplitAt(std::string_view bytes,
                                      const std::vector<std::size_t>& offsets) {
  std::vector<std::string_view> chunks;
  chunks.reserve(offsets.size() + 1);
  std::size_t start = 0;
  for (std::size_t offset : offsets) {
    if (offset < start)
      throw std::invalid_argument("split offset " + std::to_string(offset) +
                                  " is smaller than the one before it (" +
                                  std::to_string(start) + ")");
    if (offset > bytes.size())
      throw std::invalid_argument("split offset " + std::to_string(offset) +
                                  " is past the end of the input (" +
                                  std::to_string(bytes.size()) + " bytes)");
    chunks.push_back(bytes.substr(start, offset - start));
    start = offset;
  }
  chunks.push_back(bytes.substr(start));
  return chunks;
}

}  // namespace tagsmith::host
