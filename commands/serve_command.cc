// `tagsmith serve`; see serve_command.h. Everything the user can get wrong
// is checked before the server listens.
#include "commands/serve_command.h"

#include <filesystem>
#include <limits>

#include "commands/command_args.h"
#include "commands/option_table.h"
#include "commands/serve/listen_address.h"
#include "commands/serve/tls_files.h"
#include "host/filter_module.h"
#include "host/platform.h"

#ifndef TAGSMITH_EXAMPLE_SITE
#define TAGSMITH_EXAMPLE_SITE ""
#endif
#ifndef TAGSMITH_DATADIR_FROM_BINDIR
#define TAGSMITH_DATADIR_FROM_BINDIR "../share/tagsmith"
#endif

namespace tagsmith::host {

namespace {

constexpr std::uint64_t kMaxChunkSize = 64 * 1024 * 1024;
constexpr std::uint64_t kMaxHeldBytes = std::uint64_t{1} << 50;

Mount ParseApp(const std::string& text) {
  const std::string::size_type equals = text.find('=');
  if (equals == std::string::npos || equals == 0 || equals + 1 == text.size())
    throw UsageError("option --app needs /PREFIX=DIR, not '" + text + "'");
  Mount mount{text.substr(0, equals), text.substr(equals + 1)};
  if (mount.prefix[0] != '/')
    throw UsageError("the prefix of --app must start with '/': '" +
                     mount.prefix + "'");
  return mount;
}

}  // namespace

ListenAddress ParseListenAddress(const std::string& text,
                                 const std::string& option) {
  const std::string::size_type colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0)
    throw UsageError("option " + option + " needs ADDR:PORT, not '" + text +
                     "'");
  ListenAddress address;
  address.host = text.substr(0, colon);
  if (address.host.size() >= 2 && address.host.front() == '[' &&
      address.host.back() == ']')
    address.host = address.host.substr(1, address.host.size() - 2);
  if (address.host.empty())
    throw UsageError("option " + option + " needs an address: '" + text + "'");
  address.port = static_cast<std::uint16_t>(
      ParseNumber(text.substr(colon + 1), "the port of " + option, 0, 65535));
  return address;
}

namespace {

// Where the HTTPS options go until they are checked together.
struct TlsArguments {
  std::optional<std::string> listen, cert, key;
};

// The options of `tagsmith serve`, writing into *options and *tls.
OptionTable ServeTable(ServeOptions* options, TlsArguments* tls) {
  OptionTable table;
  table.command = "serve";
  table.operand = "ROOT";
  table.operand_help =
      std::string(
          "the application at '/' (default: the bundled example site, "
          "example/site of the source tree, found two levels above this "
          "program or in share/tagsmith/ of an installed one, else at ") +
      (TAGSMITH_EXAMPLE_SITE[0] ? TAGSMITH_EXAMPLE_SITE : "(unknown)") + ")";
  table.help_column = 24;
  table.take_operand = [options](const std::string& arg) {
    if (options->root)
      throw UsageError("more than one ROOT: '" + *options->root + "' and '" +
                       arg + "'");
    options->root = arg;
  };
  ServerOptions& server = options->server;
  table.options = {
      {"--app", "/PREFIX=DIR",
       "another application at a URL prefix; a request belongs to the one "
       "with the longest matching prefix (whole path segments), whose DIR is "
       "its APPL_PHYSICAL_PATH",
       true, false, false,
       [options](const std::string& value) {
         options->apps.push_back(ParseApp(value));
       }},
      {"--listen", "ADDR:PORT",
       "plain HTTP address (default 127.0.0.1:8080; port 0 picks a free "
       "port, which is printed)",
       false, false, false,
       [&server](const std::string& value) {
         server.listen = ParseListenAddress(value, "--listen");
       }},
      {"--tls-listen", "ADDR:PORT", "also serve HTTPS there, with", false, true,
       false,
       [&server, tls](const std::string& value) {
         tls->listen = value;
         server.tls_listen = ParseListenAddress(value, "--tls-listen");
       }},
      {"--tls-cert", "FILE", "its PEM certificate chain and", false, true, true,
       [tls](const std::string& value) { tls->cert = value; }},
      {"--tls-key", "FILE", "its PEM private key", false, true, true,
       [tls](const std::string& value) { tls->key = value; }},
      {"--chunk-size", "BYTES",
       "body bytes per raw-data notification (default 16384)", false, false,
       false,
       [&server](const std::string& value) {
         server.chunk_size = static_cast<std::size_t>(
             ParseNumber(value, "--chunk-size", 1, kMaxChunkSize));
       }},
      {"--idle-timeout", "SECONDS",
       "time allowed to send a request or take a response (default 30)", false,
       false, false,
       [&server](const std::string& value) {
         server.idle_timeout_seconds = static_cast<unsigned>(
             ParseNumber(value, "--idle-timeout", 1, 3600));
       }},
      {"--threads", "N", "worker threads (default: one per core, at least 2)",
       false, false, false,
       [&server](const std::string& value) {
         server.threads =
             static_cast<unsigned>(ParseNumber(value, "--threads", 1, 256));
       }},
      {"--gzip", "",
       "gzip-compress each 200 HTML page, before the filter sees it, for a "
       "client whose Accept-Encoding takes gzip (as the web server's static "
       "compression does): Content-Encoding: gzip, Vary: Accept-Encoding, "
       "the compressed length",
       false, false, false,
       [&server](const std::string&) { server.coding.gzip = true; }},
      {"--chunked", "",
       "send every body of an HTTP/1.1 request with Transfer-Encoding: "
       "chunked, one chunk per raw-data notification, then the last chunk; "
       "no Content-Length",
       false, false, false,
       [&server](const std::string&) { server.coding.chunked = true; }},
      {"--max-connections", "N",
       "connections held at once; one more gets 503 (default: as many as the "
       "descriptor limit allows)",
       false, false, false,
       [&server](const std::string& value) {
         server.max_connections = static_cast<unsigned>(
             ParseNumber(value, "--max-connections", 1, 1000000));
       }},
      {"--max-held", "BYTES",
       "the most bytes held for all responses at once (pages the filter "
       "holds, pages read whole to compress); a page that would pass it goes "
       "out untagged (default: a quarter of this machine's memory, at most "
       "1 GiB)",
       false, false, false,
       [&server](const std::string& value) {
         server.max_held_bytes =
             ParseNumber(value, "--max-held", 0, kMaxHeldBytes);
       }},
      FilterLibraryOption(&options->filter_path),
  };
  return table;
}

}  // namespace

