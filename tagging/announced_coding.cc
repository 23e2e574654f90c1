#include "tagging/announced_coding.h"

#include <cstring>

#include "buffer/chain_cursor.h"

namespace {

bool Is(const char* value, std::uint32_t length, const char* name) {
  std::uint32_t i = 0;
  for (; i < length; ++i) {
    if (name[i] == '\0' || FoldCase(static_cast<unsigned char>(value[i])) !=
                               FoldCase(static_cast<unsigned char>(name[i]))) {
      return false;
    }
  }
  return name[i] == '\0';
}

void KeepName(const char* value, std::uint32_t length, CodingName* name) {
  name->length = length < kCodingNameSize ? length : kCodingNameSize;
  std::memcpy(name->text, value, name->length);
}

}  // namespace

TransferCoding TransferCodingOf(const char* value, std::uint32_t length) {
  if (length == 0 || Is(value, length, "identity"))
    return TransferCoding::kNone;
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

void NoteTransferCoding(const char* value, std::uint32_t length,
                        AnnouncedCodings* announced) {
  const TransferCoding coding = TransferCodingOf(value, length);
  if (coding == TransferCoding::kNone) return;
  announced->transfer = coding;
  ++announced->transferHeaders;
  if (coding == TransferCoding::kOther)
    KeepName(value, length, &announced->transferName);
}

void NoteContentCoding(const char* value, std::uint32_t length,
                       AnnouncedCodings* announced) {
  const ContentCoding coding = ContentCodingOf(value, length);
  if (coding == ContentCoding::kNone) return;
  announced->content = coding;
  ++announced->contentHeaders;
  if (coding == ContentCoding::kOther)
    KeepName(value, length, &announced->contentName);
}

CodingVerdict JudgeCodings(const AnnouncedCodings& announced,
                           CodingPlan* plan) {
  // Two headers naming codings leave no single reading of the body.
  if (announced.transferHeaders > 1 || announced.contentHeaders > 1) {
    return CodingVerdict::kInvalid;
  }
  if (announced.transfer == TransferCoding::kOther ||
      announced.content == ContentCoding::kOther) {
    return CodingVerdict::kNotHandled;
  }
  const bool chunked = announced.transfer == TransferCoding::kChunked;
  // A response may not carry both; which one a client believes is unknown.
  if (chunked && announced.lengthHeaders > 0) return CodingVerdict::kInvalid;
  plan->chunked = chunked;
  plan->content = announced.content;
  return CodingVerdict::kHandled;
}

bool DecideCodings(const AnnouncedCodings& announced, CodingPlan* plan) {
  return JudgeCodings(announced, plan) == CodingVerdict::kHandled;
}

const CodingName& UnhandledCoding(const AnnouncedCodings& announced) {
  return announced.transfer == TransferCoding::kOther ? announced.transferName
                                                      : announced.contentName;
}
