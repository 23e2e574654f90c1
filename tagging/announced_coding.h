// Which codings a response's headers announce, and what the filter may do
// about them, decided from the header facts alone (no body byte is read).
// Plain values; nothing here owns or points at the response's bytes.
#ifndef TAGSMITH_TAGGING_ANNOUNCED_CODING_H_
#define TAGSMITH_TAGGING_ANNOUNCED_CODING_H_

#include <cstdint>

enum class TransferCoding : std::uint8_t { kNone, kChunked, kOther };
enum class ContentCoding : std::uint8_t { kNone, kGzip, kDeflate, kOther };

// The name of a coding the filter does not know, as the header gave it
// (trimmed, and cut at kCodingNameSize bytes), copied out of the response.
inline constexpr std::uint32_t kCodingNameSize = 17;
struct CodingName {
  char text[kCodingNameSize];
  std::uint32_t length;
};

// What the header lines said about codings and length.
struct AnnouncedCodings {
  TransferCoding transfer;
  std::uint32_t transferHeaders;  // Transfer-Encoding lines naming a coding
  ContentCoding content;
  std::uint32_t contentHeaders;  // Content-Encoding lines naming a coding
  std::uint32_t lengthHeaders;   // Content-Length lines, whatever their form
  CodingName transferName;       // set with transfer kOther
  CodingName contentName;        // set with content kOther
};

// What the body may be, as far as the headers tell.
struct CodingPlan {
  bool chunked;           // framed, or to be framed by the server later
  ContentCoding content;  // kNone, kGzip or kDeflate
};

// A header value, already trimmed of white space, as a coding: empty or
// "identity" (any case) is none; "chunked" (transfer) and "gzip", "x-gzip",
// "deflate" (content), in any case, are the ones the filter knows; anything
// else, a list included, is kOther.
TransferCoding TransferCodingOf(const char* value, std::uint32_t length);
ContentCoding ContentCodingOf(const char* value, std::uint32_t length);

// Notes one coding header, whose trimmed value is value[0..length), in
// `announced`.
void NoteTransferCoding(const char* value, std::uint32_t length,
                        AnnouncedCodings* announced);
void NoteContentCoding(const char* value, std::uint32_t length,
                       AnnouncedCodings* announced);

enum class CodingVerdict : std::uint8_t {
  kHandled,     // the body may be read and tagged
  kNotHandled,  // a coding the filter does not know (UnhandledCoding)
  kInvalid,     // no single reading: two coding headers of a kind, or
                // "chunked" together with a Content-Length
};

// True, with `plan` filled, when the body may be read and tagged: at most one
// header of each kind names a coding, a transfer coding is "chunked" and
// comes without a Content-Length, a content coding is one the filter can
// decode. False: the response must leave untouched.
bool DecideCodings(const AnnouncedCodings& announced, CodingPlan* plan);

// DecideCodings with the reason of a "no". `plan` is filled only with
// kHandled.
CodingVerdict JudgeCodings(const AnnouncedCodings& announced, CodingPlan* plan);

// The coding named in a kNotHandled verdict: the transfer coding's when it
// is unknown (it was applied last), else the content coding's.
const CodingName& UnhandledCoding(const AnnouncedCodings& announced);

#endif  // TAGSMITH_TAGGING_ANNOUNCED_CODING_H_