ServeOptions ParseServeArguments(const std::vector<std::string>& args) {
  ServeOptions options;
  if (TakeHelp(args, &options)) return options;
  TlsArguments tls;
  ParseOptions(ServeTable(&options, &tls), args);
  if (tls.listen || tls.cert || tls.key) {
    if (!tls.listen || !tls.cert || !tls.key)
      throw UsageError(
          "HTTPS needs all of --tls-listen, --tls-cert and --tls-key");
    options.server.tls_cert = *tls.cert;
    options.server.tls_key = *tls.key;
  }
  return options;
}

std::string DefaultSiteDirectory() {
  namespace fs = std::filesystem;
  std::string directory;
  std::string error;
  if (platform::ExecutableDirectory(&directory, &error)) {
    // build/bin/tagsmith in the source tree, then an installed program's
    // data directory (/usr/bin/tagsmith: /usr/share/tagsmith/example/site).
    for (const fs::path& above :
         {fs::path(directory) / ".." / "..",
          fs::path(directory) / TAGSMITH_DATADIR_FROM_BINDIR}) {
      const fs::path site = above / "example" / "site";
      std::error_code ignored;
      if (fs::is_regular_file(site / "tagsmith.config", ignored))
        return fs::weakly_canonical(site, ignored).string();
    }
  }
  return TAGSMITH_EXAMPLE_SITE;
}

std::string ServeUsage() {
  ServeOptions unused_options;
  TlsArguments unused_tls;
  const OptionTable table = ServeTable(&unused_options, &unused_tls);
  return OptionSynopsis(table) +
         "\n"
         "Serves the static files of web applications over HTTP (and HTTPS) "
         "and hosts\n"
         "the filter library for every response the way the web server does: "
         "each\n"
         "HTML page of an application whose tagsmith.config names an account "
         "is tagged.\n"
         "Prints where it listens and one line per request; stops on Ctrl-C "
         "or SIGTERM.\n"
         "\n" +
         OptionList(table) +
         "\n"
         "Only GET and HEAD are served. A directory is served by its "
         "index.html when the\n"
         "path ends in '/', and redirected there (301) when it does not; no "
         "index.html\n"
         "gives 404. Never served: files outside an application's directory "
         "(after\n"
         "following symbolic links: 403), names starting with '.' or ending "
         "in '.config'\n"
         "(404), targets with '..' or encoded slashes (400).\n"
         "Exit status: 0 stopped by a signal; 1 could not start; 2 bad "
         "arguments, a bad\n"
         "application directory or a filter that cannot be loaded.\n";
}

int ServeCommand(const std::vector<std::string>& args, std::FILE* out,
                 std::FILE* err) {
  ServeOptions options;
  std::optional<StaticSite> site;
  std::optional<FilterModule> filter;
  try {
    options = ParseServeArguments(args);
    if (options.help) {
      std::fputs(ServeUsage().c_str(), out);
      return std::fflush(out) == 0 && !std::ferror(out) ? 0 : 1;
    }
    options.server.listen =
        ResolveListenAddress(options.server.listen, "--listen");
    if (options.server.tls_listen) {
      options.server.tls_listen =
          ResolveListenAddress(*options.server.tls_listen, "--tls-listen");
      CheckTlsFiles(options.server.tls_cert, options.server.tls_key);
    }
    std::vector<Mount> mounts;
    const std::string root =
        options.root ? *options.root : DefaultSiteDirectory();
    if (root.empty())
      throw UsageError(
          "no ROOT given and the bundled example site is not "
          "found");
    mounts.push_back({"/", root});
    for (const Mount& app : options.apps) mounts.push_back(app);
    try {
      site.emplace(mounts);
    } catch (const std::invalid_argument& error) {
      throw UsageError(error.what());
    }
    filter.emplace(FilterModule::Load(
        options.filter_path ? *options.filter_path : DefaultFilterPath()));
  } catch (const std::exception& error) {
    std::fprintf(err, "tagsmith: %s\n", error.what());
    return 2;
  }
  try {
    RunServer(options.server, *filter, *site, out);
  } catch (const std::exception& error) {
    std::fprintf(err, "tagsmith: %s\n", error.what());
    return 1;
  }
  return 0;
}

}  // namespace tagsmith::host
