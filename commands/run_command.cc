// `tagsmith run`; see run_command.h. Everything that can fail on the user's
// side (arguments, input, loading the filter) is checked before the first
// byte is hosted, so a failed run writes nothing to standard output.
#include "commands/run_command.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <stdexcept>

#include "commands/command_args.h"
#include "commands/option_table.h"
#include "host/chunks.h"
#include "host/filter_module.h"
#include "host/platform.h"

namespace tagsmith::host {

namespace {

// Their order and range are checked against the input by SplitAt.
std::vector<std::size_t> ParseOffsets(const std::string& text) {
  std::vector<std::size_t> offsets;
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type comma = text.find(',', start);
    std::string item = text.substr(
        start, comma == std::string::npos ? std::string::npos : comma - start);
    offsets.push_back(static_cast<std::size_t>(ParseNumber(
        item, "a --split offset", 0, std::numeric_limits<std::size_t>::max())));
    if (comma == std::string::npos) return offsets;
    start = comma + 1;
  }
}

// Reads all of a stream; false with errno's text in *error on failure.
bool ReadAll(std::FILE* stream, std::string* bytes, std::string* error) {
  char buffer[1 << 16];
  for (;;) {
    std::size_t got = std::fread(buffer, 1, sizeof buffer, stream);
    bytes->append(buffer, got);
    if (got < sizeof buffer) break;
  }
  if (std::ferror(stream)) {
    *error = errno ? std::strerror(errno) : "read error";
    return false;
  }
  return true;
}

std::string ReadInput(const std::optional<std::string>& path, std::FILE* in) {
  std::string bytes;
  std::string error;
  if (!path) {
    platform::UseBinaryMode(in);
    errno = 0;
    if (!ReadAll(in, &bytes, &error))
      throw UsageError("cannot read standard input: " + error);
    return bytes;
  }
  std::FILE* file = std::fopen(path->c_str(), "rb");
  if (!file)
    throw UsageError("cannot open '" + *path + "': " + std::strerror(errno));
  errno = 0;
  bool ok = ReadAll(file, &bytes, &error);
  std::fclose(file);
  if (!ok) throw UsageError("cannot read '" + *path + "': " + error);
  return bytes;
}

// Standard output as the client. A failed write throws, which the server
// records as a failed send.
class FileSink : public ClientSink {
 public:
  explicit FileSink(std::FILE* out) : out_(out) {}
  void Send(std::string_view bytes) override {
    if (bytes.empty()) return;
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), out_) != bytes.size())
      throw std::runtime_error(errno ? std::strerror(errno) : "write error");
  }

 private:
  std::FILE* out_;
};

}  // namespace

namespace {

// The options of `tagsmith run`, writing into *options.
OptionTable RunTable(RunOptions* options) {
  OptionTable table;
  table.command = "run";
  table.operand = "FILE";
  table.help_column = 19;
  table.take_operand = [options](const std::string& arg) {
    if (options->input_path)
      throw UsageError("more than one input file: '" + *options->input_path +
                       "' and '" + arg + "'");
    options->input_path = arg;
  };
  RequestSettings& settings = options->settings;
  table.options = {
      {"--app-dir", "DIR",
       "the web application's directory, the answer to the server variable "
       "APPL_PHYSICAL_PATH (where the filter looks for tagsmith.config); "
       "without it there is no such path",
       false, false, false,
       [&settings](const std::string& value) {
         settings.app_physical_path = value;
       }},
      {"--secure", "", "the request came over TLS (fIsSecurePort is nonzero)",
       true, false, false,
       [&settings](const std::string&) { settings.secure_port = true; }},
      {"--split", "OFFSETS",
       "comma-separated byte offsets, non-decreasing and at most the input's "
       "length, where the response is cut into chunks: 10,200 sends [0,10), "
       "[10,200) and [200,end); equal offsets send empty chunks. Without it: "
       "one chunk",
       false, false, false,
       [options](const std::string& value) {
         options->split_offsets = ParseOffsets(value);
       }},
      {"--fail-alloc", "N",
       "the Nth AllocMem call of the response (counting from 1) returns null; "
       "N from 1 to 4294967295",
       false, false, false,
       [&settings](const std::string& value) {
         settings.refuse_alloc_call =
             ParseNumber(value, "--fail-alloc", 1,
                         std::numeric_limits<std::uint32_t>::max());
       }},
      FilterLibraryOption(&options->filter_path),
  };
  return table;
}

}  // namespace

