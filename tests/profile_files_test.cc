// The profile reader on files written for each test: defaults, sizes,
// reads split at every seam, and what is not a small regular file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "tagging/profile_reader.h"
#include "tests/profile_call.h"

namespace {

using profile_call::Call;
using profile_call::Result;

namespace fs = std::filesystem;

class ProfileFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ =
        (fs::temp_directory_path() / "tagsmith_profile_XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = (dir_ / name).string();
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(f.good()) << "cannot write " << path;
    return path;
  }
  fs::path dir_;
};

#define BYTES(lit) std::string(lit, sizeof(lit) - 1)

// What the table cannot show: it always passes "" as the default.
struct DefaultCase {
  const char* name;
  const char* file;  // nullptr: no such file
  const char* section;
  const char* key;
  const char* def;
  std::uint32_t size;
  std::uint32_t ret;
  const char* value;
};

TEST_F(ProfileFiles, DefaultIsCopiedAndCutWhenTheSettingIsAbsent) {
  const char* kFile =
      "[ga1]\nAccount=UA-111\nEmpty=\nNoEquals\n[other]\nx=1\n[GA1]\nLater=2\n";
  const DefaultCase cases[] = {
      {"key absent", kFile, "ga1", "Missing", "dflt", 16, 4, "dflt"},
      {"key absent, default cut", kFile, "ga1", "Missing",
       "0123456789abcdefXYZ", 16, 15, "0123456789abcde"},
      {"key absent, default of size-1", kFile, "ga1", "Missing",
       "0123456789abcde", 16, 15, "0123456789abcde"},
      {"key absent, size 2", kFile, "ga1", "Missing", "dflt", 2, 1, "d"},
      {"key absent, size 1", kFile, "ga1", "Missing", "dflt", 1, 0, ""},
      {"key absent, null default", kFile, "ga1", "Missing", nullptr, 16, 0, ""},
      {"section absent", kFile, "ga2", "Account", "dflt", 16, 4, "dflt"},
      {"key only in a later block", kFile, "ga1", "Later", "dflt", 16, 4,
       "dflt"},
      {"key in another section", kFile, "ga1", "x", "dflt", 16, 4, "dflt"},
      {"file absent", nullptr, "ga1", "Account", "dflt", 16, 4, "dflt"},
      {"null key", kFile, "ga1", nullptr, "dflt", 16, 4, "dflt"},
      {"null section", kFile, nullptr, "Account", "dflt", 16, 4, "dflt"},
      {"present: value, not default", kFile, "ga1", "Account", "dflt", 16, 6,
       "UA-111"},
      {"present and empty: not default", kFile, "ga1", "Empty", "dflt", 16, 0,
       ""},
      {"present without '=': not default", kFile, "ga1", "NoEquals", "dflt", 16,
       0, ""},
  };
  for (const DefaultCase& c : cases) {
    const std::string path =
        c.file ? Write("d.config", c.file) : (dir_ / "absent.config").string();
    const Result r = Call(c.section, c.key, c.def, c.size, path);
    EXPECT_EQ(r.ret, c.ret) << c.name;
    EXPECT_EQ(r.value, c.value) << c.name;
    EXPECT_EQ(r.defects, "") << c.name;
  }
}

TEST_F(ProfileFiles, SizeZeroWritesNothing) {
  const std::string path = Write("z.config", "[ga1]\nAccount=UA-111\n");
  const char* keys[] = {"Account", "Missing"};
  for (const char* key : keys) {
    char buf[8];
    std::memset(buf, 'G', sizeof buf);
    EXPECT_EQ(ReadProfileString("ga1", key, "dflt", buf + 4, 0, path.c_str()),
              0u)
        << key;
    EXPECT_EQ(std::string(buf, sizeof buf), "GGGGGGGG") << key;
    EXPECT_EQ(ReadProfileString("ga1", key, "dflt", nullptr, 0, path.c_str()),
              0u)
        << key;
  }
}

