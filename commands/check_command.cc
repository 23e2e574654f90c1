// `tagsmith check`; see check_command.h.
#include "commands/check_command.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "commands/command_args.h"
#include "commands/config_report.h"
#include "commands/option_table.h"
#include "commands/web_user_access.h"
#include "host/filter_module.h"
#include "host/stand_in_server.h"

namespace tagsmith::host {

namespace {

OptionTable CheckTable(CheckOptions* options) {
  OptionTable table;
  table.command = "check";
  table.operand = "DIR [RESPONSE-FILE]";  // a response only after a DIR
  table.help_column = 19;
  auto operands = std::make_shared<int>(0);
  table.take_operand = [options, operands](const std::string& arg) {
    if (*operands == 0)
      options->app_dir = arg;
    else if (*operands == 1)
      options->response_path = arg;
    else
      throw UsageError("more than two arguments: '" + arg + "'");
    ++*operands;
  };
  table.options = {
      {"--filter", "PATH",
       "the filter library that runs RESPONSE-FILE (default: the one "
       "'tagsmith run' loads)",
       false, true, false,
       [options](const std::string& value) { options->filter_path = value; }},
  };
  return table;
}

std::string ReadResponse(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw UsageError("cannot open '" + path + "': " + std::strerror(errno));
  std::string bytes(std::istreambuf_iterator<char>(in), {});
  if (in.bad()) throw UsageError("cannot read '" + path + "'");
  return bytes;
}

// The configuration with the result header forced on and nothing else
// changed: "Diagnostics=1" as the first line of the first [ga1] block,
// where the reader finds it before any other, or a [ga1] of its own when
// there is none (the file then gives the filter no value anyway).
std::string WithResultHeader(const ConfigReport& report) {
  if (!report.readable) return "[ga1]\r\nDiagnostics=1\r\n";
  std::string text = report.text;
  if (report.ga1_line == 0) {
    if (!text.empty() && text.back() != '\n' && text.back() != '\r')
      text += "\r\n";
    return text + "[ga1]\r\nDiagnostics=1\r\n";
  }
  const std::size_t at = report.ga1_body;
  const bool line_ended =
      at > 0 && (text[at - 1] == '\n' || text[at - 1] == '\r');
  return text.insert(
      at, std::string(line_ended ? "" : "\r\n") + "Diagnostics=1\r\n");
}

// A scratch directory that is removed with everything in it.
struct ScratchDir {
  std::string path;
  ScratchDir() {
    std::string name =
        (std::filesystem::temp_directory_path() / "tagsmith-check.XXXXXX")
            .string();
    if (!mkdtemp(name.data()))
      throw std::runtime_error(
          std::string("cannot make a scratch directory: ") +
          std::strerror(errno));
    path = name;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

// The word the result header carries for `response` under `report`'s
// configuration; empty when the filter adds none (not a candidate page).
std::string ResultWord(const FilterModule& filter, const ConfigReport& report,
                       const std::string& response) {
  ScratchDir scratch;
  {
    std::ofstream config(scratch.path + "/tagsmith.config", std::ios::binary);
    config << WithResultHeader(report);
    if (!config.flush())
      throw std::runtime_error("cannot write a scratch copy");
  }
  RequestSettings settings;
  settings.app_physical_path = scratch.path;
  StringSink client;
  ServeResponse(filter, settings, {response}, client);
  const std::string& out = client.bytes();
  const std::string name = "\r\nX-Tagsmith-Result: ";
  const std::size_t head_end = out.find("\r\n\r\n");
  const std::size_t at = out.find(name);
  if (at == std::string::npos || at >= head_end) return "";
  const std::size_t from = at + name.size();
  return out.substr(from, out.find("\r\n", from) - from);
}

}  // namespace

CheckOptions ParseCheckArguments(const std::vector<std::string>& args) {
  CheckOptions options;
  if (TakeHelp(args, &options)) return options;
  ParseOptions(CheckTable(&options), args);
  if (options.app_dir.empty()) throw UsageError("DIR is empty");
  return options;
}

std::string CheckUsage() {
  CheckOptions unused;
  const OptionTable table = CheckTable(&unused);
  return OptionSynopsis(table) +
         "\n"
         "Reads DIR/tagsmith.config (DIR: the current directory when not "
         "given) with\n"
         "the filter's own reader and prints what the filter will use: the "
         "account,\n"
         "whether the secure variant is forced, the lengths of the two "
         "texts and\n"
         "whether the result header is on. Warns, with the line, of a "
         "missing [ga1]\n"
         "section, a key the filter does not read, an account over 15 "
         "characters, a\n"
         "value with blanks at either end, a file that is not a regular "
         "file or is\n"
         "over 1 MiB, and a file the web server's user (" +
         std::string(kWebServerUser) +
         ") cannot read. With\n"
         "RESPONSE-FILE, a raw HTTP response, it also runs the response "
         "through the\n"
         "filter and prints the word the X-Tagsmith-Result header would "
         "carry.\n"
         "\n" +
         OptionList(table) +
         "\n"
         "Exit status: 0 the file is sound (and the page would be tagged); "
         "1 a warning\n"
         "(or the page would not be tagged); 2 bad arguments, an unreadable "
         "response or\n"
         "a filter that cannot be loaded.\n";
}

int CheckCommand(const std::vector<std::string>& args, std::FILE* out,
                 std::FILE* err) {
  CheckOptions options;
  std::string response;
  std::optional<FilterModule> filter;
  try {
    options = ParseCheckArguments(args);
    if (options.help) {
      std::fputs(CheckUsage().c_str(), out);
      return std::fflush(out) == 0 && !std::ferror(out) ? 0 : 1;
    }
    std::error_code error;
    if (!std::filesystem::is_directory(options.app_dir, error))
      throw UsageError("'" + options.app_dir + "' is not a directory");
    if (options.response_path) {
      response = ReadResponse(*options.response_path);
      filter.emplace(FilterModule::Load(
          options.filter_path ? *options.filter_path : DefaultFilterPath()));
    }
  } catch (const std::exception& error) {
    std::fprintf(err, "tagsmith: %s\n", error.what());
    return 2;
  }

  const ConfigReport report = ReportConfig(options.app_dir, kWebServerUser);
  std::fprintf(out, "file: %s%s\n", report.path.c_str(),
               report.readable ? "" : " (not read)");
  std::fprintf(out, "account: %s\n",
               report.account.empty()
                   ? "none (only pages that name their own in X-Tagsmith are "
                     "tagged)"
                   : report.account.c_str());
  std::fprintf(out, "secure variant: %s\n",
               report.secure_forced
                   ? "forced (AlwaysSSL is set)"
                   : "as the request came (AlwaysSSL is not set)");
  std::fprintf(out, "insert-before text: %u bytes\n",
               report.insert_before_length);
  std::fprintf(out, "append-after text: %u bytes\n",
               report.append_after_length);
  std::fprintf(out, "result header: %s\n", report.result_header ? "on" : "off");
  if (report.snippet.empty()) {
    std::fprintf(out, "snippet: none (the fixed block)\n");
  } else if (!report.snippet_problem.empty()) {
    std::fprintf(out, "snippet: %s (not used: see the warning)\n",
                 report.snippet.c_str());
  } else {
    std::fprintf(out, "snippet: %s, %zu bytes\nsnippet marker: %s\n",
                 report.snippet.c_str(), report.snippet_bytes,
                 report.snippet_marker.c_str());
  }
  for (const std::string& warning : report.warnings)
    std::fprintf(out, "warning: %s\n", warning.c_str());

  bool tagged = true;
  if (filter) {
    std::string word;
    try {
      word = ResultWord(*filter, report, response);
    } catch (const std::exception& error) {
      std::fprintf(err, "tagsmith: %s\n", error.what());
      return 2;
    }
    tagged = word.rfind("tagged", 0) == 0;
    std::fprintf(out, "result: %s\n",
                 word.empty() ? "none (not a complete 200 text/html response: "
                                "the filter passes it as it is)"
                              : word.c_str());
  }
  if (std::fflush(out) != 0 || std::ferror(out)) return 1;
  return report.warnings.empty() && tagged ? 0 : 1;
}

}  // namespace tagsmith::host