RunOptions ParseRunArguments(const std::vector<std::string>& args) {
  RunOptions options;
  if (TakeHelp(args, &options)) return options;
  ParseOptions(RunTable(&options), args);
  if (options.input_path && *options.input_path == "-")
    options.input_path.reset();
  return options;
}

std::vector<std::string> RunNotes(const RunOptions& options,
                                  std::string_view input) {
  std::vector<std::string> notes;
  if (const auto& dir = options.settings.app_physical_path) {
    std::error_code error;
    const std::filesystem::file_status status =
        std::filesystem::status(*dir, error);
    if (!std::filesystem::is_directory(status))
      notes.push_back("note: --app-dir '" + *dir + "' " +
                      (std::filesystem::exists(status) ? "is not a directory"
                                                       : "does not exist") +
                      ", so the filter finds no tagsmith.config there");
  }
  const std::string_view::size_type line_end = input.find('\n');
  if (line_end != std::string_view::npos &&
      (line_end == 0 || input[line_end - 1] != '\r'))
    notes.push_back(
        "note: the input's header lines end in a bare LF, not CR LF; the "
        "filter reads only CR LF headers, so it passes this response as it is");
  return notes;
}

std::string RunUsage() {
  RunOptions unused;
  const OptionTable table = RunTable(&unused);
  return OptionSynopsis(table) +
         "\n"
         "Reads one raw HTTP response (status line, headers, blank line, body) "
         "from\n"
         "FILE, or from standard input when FILE is absent or '-', hosts the "
         "filter\n"
         "library for it the way the web server does (send-response, one "
         "raw-data\n"
         "notification per chunk, end-of-request) and writes the bytes that "
         "reach the\n"
         "client to standard output, byte for byte.\n"
         "\n" +
         OptionList(table) +
         "\n"
         "Options that take a value also accept --option=VALUE; '--' ends "
         "the options.\n"
         "Exit status: 0 done; 1 standard output could not be written; 2 bad "
         "arguments,\n"
         "unreadable input or a filter that cannot be loaded (nothing is "
         "written then).\n";
}

int RunCommand(const std::vector<std::string>& args, std::FILE* in,
               std::FILE* out, std::FILE* err) {
  std::string input;
  RunOptions options;
  std::vector<std::string_view> chunks;
  std::optional<FilterModule> filter;
  try {
    options = ParseRunArguments(args);
    if (options.help) {
      std::fputs(RunUsage().c_str(), out);
      return std::fflush(out) == 0 && !std::ferror(out) ? 0 : 1;
    }
    input = ReadInput(options.input_path, in);
    chunks = SplitAt(input, options.split_offsets);
    for (std::string_view chunk : chunks)
      if (chunk.size() > std::numeric_limits<DWORD>::max())
        throw UsageError(
            "the input needs --split: the server sends chunks of less than "
            "4 GiB");
    filter.emplace(FilterModule::Load(
        options.filter_path ? *options.filter_path : DefaultFilterPath()));
  } catch (const std::exception& error) {
    std::fprintf(err, "tagsmith: %s\n", error.what());
    return 2;
  }

  for (const std::string& note : RunNotes(options, input))
    std::fprintf(err, "tagsmith: %s\n", note.c_str());

  platform::UseBinaryMode(out);
  FileSink client(out);
  ServeSummary summary =
      ServeResponse(*filter, options.settings, chunks, client);
  errno = 0;
  const bool flushed = std::fflush(out) == 0 && !std::ferror(out);
  if (!summary.client_error.empty() || !flushed) {
    const std::string why =
        !summary.client_error.empty()
            ? summary.client_error
            : (errno ? std::strerror(errno) : "write error");
    std::fprintf(err, "tagsmith: error writing to standard output: %s\n",
                 why.c_str());
    return 1;
  }
  return 0;
}

}  // namespace tagsmith::host
