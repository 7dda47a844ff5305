// Work in a child process: what it sends arrives in order, and however it
// ends (an abort, a hang, a runaway allocation, an exception) the caller
// goes on with a message that says how.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "child_process.h"
#include "tool_runner.h"

namespace voluna {
namespace {

using test_support::kAddressSanitizer;

TEST(ChildProcess, NotesMarksAndBytesArriveInOrder) {
  std::vector<uint8_t> buffer(16, 0);
  std::vector<std::string> seenBeforeBytes;
  std::vector<std::string> arrived;
  const OnNote onNote = [&](const std::string& note) {
    arrived.push_back(note);
    return std::string();
  };
  const PlaceBytes place = [&](uint64_t offset, uint64_t size) -> uint8_t* {
    seenBeforeBytes = arrived;
    return offset + size <= buffer.size() ? buffer.data() + offset : nullptr;
  };
  const ChildOutcome outcome = runInChild(
      [](ChildChannel& channel) {
        channel.note("first");
        channel.mark(3);
        channel.note(packFields({"a", std::string("b\0c", 3), ""}));
        const uint8_t bytes[4] = {1, 2, 3, 4};
        channel.bytes(8, bytes, 4);
        channel.mark(7);
      },
      {}, onNote, place);
  ASSERT_TRUE(outcome.finished) << outcome.failure;
  EXPECT_TRUE(outcome.failure.empty());
  EXPECT_EQ(outcome.lastMark, 7);
  ASSERT_EQ(outcome.notes.size(), 2u);
  EXPECT_EQ(outcome.notes[0], "first");
  std::vector<std::string> fields;
  ASSERT_TRUE(unpackFields(outcome.notes[1], fields));
  EXPECT_EQ(fields, (std::vector<std::string>{"a", std::string("b\0c", 3), ""}));
  EXPECT_EQ(seenBeforeBytes.size(), 2u) << "notes sent before the bytes are handled before them";
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 8, buffer.begin() + 12), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_FALSE(unpackFields(std::string("\x05\x00\x00\x00" "ab", 6), fields));
}

TEST(ChildProcess, AnAbortEndsTheChildNotTheCaller) {
  const ChildOutcome outcome = runInChild([](ChildChannel& channel) {
    channel.mark(2);
    std::abort();
  });
  EXPECT_FALSE(outcome.finished);
  EXPECT_EQ(outcome.lastMark, 2);
  EXPECT_NE(outcome.failure.find("signal " + std::to_string(SIGABRT)), std::string::npos) << outcome.failure;
  EXPECT_EQ(outcome.failure.find('\n'), std::string::npos);

  const ChildOutcome exited = runInChild([](ChildChannel&) { std::_Exit(5); });
  EXPECT_FALSE(exited.finished);
  EXPECT_NE(exited.failure.find("status 5"), std::string::npos) << exited.failure;
}

TEST(ChildProcess, AChildThatStallsIsStoppedAtTheLimit) {
  ChildLimits limits;
  limits.stallSeconds = 0.3;
  const auto start = std::chrono::steady_clock::now();
  const ChildOutcome outcome = runInChild(
      [](ChildChannel& channel) {
        channel.mark(0);
        std::this_thread::sleep_for(std::chrono::seconds(60));
      },
      limits);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_FALSE(outcome.finished);
  EXPECT_EQ(outcome.lastMark, 0);
  EXPECT_NE(outcome.failure.find("no sign of progress for 0.3 seconds"), std::string::npos) << outcome.failure;
  EXPECT_LT(seconds, 10.0);

  // Progress keeps a slow child going past the limit.
  const ChildOutcome slow = runInChild(
      [](ChildChannel& channel) {
        for (int i = 0; i < 6; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          channel.mark(i);
        }
      },
      limits);
  EXPECT_TRUE(slow.finished) << slow.failure;
}

TEST(ChildProcess, AllocationsBeyondTheBudgetFailInTheChild) {
  if (kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer takes no limit on address space";
  ChildLimits limits;
  limits.memoryBytes = int64_t{256} << 20;
  // Reserved, not touched: the machine's memory is not spent on the test.
  auto allocate = [](ChildChannel& channel) {
    std::unique_ptr<char[]> block(new char[size_t{1} << 30]);
    block[12345] = 'x';
    channel.note(std::string(block.get() + 12345, 1));
  };
  const ChildOutcome outcome = runInChild(allocate, limits);
  EXPECT_FALSE(outcome.finished);
  EXPECT_NE(outcome.failure.find("needs more memory than its size allows"), std::string::npos) << outcome.failure;

  // A stage that needs more may ask for it.
  const ChildOutcome raised = runInChild(
      [&](ChildChannel& channel) {
        channel.allowMemory(int64_t{2} << 30);
        allocate(channel);
      },
      limits);
  EXPECT_TRUE(raised.finished) << raised.failure;
}

TEST(ChildProcess, ExceptionsAndRefusalsBecomeTheFailure) {
  const ChildOutcome threw = runInChild([](ChildChannel&) { throw std::runtime_error("no such tag"); });
  EXPECT_FALSE(threw.finished);
  EXPECT_EQ(threw.failure, "could not be read (no such tag)");

  const ChildOutcome failed = runInChild([](ChildChannel& channel) { channel.fail("holds nothing of use"); });
  EXPECT_FALSE(failed.finished);
  EXPECT_EQ(failed.failure, "holds nothing of use");

  // The parent stops a child whose notes or bytes it cannot take.
  const ChildOutcome refusedNote = runInChild(
      [](ChildChannel& channel) {
        channel.note("slice of the wrong size");
        std::this_thread::sleep_for(std::chrono::seconds(60));
      },
      {}, [](const std::string& note) { return "refused: " + note; });
  EXPECT_FALSE(refusedNote.finished);
  EXPECT_EQ(refusedNote.failure, "refused: slice of the wrong size");

  const ChildOutcome refusedBytes = runInChild(
      [](ChildChannel& channel) {
        const char bytes[8] = {};
        channel.bytes(0, bytes, sizeof bytes);
      },
      {}, {}, [](uint64_t, uint64_t) -> uint8_t* { return nullptr; });
  EXPECT_FALSE(refusedBytes.finished);
  EXPECT_NE(refusedBytes.failure.find("does not fit"), std::string::npos) << refusedBytes.failure;
}

}  // namespace
}  // namespace voluna
