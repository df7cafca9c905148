// Runs the sandbox program of docs/sandbox.md, cut out at configure time into
// doc_example_cpp_sandbox.inc, so the documented example cannot drift.
#include <gtest/gtest.h>

// Everything the example may include comes first, so that the rename of main
// below cannot reach into a header.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>

#include "corvane/corvane.hpp"

#define main corvane_sandbox_readme_main
#include "doc_example_cpp_sandbox.inc"
#undef main

namespace {

TEST(SandboxReadmeExample, ThePolicyStopsOneAttackAndTheSandboxTheOther) {
  if (corvane::Sandbox::available().landlock_abi == 0)
    GTEST_SKIP() << "this kernel has no Landlock";
  testing::internal::CaptureStdout();
  const int rc = corvane_sandbox_readme_main();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("binary not allowed: /bin/sh"), std::string::npos) << out;
  EXPECT_NE(out.find("sandboxed sed printed: []"), std::string::npos) << out;
}

}  // namespace
