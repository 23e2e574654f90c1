// `tagsmith serve`'s command line, parsed in this process: what each option
// sets and every way to get it wrong, and the checks of its addresses and
// TLS files made before it listens.
#include "commands/serve_command.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "commands/run_command.h"
#include "commands/serve/listen_address.h"
#include "commands/serve/tls_files.h"
#include "tests/serve_harness.h"

namespace tagsmith::host {
namespace {

TEST(ServeArguments, DefaultsServeTheExampleOnLoopback) {
  const ServeOptions options = ParseServeArguments({});
  EXPECT_FALSE(options.help);
  EXPECT_FALSE(options.root);
  EXPECT_TRUE(options.apps.empty());
  EXPECT_EQ(options.server.listen.host, "127.0.0.1");
  EXPECT_EQ(options.server.listen.port, 8080);
  EXPECT_FALSE(options.server.tls_listen);
  EXPECT_EQ(options.server.chunk_size, 16384u);
  EXPECT_EQ(options.server.idle_timeout_seconds, 30u);
  EXPECT_FALSE(options.filter_path);
  EXPECT_FALSE(options.server.coding.gzip);
  EXPECT_FALSE(options.server.coding.chunked);
}

TEST(ServeArguments, EveryOptionSetsItsValue) {
  const ServeOptions options = ParseServeArguments({"--listen",
                                                    "127.0.0.2:0",
                                                    "site",
                                                    "--app",
                                                    "/blog=b",
                                                    "--app=/x/y=c",
                                                    "--tls-listen=[::1]:8443",
                                                    "--tls-cert",
                                                    "cert.pem",
                                                    "--tls-key",
                                                    "key.pem",
                                                    "--chunk-size",
                                                    "1",
                                                    "--idle-timeout=2",
                                                    "--threads",
                                                    "3",
                                                    "--filter",
                                                    "lib.so",
                                                    "--gzip",
                                                    "--chunked",
                                                    "--max-connections",
                                                    "50"});
  EXPECT_EQ(options.root, "site");
  ASSERT_EQ(options.apps.size(), 2u);
  EXPECT_EQ(options.apps[0].prefix, "/blog");
  EXPECT_EQ(options.apps[0].directory, "b");
  EXPECT_EQ(options.apps[1].prefix, "/x/y");
  EXPECT_EQ(options.apps[1].directory, "c");
  EXPECT_EQ(options.server.listen.host, "127.0.0.2");
  EXPECT_EQ(options.server.listen.port, 0);
  ASSERT_TRUE(options.server.tls_listen);
  EXPECT_EQ(options.server.tls_listen->host, "::1");
  EXPECT_EQ(options.server.tls_listen->port, 8443);
  EXPECT_EQ(options.server.tls_cert, "cert.pem");
  EXPECT_EQ(options.server.tls_key, "key.pem");
  EXPECT_EQ(options.server.chunk_size, 1u);
  EXPECT_EQ(options.server.idle_timeout_seconds, 2u);
  EXPECT_EQ(options.server.threads, 3u);
  EXPECT_EQ(options.server.max_connections, 50u);
  EXPECT_FALSE(options.server.max_held_bytes);
  EXPECT_EQ(ParseServeArguments({"--max-held", "0"}).server.max_held_bytes, 0u);
  EXPECT_EQ(options.filter_path, "lib.so");
  EXPECT_TRUE(options.server.coding.gzip);
  EXPECT_TRUE(options.server.coding.chunked);
  EXPECT_FALSE(ParseServeArguments({"--chunked"}).server.coding.gzip);
}

TEST(ServeArguments, HelpWinsAndDashDashEndsOptions) {
  EXPECT_TRUE(ParseServeArguments({"--bogus", "-h"}).help);
  const ServeOptions options = ParseServeArguments({"--", "--help"});
  EXPECT_FALSE(options.help);
  EXPECT_EQ(options.root, "--help");
}

TEST(ServeArguments, RefusesBadCommandLines) {
  const std::vector<std::vector<std::string>> bad = {
      {"--bogus"},
      {"a", "b"},
      {"--listen"},
      {"--listen", "--app"},
      {"--listen", "8080"},
      {"--listen", ":8080"},
      {"--listen", "127.0.0.1:"},
      {"--listen", "127.0.0.1:65536"},
      {"--listen", "127.0.0.1:-1"},
      {"--listen", "[]:80"},
      {"--listen", "127.0.0.1:1", "--listen", "127.0.0.1:2"},
      {"--app", "blog"},
      {"--app", "blog=dir"},
      {"--app", "/blog="},
      {"--app", "=dir"},
      {"--tls-listen", "127.0.0.1:0"},
      {"--tls-listen", "127.0.0.1:0", "--tls-cert", "c"},
      {"--tls-cert", "c", "--tls-key", "k"},
      {"--chunk-size", "0"},
      {"--chunk-size", "1k"},
      {"--chunk-size", "67108865"},
      {"--idle-timeout", "0"},
      {"--threads", "0"},
      {"--max-connections", "0"},
      {"--max-connections", "1", "--max-connections", "2"},
      {"--max-held", "256M"},
      {"--filter="},
      {"--filter", "a", "--filter", "b"},
      {"--gzip=yes"},
      {"--chunked", "--chunked"},
  };
  for (const auto& args : bad)
    EXPECT_THROW(ParseServeArguments(args), UsageError)
        << testing::PrintToString(args);
}

TEST(ServeArguments, UsageNamesEveryOptionAndTheDefaultSite) {
  const std::string usage = ServeUsage();
  const std::string synopsis = usage.substr(0, usage.find("\n\n"));
  for (const char* option :
       {"ROOT", "--listen", "--app", "--tls-listen", "--tls-cert", "--tls-key",
        "--chunk-size", "--filter", "--idle-timeout", "--threads", "--gzip",
        "--chunked", "--max-connections"})
    EXPECT_NE(synopsis.find(option), std::string::npos) << option;
  for (const char* text :
       {"example/site", "127.0.0.1:8080", "index.html", ".config"})
    EXPECT_NE(usage.find(text), std::string::npos) << text;
}

// Both usage texts come from option tables, wrapped for an 80-column
// terminal.
TEST(ServeArguments, UsageLinesFitEightyColumns) {
  for (const std::string& usage : {ServeUsage(), RunUsage()}) {
    std::string::size_type start = 0, end;
    while ((end = usage.find('\n', start)) != std::string::npos) {
      EXPECT_LE(end - start, 79u) << usage.substr(start, end - start);
      start = end + 1;
    }
    EXPECT_EQ(start, usage.size()) << "the text ends in a newline";
  }
}

TEST(ServeArguments, TheDefaultSiteIsTheBundledExample) {
  const std::string site = DefaultSiteDirectory();
  EXPECT_EQ(std::filesystem::canonical(site),
            std::filesystem::canonical(std::string(TAGSMITH_SOURCE_DIR) +
                                       "/example/site"));
}

TEST(ListenAddress, NamesResolveToOneNumericAddress) {
  struct Case {
    const char* host;
    const char* resolved;  // null: refused
  } cases[] = {
      {"127.0.0.2", "127.0.0.2"},
      {"::1", "::1"},
      {"localhost", "127.0.0.1"},  // its IPv4 address, even after ::1
      {"no-such-host.invalid", nullptr},
  };
  for (const Case& c : cases) {
    if (!c.resolved) {
      EXPECT_THROW(ResolveListenAddress({c.host, 80}, "--listen"), UsageError)
          << c.host;
      continue;
    }
    const ListenAddress address = ResolveListenAddress({c.host, 8080}, "--x");
    EXPECT_EQ(address.host, c.resolved) << c.host;
    EXPECT_EQ(address.port, 8080) << c.host;
  }
}

TEST(ListenAddress, AnAddressThatCannotBeHadSaysHowToChooseAnother) {
  struct Case {
    int error;
    const char* hint;  // null: none
  } cases[] = {
      {EADDRINUSE, "another program holds that port"},
      {EADDRNOTAVAIL, "not an address of this machine"},
      {EACCES, "ports below 1024 need root"},
      {0, nullptr},
  };
  for (const Case& c : cases) {
    const std::string message =
        CannotListenMessage("127.0.0.1:80", "--tls-listen", c.error, "why");
    EXPECT_EQ(message.rfind("cannot listen on 127.0.0.1:80: why", 0), 0u);
    if (c.hint) {
      EXPECT_NE(message.find(c.hint), std::string::npos) << message;
      EXPECT_NE(message.find("choose another with --tls-listen ADDR:PORT"),
                std::string::npos)
          << message;
    } else {
      EXPECT_EQ(message, "cannot listen on 127.0.0.1:80: why");
    }
  }
}

// Certificates and keys made by the openssl program: two key pairs, one
// key encrypted, and files that are wrong in each way the check tells.
TEST(TlsFiles, EachBadFileIsNamedWithWhatIsWrong) {
  namespace st = tagsmith::serve_testing;
  st::ScratchDir scratch;
  const std::string dir = scratch.path();
  for (const char* pair : {"a", "b"}) {
    const std::string name = dir + "/" + pair;
    const st::ProgramResult made = st::RunProgram(
        {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
         "ec_paramgen_curve:prime256v1", "-nodes", "-subj", "/CN=localhost",
         "-days", "1", "-keyout", name + ".key", "-out", name + ".crt"},
        std::chrono::seconds(60));
    ASSERT_EQ(made.status, 0) << made.err;
  }
  const st::ProgramResult locked =
      st::RunProgram({"openssl", "pkey", "-in", dir + "/a.key", "-aes128",
                      "-passout", "pass:secret", "-out", dir + "/locked.key"},
                     std::chrono::seconds(60));
  ASSERT_EQ(locked.status, 0) << locked.err;
  st::WriteFile(dir + "/both.pem",
                st::ReadFile(dir + "/a.key") + st::ReadFile(dir + "/a.crt"));
  st::WriteFile(dir + "/text.pem", "hello\n");
  st::WriteFile(dir + "/empty.pem", "");
  st::WriteFile(dir + "/cut.crt", st::ReadFile(dir + "/a.crt").substr(0, 80));
  std::filesystem::create_directory(dir + "/folder.pem");

  struct Case {
    std::string cert, key;
    const char* message;  // null: accepted
  } cases[] = {
      {"a.crt", "a.key", nullptr},
      {"both.pem", "both.pem", nullptr},
      {"none.crt", "a.key", "--tls-cert '@/none.crt' does not exist"},
      {"a.crt", "none.key", "--tls-key '@/none.key' does not exist"},
      {"folder.pem", "a.key", "--tls-cert '@/folder.pem' is a directory"},
      {"text.pem", "a.key", "--tls-cert '@/text.pem' is not PEM"},
      {"a.crt", "empty.pem", "--tls-key '@/empty.pem' is not PEM"},
      {"cut.crt", "a.key", "'@/cut.crt' holds no readable PEM certificate"},
      {"a.key", "a.crt",
       "'@/a.key' holds a private key, not a certificate "
       "(are --tls-cert and --tls-key swapped?)"},
      {"a.crt", "b.crt", "'@/b.crt' holds a certificate, not a private key"},
      {"a.crt", "locked.key", "'@/locked.key' is encrypted"},
      {"a.crt", "b.key",
       "the private key in --tls-key '@/b.key' does not "
       "belong to the certificate in --tls-cert '@/a.crt'"},
  };
  for (const Case& c : cases) {
    const std::string shown = c.cert + " " + c.key;
    try {
      CheckTlsFiles(dir + "/" + c.cert, dir + "/" + c.key);
      EXPECT_EQ(c.message, nullptr) << shown << " was accepted";
    } catch (const UsageError& error) {
      ASSERT_NE(c.message, nullptr) << shown << ": " << error.what();
      std::string expected = c.message;
      for (std::string::size_type at;
           (at = expected.find('@')) != std::string::npos;)
        expected.replace(at, 1, dir);
      EXPECT_NE(std::string(error.what()).find(expected), std::string::npos)
          << shown << ": " << error.what();
    }
  }
}

}  // namespace
}  // namespace tagsmith::host
