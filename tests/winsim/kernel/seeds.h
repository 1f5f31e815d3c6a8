// Runs one scenario under many seeds and names the first seed under which it
// failed, so the failing interleaving can be replayed alone.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace winsim::testing {

class Seeds {
 public:
  // first, first + 1, ..., last.
  static Seeds Range(uint64_t first, uint64_t last) {
    Seeds s;
    for (uint64_t seed = first; seed <= last; ++seed) s.list_.push_back(seed);
    return s;
  }
  static Seeds List(std::initializer_list<uint64_t> seeds) {
    Seeds s;
    s.list_.assign(seeds);
    return s;
  }
  auto begin() const { return list_.begin(); }
  auto end() const { return list_.end(); }

 private:
  std::vector<uint64_t> list_;
};

namespace detail {
// Failures recorded so far in the running test, from any thread.
inline int FailureCount() {
  const ::testing::TestResult* result =
      ::testing::UnitTest::GetInstance()->current_test_info()->result();
  int failures = 0;
  for (int i = 0; i < result->total_part_count(); ++i) {
    if (result->GetTestPartResult(i).failed()) ++failures;
  }
  return failures;
}
}  // namespace detail

// Calls `scenario(seed)` for each seed and stops at the first seed whose call
// added a failure. Failures raised on the calling thread carry the seed through
// SCOPED_TRACE; those raised inside simulated threads (other OS threads, where
// the trace does not reach) are followed by one failure that names the seed.
inline void ForEachSeed(const Seeds& seeds, const std::function<void(uint64_t seed)>& scenario) {
  for (uint64_t seed : seeds) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    int before = detail::FailureCount();
    scenario(seed);
    if (detail::FailureCount() != before) {
      ADD_FAILURE() << "the scenario failed under seed " << seed << "; later seeds were not run";
      return;
    }
  }
}

}  // namespace winsim::testing
