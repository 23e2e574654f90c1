// See outgoing.h.
#include "host/outgoing.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

namespace tagsmith::host {

namespace {

// Reads the first `size` bytes of the file; fewer when it has shrunk.
std::string ReadWhole(int file, std::uint64_t size) {
  std::string page(static_cast<std::size_t>(size), '\0');
  std::size_t got = 0;
  while (got < page.size()) {
    const ssize_t n =
        pread(file, &page[got], page.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  page.resize(got);
  return page;
}

}  // namespace

bool HeldCharge::Add(std::uint64_t size) noexcept {
  if (!budget_.Charge(size)) return false;
  size_ += size;
  return true;
}

void HeldCharge::ShrinkTo(std::uint64_t size) noexcept {
  if (size >= size_) return;
  budget_.Refund(size_ - size);
  size_ = size;
}

void CompressPage(Outgoing* out) noexcept {
  ResponsePlan& plan = out->plan;
  // The page and its compressed copy are both held while it is compressed.
  if (!out->charge.Add(plan.body_size + CompressedBound(plan.body_size))) {
    out->coder.Decline();
    return;
  }
  try {
    if (plan.file.valid()) {
      plan.text = ReadWhole(plan.file.get(), plan.body_size);
      plan.file = FileHandle();
      plan.body_size = plan.text.size();
    }
    out->coder.Compress(&plan.text);
    plan.body_size = plan.text.size();
  } catch (const std::bad_alloc&) {
    // Before the read, the file is still open; after it, the text is whole.
    out->coder.Decline();
  }
  out->charge.ShrinkTo(plan.text.capacity());
}

std::size_t NextBodyPiece(Outgoing* out, std::size_t chunk_size,
                          std::unique_ptr<char[]>* buffer, char** data) {
  const std::size_t size = static_cast<std::size_t>(
      std::min<std::uint64_t>(out->body_left, chunk_size));
  std::size_t got = 0;
  if (!out->plan.file.valid()) {
    // From the text itself, which nothing reads again.
    std::string& text = out->plan.text;
    const auto at = static_cast<std::size_t>(out->offset);
    got = at < text.size() ? std::min(size, text.size() - at) : 0;
    *data = got ? &text[at] : nullptr;
  } else {
    // From the descriptor the lookup opened: the file that was checked,
    // whatever its name means by now.
    if (!*buffer) buffer->reset(new char[chunk_size]);
    *data = buffer->get();
    ssize_t n;
    do {
      n = pread(out->plan.file.get(), *data, size,
                static_cast<off_t>(out->offset));
    } while (n < 0 && errno == EINTR);
    got = n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  if (got == 0) {
    // The file shrank since its length was sent: the body ends here, and
    // the client must see it cut short.
    out->body_short = true;
    out->body_left = 0;
    return 0;
  }
  out->offset += got;
  out->body_left -= got;
  return got;
}

void ObserveWritten(Outgoing* out, std::size_t written) {
  for (std::string_view piece : out->writing.pieces) {
    if (written == 0) return;
    const std::size_t taken = std::min(written, piece.size());
    out->framing.Observe(piece.substr(0, taken));
    written -= taken;
  }
}

std::uint64_t HeldBytes(const Outgoing& out) {
  return (out.request ? out.request->memory().bytes_charged() : 0) +
         out.charge.size();
}

}  // namespace tagsmith::host
