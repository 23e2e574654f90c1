#include "tagging/announced_coding.h"

#include "buffer/chain_cursor.h"

namespace {

bool Is(const char* value, std::uint32_t length, const char* name) {
  std::uint32_t i = 0;
  for (; i < length; ++i) {
    if (name[i] == '\0' ||
        FoldCase(static_cast<unsigned char>(value[i])) !=
            FoldCase(static_cast<unsigned char>(name[i]))) {
      return false;
    }
  }
  return name[i] == '\0';
}

}  // namespace

TransferCoding TransferCodingOf(const char* value, std::uint32_t length) {
  if (length == 0 || Is(value, length, "identity")) return TransferCoding::kNone;
  if (Is(value, length, "chunked")) return TransferCoding::kChunked;
  return TransferCoding::kOther;
}

ContentCoding ContentCodingOf(const char* value, std::uint32_t length) {
  if (length == 0 || Is(value, length, "identity")) return ContentCoding::kNone;
  if (Is(value, length, "gzip") || Is(value, length, "x-gzip")) {
    return ContentCoding::kGzip;
  }
  if (Is(value, length, "deflate")) return ContentCoding::kDeflate;
  return ContentCoding::kOther;
}

void NoteTransferCoding(TransferCoding coding, AnnouncedCodings* announced) {
  if (coding == TransferCoding::kNone) return;
  announced->transfer = coding;
  ++announced->transferHeaders;
}

void NoteContentCoding(ContentCoding coding, AnnouncedCodings* announced) {
  if (coding == ContentCoding::kNone) return;
  announced->content = coding;
  ++announced->contentHeaders;
}

bool DecideCodings(const AnnouncedCodings& announced, CodingPlan* plan) {
  // Two headers naming codings leave no single reading of the body.
  if (announced.transferHeaders > 1 || announced.contentHeaders > 1) return false;
  if (announced.transfer == TransferCoding::kOther ||
      announced.content == ContentCoding::kOther) {
    return false;
  }
  const bool chunked = announced.transfer == TransferCoding::kChunked;
  // A response may not carry both; which one a client believes is unknown.
  if (chunked && announced.lengthHeaders > 0) return false;
  plan->chunked = chunked;
  plan->content = announced.content;
  return true;
}
