// See outgoing.h.
#include "commands/serve/outgoing.h"

#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <ctime>
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

// Whether the filter let the response go (it raises no more raw data).
bool LetGo(const Outgoing& out) {
  return (out.request->disabled_notifications() & SF_NOTIFY_SEND_RAW_DATA) != 0;
}

// Raises raw data for the next piece of the body; none when it has ended.
void SendNextPiece(Outgoing* out, const PumpContext& context) {
  char* data = nullptr;
  const std::size_t got =
      NextBodyPiece(out, context.chunk_size, context.buffer, &data);
  if (got == 0) return;
  // The piece is the server's own send buffer: the filter gets it as is.
  std::size_t size = got;
  if (out->coder.chunked()) {
    out->piece = out->coder.Piece(std::string_view(data, got));
    data = &out->piece[0];
    size = out->piece.size();
  }
  FilterCall call(context.call_began);
  out->request->SendRawData(data, size);
}

// Whether the rest of the body may go from the file straight to the
// socket: the filter let the response go, so it sees none of it, and the
// client gets the file's bytes as they are (no HEAD, no --chunked framing).
bool SendsFileItself(const Outgoing& out, const PumpContext& context) {
  return context.send_file && out.stage == Outgoing::Stage::kBody &&
         out.plan.file.valid() && !out.plan.head_only && !out.coder.chunked() &&
         out.body_left > 0 && !out.client.lost() && LetGo(out);
}

// Pieces of one write that need no allocation (one let through, the head,
// the last chunk...).
constexpr std::size_t kReservedPieces = 16;

}  // namespace

FilterCall::FilterCall(std::atomic<std::int64_t>& began) : began_(began) {
  const std::int64_t now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::chrono::steady_clock::now().time_since_epoch())
          .count();
  began_.store(std::max<std::int64_t>(now, 1), std::memory_order_relaxed);
}

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

void StartResponse(Outgoing* out, const PumpContext& context, unsigned version,
                   bool closing, bool secure) {
  const ResponsePlan& plan = out->plan;
  HeaderFields fields =
      ResponseFields(plan, version, closing, std::time(nullptr));
  out->coder.SetFields(plan.body_size, &fields);
  out->head = SerializeHead(plan.status, fields);
  RequestSettings settings;
  settings.app_physical_path = plan.app_directory;
  settings.secure_port = secure;
  // One system allocation per 64 KB of held response, not one per chunk.
  settings.arena_memory = true;
  // The filter's records, and the pieces it let through, are written from
  // where they lie, not copied first.
  settings.keep_memory_until_destroyed = true;
  settings.chunks_outlive_sends = true;
  settings.held_budget = &context.held;
  out->request =
      std::make_unique<StandInRequest>(context.filter, settings, out->client);
  // Everything the body needs is had before the filter sees a byte, so
  // that a response it lets go at once is not cut short.
  if (plan.file.valid() && !*context.buffer)
    context.buffer->reset(new char[context.chunk_size]);
  out->client.Reserve();
  out->writing.pieces.reserve(kReservedPieces);
  // HEAD feeds the filter the body GET would, so that its head is the
  // head GET gets; the client gets no body.
  if (plan.head_only) out->client.DropBody();
  out->body_left = plan.status == 304 ? 0 : plan.body_size;
  FilterCall call(context.call_began);
  out->request->SendResponse();
  out->request->SendRawData(&out->head[0], out->head.size());
}

PumpStep Pump(Outgoing* out, const PumpContext& context, const char** step) {
  assert(out->request != nullptr);
  for (;;) {
    *step = "the queue";
    if (out->client.failed()) return PumpStep::kFailed;
    if (SendsFileItself(*out, context)) return PumpStep::kSendFile;
    if (!out->client.empty()) return PumpStep::kWrite;
    switch (out->stage) {
      case Outgoing::Stage::kBody:
        *step = "a body piece";
        // A HEAD whose response the filter let go has its head out; the
        // rest of the body would only be dropped.
        if (out->plan.head_only && LetGo(*out)) out->body_left = 0;
        if (out->body_left > 0 && !out->client.lost()) {
          SendNextPiece(out, context);
          break;
        }
        out->stage = Outgoing::Stage::kEnd;
        // The last chunk, unless the body was cut short: the client must
        // then see it end early.
        if (!out->coder.End().empty() && !out->client.lost() &&
            !out->body_short && !(out->plan.head_only && LetGo(*out))) {
          out->piece.assign(out->coder.End());
          FilterCall call(context.call_began);
          out->request->SendRawData(&out->piece[0], out->piece.size());
        }
        break;
      case Outgoing::Stage::kEnd: {
        FilterCall call(context.call_began);
        out->request->EndOfRequest();
        out->stage = Outgoing::Stage::kDone;
        break;
      }
      case Outgoing::Stage::kDone:
        return PumpStep::kDone;
    }
  }
}

DirectStep SendBodyDirect(Outgoing* out, int socket) {
  assert(out->plan.file.valid() && !out->coder.chunked());
  FileRun run{out->plan.file.get(), out->offset, out->body_left};
  const std::size_t before = out->writing_sent;
  const DirectStep step =
      SendDirect(socket, out->writing.pieces, &out->writing_sent, &run);
  // The head's bytes are read for the framing; the file's only counted.
  std::size_t skip = before, left = out->writing_sent - before;
  for (std::string_view piece : out->writing.pieces) {
    if (left == 0) break;
    if (skip >= piece.size()) {
      skip -= piece.size();
      continue;
    }
    const std::string_view sent = piece.substr(skip, left);
    out->framing.Observe(sent);
    left -= sent.size();
    skip = 0;
  }
  out->framing.CountUnseenBody(out->body_left - run.left);
  out->offset = run.offset;
  out->body_left = run.left;
  if (step == DirectStep::kWait) return step;
  out->writing.pieces.clear();
  out->writing_sent = 0;
  if (step == DirectStep::kShort) {
    out->body_short = true;
    out->body_left = 0;
  }
  if (step == DirectStep::kLost) out->client.MarkLost();
  return step;
}

void ObserveWritten(Outgoing* out, std::size_t written) {
  for (std::string_view piece : out->writing.pieces) {
    if (written == 0) return;
    const std::size_t taken = std::min(written, piece.size());
    out->framing.Observe(piece.substr(0, taken));
    written -= taken;
  }
}

bool KeepsConnection(const Outgoing& out, bool stopping) {
  return out.plan.keep_alive && !stopping && !out.client.lost() &&
         !out.body_short && out.framing.Complete();
}

std::uint64_t HeldBytes(const Outgoing& out) {
  return (out.request ? out.request->memory().bytes_charged() : 0) +
         out.charge.size();
}

}  // namespace tagsmith::host
