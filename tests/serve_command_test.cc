// `tagsmith serve`'s command line, parsed in this process: what each option
// sets and every way to get it wrong.
#include "host/serve_command.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

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
  const ServeOptions options = ParseServeArguments(
      {"--listen", "127.0.0.2:0", "site", "--app", "/blog=b", "--app=/x/y=c",
       "--tls-listen=[::1]:8443", "--tls-cert", "cert.pem", "--tls-key",
       "key.pem", "--chunk-size", "1", "--idle-timeout=2", "--threads", "3",
       "--filter", "lib.so", "--gzip", "--chunked", "--max-connections", "50"});
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
  for (const char* option :
       {"ROOT", "--listen", "--app", "--tls-listen", "--tls-cert",
        "--tls-key", "--chunk-size", "--filter", "--idle-timeout", "--gzip",
        "--chunked", "--max-connections",
        "example/site", "127.0.0.1:8080", "index.html", ".config"})
    EXPECT_NE(usage.find(option), std::string::npos) << option;
}

TEST(ServeArguments, TheDefaultSiteIsTheBundledExample) {
  const std::string site = DefaultSiteDirectory();
  EXPECT_EQ(std::filesystem::canonical(site),
            std::filesystem::canonical(std::string(TAGSMITH_SOURCE_DIR) +
                                       "/example/site"));
}

}  // namespace
}  // namespace tagsmith::host
