#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "DQNEXAError.h"
#include "NEXATestSupport.h"

using namespace platform;
using namespace nexatest;

namespace {

class NEXAFileSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(folder.file("DevMgmt"));
    std::ofstream(folder.file("DevMgmt/DiscoveryTree.xml")) << kTree;
    std::ofstream(folder.file("DevMgmt/ProductConfigDyn.xml")) << kConfig;
  }
  Url folderURL() const { return *Url::fileUrl(folder.path() + "/"); }

  testsupport::TemporaryDirectory folder;
};

}  // namespace

TEST_F(NEXAFileSessionTest, FolderResolvesAndServesDependentRequestsAndUploads) {
  auto session = DQNEXASession::make(folderURL(), std::nullopt, nullptr);
  registerTreeAndConfig(*session);
  ResolveAnswer resolved;
  session->schedulePrinterResolve(resolved.block());
  ASSERT_TRUE(resolved.wait());
  EXPECT_FALSE(resolved.error);
  EXPECT_EQ(resolved.info->objectForKey("ConnectionType").integerValue(), 3);
  EXPECT_EQ(resolved.texts("AccessURLs"), std::vector<std::string>{folderURL().absoluteString()});

  // The dependent path "/DevMgmt/..." stays under the folder.
  const Answer config = runRequest(*session, "config");
  EXPECT_FALSE(config.error);
  expectConfig(config.result);

  Answer missing;
  session->scheduleDataRetrievingForPath("DevMgmt/Nothing.xml", DQNEXAResultClass::XMLDocument(), missing.block());
  ASSERT_TRUE(missing.wait());
  EXPECT_EQ(missing.code(), DQNEXAError::kNoPath);

  EXPECT_FALSE(upload(*session, "<s>on</s>").error);
  std::stringstream written;
  written << std::ifstream(folder.file("DevMgmt/Settings.xml")).rdbuf();
  EXPECT_EQ(written.str(), "<s>on</s>");

  // Nothing to upload: the request could not be made.
  Answer empty;
  session->scheduleDataUploading(Data{}, "DevMgmt/Settings.xml", empty.block());
  ASSERT_TRUE(empty.wait());
  EXPECT_EQ(empty.code(), DQNEXAError::kCannotRequest);
}

TEST_F(NEXAFileSessionTest, BaseURLSessionIsResolvedAtOnce) {
  auto session = DQNEXASession::make(std::nullopt, folderURL(), nullptr);
  ResolveAnswer resolved;
  session->schedulePrinterResolve(resolved.block());
  EXPECT_EQ(resolved.calls, 1);
  EXPECT_EQ(session->printerResolvingState(), DQNEXASession::kResolved);
  EXPECT_TRUE(session->checkResolvingStatus(nullptr));
  // A cacheable registration under the default name of a path: scheduling
  // that path later answers from it at once.
  const auto name = DQNEXAOperationFactory::defaultSingleOperationNameForPath("DevMgmt/DiscoveryTree.xml",
                                                                             TestTreeDocument::resultClass());
  session->registerDataRetrievingRequest(name, "DevMgmt/DiscoveryTree.xml", TestTreeDocument::resultClass(), 3, true);
  const Answer tree = runRequest(*session, name);
  EXPECT_TRUE(std::dynamic_pointer_cast<TestTreeDocument>(tree.result));
  Answer byPath;
  session->scheduleDataRetrievingForPath("DevMgmt/DiscoveryTree.xml", TestTreeDocument::resultClass(), byPath.block());
  EXPECT_EQ(byPath.calls, 1);
  EXPECT_EQ(byPath.result, tree.result);
}

TEST_F(NEXAFileSessionTest, CancelledResolvingStartsOverAndAnswersLaterCallers) {
  // A resolver that never answers keeps the session resolving.
  auto session = DQNEXASession::make(folderURL(), std::nullopt, nullptr);
  session->setResolverFactory(silentResolver());
  ResolveAnswer dropped;
  session->schedulePrinterResolve(dropped.block());
  session->cancelPrinterResolve(true);
  EXPECT_EQ(dropped.calls, 0);

  session->setResolverFactory(nullptr);
  ResolveAnswer later;
  session->schedulePrinterResolve(later.block());
  ASSERT_TRUE(later.wait());
  EXPECT_FALSE(later.error);
  EXPECT_EQ(dropped.calls, 0);
  // An operation made with an unfinished context says so.
  auto context = std::make_shared<DQNEXAResolvingContext>();
  auto operation = session->operationFactory().instantiateUnregisteredSingleDataAccessOperation(
      "DevMgmt/DiscoveryTree.xml", std::nullopt, nullptr, context);
  operation->start();
  EXPECT_TRUE(DQNEXAError::isNEXAError(operation->error(), DQNEXAError::kNotResolved));
}
