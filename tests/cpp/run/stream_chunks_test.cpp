// Output as it comes (RunOptions::on_chunk): chunks reach the caller while the
// child still runs, each tagged with its stream, under the same limits and
// deadline as a captured run, and a run cancelled from a chunk ends at once.
// Every row runs both ways a child starts and leaves no descriptor or child.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include "corvane/event_loop.hpp"
#include "prepared_peer.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

struct Row {
  const char* name;
  const char* script;  // run by /bin/sh; $1 is a FIFO the test opens once `release_after` came
  std::string release_after;  // what must have arrived before the child may go on ("" never)
  std::uint64_t max_stdout;
  std::uint64_t max_stderr;
  Duration timeout;
  bool cancel_on_first;
  std::string chunks;  // every chunk as "o:<bytes>" or "e:<bytes>", joined
  std::string result;  // "exit <code>", "interrupted" or the error's text
};

const Row kRows[] = {
    // The child waits on the FIFO, which the test opens only once both chunks
    // arrived: delivered only at the end, this row would run into its deadline.
    {"chunks arrive while the child runs", "printf out; printf err >&2; cat \"$1\"; printf end",
     "o:oute:err", 1024, 1024, Duration{5, 0}, false, "o:oute:erro:end", "exit 0"},
    {"the exit status comes at the end", "printf x; exit 3", "", 1024, 1024, Duration{5, 0}, false,
     "o:x", "exit 3"},
    {"stdout is cut at its limit", "printf 0123456789", "", 4, 1024, Duration{5, 0}, false,
     "o:0123", "stdout limit exceeded: 4 bytes"},
    {"stderr is cut at its limit", "printf 0123456789 >&2", "", 1024, 3, Duration{5, 0}, false,
     "e:012", "stderr limit exceeded: 3 bytes"},
    {"the deadline still ends the run", "printf early; exec sleep 5", "", 1024, 1024, millis(300),
     false, "o:early", "timeout"},
    {"a chunk may cancel the run", "printf first; sleep 0.2; printf second; exec sleep 5", "", 1024,
     1024, Duration{5, 0}, true, "o:first", "interrupted"},
};

std::string shown(const RunResult& r) {
  if (r.interrupted) return "interrupted";
  if (r.result) return "exit " + std::to_string(r.result->exit_code().value_or(-1));
  if (std::holds_alternative<exec_error::Timeout>(r.result.error())) return "timeout";
  return to_string(r.result.error());
}

class StreamChunks : public test::NoLeakTest,
                     public ::testing::WithParamInterface<std::tuple<Row, bool>> {
 protected:
  test::TempDir dir_;
};

TEST_P(StreamChunks, Row) {
  const auto& [row, on_starter] = GetParam();
  const Path fifo = dir_ / "go";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  PreparedCommandTestPeer peer;
  peer.bin = "/bin/sh";
  peer.argv = {"-c", row.script, "sh", fifo.string()};
  peer.max_stdout = row.max_stdout;
  peer.max_stderr = row.max_stderr;
  peer.timeout = row.timeout;

  auto loop = create_run_loop();
  ASSERT_TRUE(loop);
  std::string chunks;
  std::optional<RunResult> result;
  RunHandle handle;
  bool released = false;
  RunOptions options;
  options.start_on = on_starter ? StartOn::Starter : StartOn::Caller;
  options.on_chunk = [&](OutputStream stream, std::string_view data) {
    chunks += stream == OutputStream::Stdout ? "o:" : "e:";
    chunks += data;
    if (row.cancel_on_first) handle.cancel();
    if (!released && !row.release_after.empty() && chunks == row.release_after) {
      released = true;
      // The child is blocked opening the FIFO for reading: this open meets it.
      const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      ::close(fd);
    }
  };
  handle =
      peer.make().spawn(**loop, std::move(options), [&](RunResult r) { result = std::move(r); });
  (*loop)->run();
  ASSERT_TRUE(result);
  EXPECT_EQ(chunks, row.chunks);
  EXPECT_EQ(shown(*result), row.result);
  // Delivered instead of captured: nothing is held twice.
  if (result->result) {
    EXPECT_EQ(result->result->stdout, "");
    EXPECT_EQ(result->result->stderr, "");
  }
  EXPECT_EQ(result->partial_stdout, "");
  EXPECT_EQ(result->partial_stderr, "");
}

INSTANTIATE_TEST_SUITE_P(Rows, StreamChunks,
                         ::testing::Combine(::testing::ValuesIn(kRows), ::testing::Bool()),
                         [](const auto& info) {
                           std::string name = std::get<0>(info.param).name;
                           for (char& c : name)
                             c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name + (std::get<1>(info.param) ? "_starter" : "_caller");
                         });

}  // namespace
}  // namespace corvane
