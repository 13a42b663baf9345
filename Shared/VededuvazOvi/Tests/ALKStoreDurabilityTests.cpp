#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "ChildProcess.h"
#include "StoreTestSupport.h"
#include "TemporaryDirectory.h"

namespace {

constexpr int kHits = 12;

// The child: stores kHits hits in the file named by the environment and, in
// "reading" mode, dispatches with a sender that never finishes, so that the
// first row stays read. Then it waits to be killed.
TEST(StoreDurabilityChild, DISABLED_StoresHitsUntilKilled) {
  const char* path = std::getenv("ALK_TEST_STORE");
  const char* mode = std::getenv("ALK_TEST_MODE");
  ASSERT_TRUE(path && mode);
  StorePipeline stages(path);
  stages.holdSends = true;
  for (int hit = 1; hit <= kHits; ++hit) stages.input->enqueueObject(activityStamped(hit));
  if (std::string(mode) == "reading") {
    pumpUntil([&] { return stages.input->isEmpty(); });
    stages.dispatch();
  }
  for (;;) platform::RunLoop::main().runOnce(true);
}

class StoreDurabilityTest : public ::testing::Test {
 protected:
  // Runs the child until the file satisfies `killWhen`, kills it, then sends
  // every row through a fresh pipeline on the same file.
  std::vector<double> killChildThenSend(const char* mode,
                                        const std::function<bool(const std::vector<std::pair<double, int>>&)>& killWhen) {
    const pid_t child = spawnTestChild("StoreDurabilityChild.DISABLED_StoresHitsUntilKilled",
                                       {"ALK_TEST_STORE=" + path, std::string("ALK_TEST_MODE=") + mode});
    EXPECT_GT(child, 0);
    if (child <= 0) return {};
    EXPECT_TRUE(waitFor([&] { return killWhen(rowsInFile(path)); }));
    ::kill(child, SIGKILL);
    const int status = waitForChild(child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    StorePipeline stages(path);
    stages.dispatch();
    EXPECT_TRUE(waitFor([&] { return stages.sent.size() >= kHits && rowsInFile(path).empty(); }));
    return stages.sent;
  }

  TemporaryDirectory folder;
  const std::string path = folder.file("store.sqlite");
  const std::vector<double> every = [] {
    std::vector<double> stamps;
    for (int hit = 1; hit <= kHits; ++hit) stamps.push_back(hit);
    return stamps;
  }();
};

TEST_F(StoreDurabilityTest, SavedHitsSurviveAKilledProcess) {
  EXPECT_EQ(killChildThenSend("stored", [](const auto& rows) { return rows.size() == kHits; }), every);
}

TEST_F(StoreDurabilityTest, AHitReadByAKilledProcessIsSentAgain) {
  const auto sent = killChildThenSend("reading", [](const auto& rows) {
    return rows.size() == kHits && std::ranges::any_of(rows, [](const auto& row) { return row.second == 1; });
  });
  EXPECT_EQ(sent, every) << "the read hit once more here, every other hit once";
}

}  // namespace