// A value whose bytes show their positions, without blanks or quotes.
std::string Pattern(std::size_t n) {
  static const char kAlnum[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += kAlnum[(i * 7 + i / 36) % 36];
  return s;
}

struct Query {
  const char* section;
  const char* key;
  const char* def;
  std::uint32_t size;
  std::string want;  // value; its length is the expected return
};

struct SeamCase {
  const char* name;
  std::string body;
  std::vector<Query> queries;
};

// Each body is read after a padding line of every length that puts one of
// its bytes, or the boundary between two of them, on the seam between two
// reads (and of a few lengths that leave it whole in the first read).
TEST_F(ProfileFiles, ResultsDoNotDependOnWhereTheReadsSplitTheFile) {
  const std::uint32_t C = kProfileReadChunk;
  const std::string v3000 = Pattern(3000);
  const std::string v2047 = Pattern(2047);
  const std::string blanks(C + 300, ' ');
  const std::string tabs(C + 200, '\t');
  const std::string xs(C + 100, 'x');

  const std::vector<SeamCase> cases = {
      {"crlf",
       BYTES("[ga1]\r\nAccount=UA-111\r\nAlwaysSSL=1\r\n"),
       {{"ga1", "Account", "", 16, "UA-111"},
        {"ga1", "AlwaysSSL", "", 16, "1"}}},
      {"header and quotes",
       BYTES("[ Ga1 ]x] tail\r\nAccount\t = \"  UA 111  \" \x1a\r\n"),
       {{"ga1 ]x", "Account", "", 16, "  UA 111  "},
        {"ga1", "Account", "dflt", 16, "dflt"}}},
      {"quoted, exactly size-1 inside",
       BYTES("[ga1]\nQ15=\"012345678901234\"\nS='0123'\n"),
       {{"ga1", "Q15", "", 16, "01234567890123"},
        {"ga1", "S", "", 16, "0123"}}},
      {"cr only, near-miss keys",
       BYTES("[ga1]\rAccountX=no\rAccoun=no\r ACCOUNT \t= yes\x0b\r"),
       {{"ga1", "Account", "", 16, "yes"}}},
      {"later block",
       BYTES("[ga1]\nA=1\n[other]\nx=y\n[GA1]\nAccount=second\n"),
       {{"ga1", "Account", "dflt", 16, "dflt"}, {"other", "x", "", 16, "y"}}},
      {"nul ends the line",
       BYTES("[ga1]\nAccount=UA\0-111\nAlwaysSSL=1\nX\0Later=no\nLater=ok\n["
             "g\0a2]\nK=v\n[ga3]\0K=no\nK=w\n"),
       {{"ga1", "Account", "", 16, "UA"},
        {"ga1", "AlwaysSSL", "", 16, "1"},
        {"ga1", "Later", "", 16, "ok"},
        {"g", "K", "dflt", 16, "dflt"},
        {"ga3", "K", "", 16, "w"}}},
      {"unclosed bracket line",
       BYTES("[ga1]\n[ga2\nAccount=UA-111\n"),
       {{"ga1", "Account", "", 16, "UA-111"},
        {"ga2", "Account", "dflt", 16, "dflt"}}},
      {"no final line end",
       BYTES("[ga1]\nAccount= UA-111 \t"),
       {{"ga1", "Account", "", 16, "UA-111"}}},
      {"long value",
       "[ga1]\nAccount=" + v3000 + "\r\nAlwaysSSL=1\r\n",
       {{"ga1", "Account", "", 16, v3000.substr(0, 15)},
        {"ga1", "Account", "", 2048, v3000.substr(0, 2047)},
        {"ga1", "Account", "", 3000, v3000.substr(0, 2999)},
        {"ga1", "Account", "", 3001, v3000},
        {"ga1", "Account", "", 5000, v3000},
        {"ga1", "AlwaysSSL", "", 16, "1"}}},
      {"long quoted values",
       "[ga1]\nA=\"" + v2047 + "\"\nB='" + v3000 + "'  \nC=\"" + v3000 + "\n",
       {{"ga1", "A", "", 2048, v2047.substr(0, 2046)},
        {"ga1", "A", "", 2049, v2047},
        {"ga1", "B", "", 2048, v3000.substr(0, 2047)},
        {"ga1", "B", "", 3001, v3000.substr(0, 2999)},
        {"ga1", "B", "", 3002, v3000},
        {"ga1", "C", "", 3002, "\"" + v3000}}},
      {"long blanks",
       "[ga1" + blanks + "]\nAccount=" + tabs + "\"v\"" + blanks + "\nK" +
           blanks + "=w\n",
       {{"ga1", "Account", "", 16, "v"}, {"ga1", "K", "", 16, "w"}}},
      {"long near misses",
       "[ga1" + xs + "]\nAccount=no\n[ga1]\nAccount" + xs +
           "=no\nAccount=yes\n",
       {{"ga1", "Account", "", 16, "yes"}}},
  };

  for (const SeamCase& c : cases) {
    std::string failures;
    const std::size_t span = c.body.size() + 2;
    const std::uint32_t fromPad =
        span + 16 < C ? static_cast<std::uint32_t>(C - span) : 1;
    for (std::uint32_t pad = 1; pad <= C + 2; ++pad) {
      if (pad == 16 && fromPad > pad) pad = fromPad;
      // Padding before any header: a key line outside every section.
      const std::string path =
          Write("seam.config", std::string(pad - 1, 'p') + "\n" + c.body);
      for (const Query& q : c.queries) {
        const Result r = Call(q.section, q.key, q.def, q.size, path);
        if (r.ret != q.want.size() || r.value != q.want || !r.defects.empty()) {
          failures += "pad " + std::to_string(pad) + " " + q.key + "/" +
                      std::to_string(q.size) + ": returns " +
                      std::to_string(r.ret) + " " + r.defects + "\n";
        }
      }
      if (failures.size() > 2000) break;
    }
    EXPECT_TRUE(failures.empty()) << c.name << "\n" << failures;
  }
}

// Only a regular file of at most kMaxProfileFileBytes is read; anything
// else reads as absent, and at once: a FIFO without a writer must not hold
// the open, nor a device the read. A symbolic link counts as what it
// points at. Each case is read on a thread of its own so that a hang
// fails the test instead of stopping it.
TEST_F(ProfileFiles, OnlyARegularFileOfAtMostTheBoundIsRead) {
  const std::string settings = "[ga1]\nAccount=UA-111\n";
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string directory = (dir_ / "directory").string();
  fs::create_directory(directory);
  // The settings first, so a reader that went ahead would find them.
  const std::string atBound = Write("at-bound", settings);
  fs::resize_file(atBound, kMaxProfileFileBytes);
  const std::string overBound = Write("over-bound", settings);
  fs::resize_file(overBound, kMaxProfileFileBytes + 1);
  const struct {
    std::string name;
    std::string target;
    bool read;
  } cases[] = {
      {"regular file", Write("plain", settings), true},
      {"file of exactly the bound", atBound, true},
      {"file one byte over the bound", overBound, false},
      {"FIFO", fifo, false},
      {"character device", "/dev/zero", false},
      {"directory", directory, false},
  };
  for (const auto& c : cases) {
    for (const bool viaLink : {false, true}) {
      std::string path = c.target;
      if (viaLink) {
        path = (dir_ / ("link-" + std::to_string(&c - cases))).string();
        fs::create_symlink(c.target, path);
      }
      const std::string what = c.name + (viaLink ? " through a link" : "");
      auto result = std::make_shared<Result>();
      auto done = std::make_shared<std::promise<void>>();
      std::future<void> finished = done->get_future();
      std::thread([result, done, path] {
        *result = Call("ga1", "Account", "dflt", 16, path);
        done->set_value();
      }).detach();
      if (finished.wait_for(std::chrono::seconds(10)) !=
          std::future_status::ready) {
        ADD_FAILURE() << what << ": the read did not return";
        // Give a blocked open its writer, so that the thread can end.
        const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) close(writer);
        continue;
      }
      EXPECT_EQ(result->value, c.read ? "UA-111" : "dflt") << what;
      EXPECT_EQ(result->defects, "") << what;
    }
  }
  // A FIFO whose writer has put settings in it reads as absent too, and
  // leaves them there.
  const int writer = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(write(writer, settings.data(), settings.size()),
            static_cast<ssize_t>(settings.size()));
  EXPECT_EQ(Call("ga1", "Account", "dflt", 16, fifo).value, "dflt");
  char left[64];
  EXPECT_EQ(read(writer, left, sizeof left),
            static_cast<ssize_t>(settings.size()));
  close(writer);
}

// The filter reads its five keys in one pass; each must come out as a
// read of its own would give it, in every case file, with the filter's
// buffer sizes and with sizes that cut.

}  // namespace
