// Requests in flight at once, each on its own thread with its own filter
// context: the notifications of one never change what the other's client
// receives. Run under ThreadSanitizer too (the "threads" label), where any
// unsynchronized sharing between the two is a failure of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/chunks.h"
#include "host/stand_in_server.h"
#include "tests/filter_harness.h"
#include "tests/property_check.h"

namespace tagsmith::testing {
namespace {

std::string Page(const std::string& extraHeaders, const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n" + extraHeaders + "\r\n" + body;
}

// Two sites and a few responses that take different ways through the
// filter: tagged from the file, tagged from a header split by seams,
// refused memory, left alone.
class ConcurrencyTest : public ::testing::Test {
 protected:
  ConcurrencyTest()
      : siteA_(
            "[ga1]\r\nAccount=UA-AAAA-1\r\nInsertBeforeScriptBlock=<!--a-->"
            "\r\n"),
        siteB_("[ga1]\r\nAppendAfterScriptBlock=<!--b-->\r\nAlwaysSSL=1\r\n") {
    std::string longBody = "<html><body>";
    for (int i = 0; i < 200; ++i)
      longBody += "<p>line " + std::to_string(i) + "</p>\n";
    longBody += "</body></html>\n";

    checks::Request r;
    r.response = Page("", longBody);
    r.appPath = siteA_.path();
    r.cuts = {5, 40, 41, 41, 700, 2000};
    requests_.push_back(r);

    r = checks::Request();
    r.response =
        Page("X-Tagsmith: UA-FROM-HEADER-22\r\n", "<body>b</BODY\n>tail");
    r.appPath = siteB_.path();
    r.secure = true;
    for (std::size_t at = 1; at < r.response.size(); at += 3)
      r.cuts.push_back(at);
    requests_.push_back(r);

    r = checks::Request();
    r.response = Page("X-Tagsmith: UA-REFUSED\r\n", "<body>c</body>");
    r.cuts = {75, 80};  // the second chunk shares the second block
    r.refuseAlloc =
        4;  // after the chain and two blocks: gathering the split account
    requests_.push_back(r);

    r = checks::Request();
    r.response =
        "HTTP/1.1 404 Not Found\r\nContent-Type: "
        "text/html\r\n\r\n<body></body>";
    r.appPath = siteA_.path();
    r.cuts = {10, 20};
    requests_.push_back(r);

    for (const checks::Request& request : requests_) {
      expected_.push_back(checks::Serve(LinkedFilter(), request).client);
    }
  }

  AppDir siteA_, siteB_;
  std::vector<checks::Request> requests_;
  std::vector<std::string> expected_;  // each request served alone
};

TEST_F(ConcurrencyTest, SingleThreadedResultsDifferAsIntended) {
  // Guards the test's own set-up: tagged pages, the refused one untagged.
  EXPECT_NE(expected_[0], requests_[0].response);
  EXPECT_NE(expected_[1], requests_[1].response);
  EXPECT_EQ(expected_[2], requests_[2].response);
  EXPECT_EQ(expected_[3], requests_[3].response);
}

// Hands the turn between threads: each step of each request runs only when
// the schedule names its thread, so notifications of the two requests
// interleave in the schedule's order.
class Turns {
 public:
  explicit Turns(std::vector<int> schedule) : schedule_(std::move(schedule)) {}
  template <typename Step>
  void Take(int who, Step step) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] {
      return next_ >= schedule_.size() || schedule_[next_] == who;
    });
    step();
    ++next_;
    changed_.notify_all();
  }

 private:
  std::vector<int> schedule_;
  std::size_t next_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
};

// Serves `request` step by step, taking a turn before each notification.
std::string ServeInTurns(const checks::Request& request, int who,
                         Turns* turns) {
  host::RequestSettings settings;
  settings.app_physical_path = request.appPath;
  settings.secure_port = request.secure;
  settings.refuse_alloc_call = request.refuseAlloc;
  host::StringSink client;
  host::StandInRequest served(LinkedFilter(), settings, client);
  turns->Take(who, [&] { served.SendResponse(); });
  for (std::string_view chunk : host::SplitAt(request.response, request.cuts)) {
    turns->Take(who, [&] { served.SendRawData(chunk); });
  }
  turns->Take(who, [&] { served.EndOfRequest(); });
  return client.bytes();
}

std::size_t Steps(const checks::Request& request) {
  return request.cuts.size() + 3;
}

TEST_F(ConcurrencyTest, InterleavedNotificationsOfTwoRequests) {
  std::mt19937 rng(77);
  for (std::size_t a = 0; a < requests_.size(); ++a) {
    for (std::size_t b = 0; b < requests_.size(); ++b) {
      for (int round = 0; round < 5; ++round) {
        // A random merge of the two requests' steps.
        std::vector<int> schedule(Steps(requests_[a]), 0);
        schedule.insert(schedule.end(), Steps(requests_[b]), 1);
        std::shuffle(schedule.begin(), schedule.end(), rng);
        Turns turns(schedule);
        std::string outA, outB;
        std::thread first(
            [&] { outA = ServeInTurns(requests_[a], 0, &turns); });
        std::thread second(
            [&] { outB = ServeInTurns(requests_[b], 1, &turns); });
        first.join();
        second.join();
        EXPECT_TRUE(outA == expected_[a])
            << "request " << a << " beside " << b << ", round " << round;
        EXPECT_TRUE(outB == expected_[b])
            << "request " << b << " beside " << a << ", round " << round;
      }
    }
  }
}

TEST_F(ConcurrencyTest, TwoThreadsServingAtOnce) {
  constexpr int kRounds = 150;
  std::vector<std::string> failures(2);
  auto serve = [&](int who) {
    for (int i = 0; i < kRounds; ++i) {
      const std::size_t k = (i + who) % requests_.size();
      if (checks::Serve(LinkedFilter(), requests_[k]).client != expected_[k]) {
        failures[who] += "request " + std::to_string(k) + " in round " +
                         std::to_string(i) + "; ";
      }
    }
  };
  std::thread first(serve, 0);
  std::thread second(serve, 1);
  first.join();
  second.join();
  EXPECT_EQ(failures[0], "");
  EXPECT_EQ(failures[1], "");
}

}  // namespace
}  // namespace tagsmith::testing
