// A tiny self-checking harness for the programs that run under Windows (or
// Wine): one line per check, then "N passed, M failed"; the exit status is 1
// when anything failed.
#ifndef TAGSMITH_TESTS_WINDOWS_CHECK_H_
#define TAGSMITH_TESTS_WINDOWS_CHECK_H_

#include <cstdio>
#include <string>

namespace tagsmith::wincheck {

class Checks {
 public:
  // Records one check; `detail` says what was seen when it failed.
  bool Expect(bool ok, const std::string& name,
              const std::string& detail = "") {
    if (ok) {
      ++passed_;
      std::printf("ok   %s\n", name.c_str());
    } else {
      ++failed_;
      std::printf("FAIL %s%s%s\n", name.c_str(), detail.empty() ? "" : ": ",
                  detail.c_str());
    }
    std::fflush(stdout);
    return ok;
  }
  bool ExpectEqual(const std::string& got, const std::string& want,
                   const std::string& name) {
    return Expect(got == want, name,
                  "got \"" + got + "\", want \"" + want + "\"");
  }
  bool ExpectEqual(unsigned long long got, unsigned long long want,
                   const std::string& name) {
    char detail[96];
    std::snprintf(detail, sizeof detail, "got 0x%llX, want 0x%llX", got, want);
    return Expect(got == want, name, detail);
  }
  int Finish() const {
    std::printf("%d passed, %d failed\n", passed_, failed_);
    return failed_ == 0 && passed_ > 0 ? 0 : 1;
  }

 private:
  int passed_ = 0;
  int failed_ = 0;
};

}  // namespace tagsmith::wincheck

#endif  // TAGSMITH_TESTS_WINDOWS_CHECK_H_
