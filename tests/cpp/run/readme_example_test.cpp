// Runs the C++ program of docs/cpp.md, cut out at configure time into
// doc_example_cpp_api.inc, so the documented example cannot drift from the library.
#include <gtest/gtest.h>

// Everything the example may include comes first, so that the rename of main
// below cannot reach into a header.
#include <iostream>
#include <string>
#include <utility>

#include "corvane/corvane.hpp"

#define main corvane_readme_main
#include "doc_example_cpp_api.inc"
#undef main

namespace {

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(ReadmeExample, RunsToCompletionAndPrintsWhatItPromises) {
  testing::internal::CaptureStdout();
  const int rc = corvane_readme_main();
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_EQ(rc, 0) << out;
  // The shell is refused by the risky-binary policy, named by its canonical path.
  EXPECT_TRUE(contains(out, "risky binary denied (shell): /")) << out;
  EXPECT_TRUE(contains(out, "exit 0: hello\n")) << out;
  EXPECT_TRUE(contains(out, "hello\nagain\n")) << out;
  // The three asynchronous runs complete in any order, each printed once.
  for (const char* line : {"\none\n", "\ntwo\n", "\nthree\n"}) {
    EXPECT_TRUE(contains(out, line)) << line << " missing from:\n" << out;
  }
}

}  // namespace
