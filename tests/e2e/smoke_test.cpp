#include <gtest/gtest.h>

#include "e2e/harness.h"

TEST(Harness, RunsTheBinaryAndCapturesItsStatus) {
  e2e::RunOptions o;
  o.program = "/bin/sh";
  o.args = {"-c", "printf 'hello'; exit 3"};
  auto r = e2e::run(o);
  EXPECT_EQ(r.out, "hello");
  EXPECT_EQ(r.status, 3);
}
