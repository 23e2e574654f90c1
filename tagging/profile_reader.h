// Reads one setting from a profile file such as tagsmith.config: "[section]"
// header lines followed by "key=value" lines. On Windows the filter calls the
// platform's GetPrivateProfileStringA; everywhere else it calls this, which
// gives the same answers for the files the filter reads.
#ifndef TAGSMITH_TAGGING_PROFILE_READER_H_
#define TAGSMITH_TAGGING_PROFILE_READER_H_

#include <cstddef>
#include <cstdint>

// Bytes read from the file at a time: the size of the reader's one stack
// buffer, room for a file of settings with a long block or two, so that it
// is read in one go. Files and values may be far longer; the tests place
// input across the seams between these reads.
inline constexpr std::uint32_t kProfileReadChunk = 4096;

// The largest file that is read. A settings file is a few lines; a larger
// one is a mistake, and reading it would cost every page.
inline constexpr std::uint64_t kMaxProfileFileBytes = std::uint64_t{1} << 20;

// Copies the value of `key` in `section` of the profile file at `path` into
// out[0..size), NUL-terminated, and returns the number of characters copied
// without the NUL.
//
// Lookup: section and key names are compared without regard to ASCII case.
// A header is a line whose first non-blank byte is '['; its name runs to the
// last ']' on the line, blanks trimmed. A '[' line without ']' is ignored.
// Only the first block of the section is searched, and the first line naming
// the key wins, even when its value is empty or it has no '='.
//
// Value: blanks (space, tab, VT, FF, CR, Ctrl-Z) around it are dropped and
// then one pair of matching quotes (" or ') around all of it. There is no
// comment syntax, escaping or expansion. A NUL byte ends the line's content.
// Bytes are not converted: a UTF-8 byte-order mark at the start of the file
// is skipped and everything else comes back as it is in the file; UTF-16
// files are not understood (their keys are not found).
//
// Cutting: at most size-1 bytes are copied, so a value of size-1 bytes or
// more returns size-1. Like the platform reader, a quoted value whose text
// inside the quotes is exactly size-1 bytes long loses its last byte too.
//
// Absent: when the file cannot be read, or the section or key is not in it,
// `defaultValue` (nullptr counts as "") is copied instead, cut the same way.
// Only a regular file of at most kMaxProfileFileBytes is read: anything
// else (a directory, a FIFO, a device, a larger file, or a link to one)
// reads as absent, at once, without waiting on the open. Elsewhere than on
// Windows the type is looked at only when the first read fills its buffer:
// what refuses positioned reads (FIFOs, sockets, terminals, directories)
// fails that read, and a device that answers one without end fills it. A
// device that gives a positioned read fewer bytes has them parsed as a file.
// A key that is present with an empty value gives "", not the default. A
// null `section` or `key` counts as absent (names are not listed).
//
// Bytes: the caller owns every argument. The function reads the strings up
// to their NULs and the file, keeps nothing after it returns, and writes
// only out[0..size): the value and its NUL, and possibly scratch bytes after
// the NUL. size 0 writes nothing and returns 0 (out may then be nullptr).
//
// Reentrant: no allocation, no shared state, about 4 KB of stack; the file
// is opened, read once front to back as far as needed, and closed per call:
// a file shorter than kProfileReadChunk costs an open, one read and a close.
std::uint32_t ReadProfileString(const char* section, const char* key,
                                const char* defaultValue, char* out,
                                std::uint32_t size, const char* path);

// Several keys of one section read in one pass over the file, each with
// exactly the result ReadProfileString gives it: the file is opened once
// for all of them. Keys past the first kMaxProfileKeys get length 0.
inline constexpr std::size_t kMaxProfileKeys = 7;

struct ProfileQuery {
  const char* key;
  const char* defaultValue;
  char* out;
  std::uint32_t size;
  std::uint32_t length;  // set by the read: characters copied without the NUL
};

void ReadProfileStrings(const char* section, ProfileQuery* queries,
                        std::size_t count, const char* path);

#endif  // TAGSMITH_TAGGING_PROFILE_READER_H_
