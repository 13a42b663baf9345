#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "DQNEXADataLoadingOperation.h"
#include "DQNEXADependentOperationDescriptor.h"
#include "DQNEXAError.h"
#include "DQNEXAOperationFactory.h"
#include "DQNEXAPutDataOperation.h"
#include "DQNEXAPutDataOperationDescriptor.h"
#include "DQNEXASingleOperationDescriptor.h"
#include "DQLocalFileHTTPStreamProvider.h"
#include "NEXATestSupport.h"

using namespace platform;
using namespace nexatest;

TEST(NEXAOperationFactoryTest, RegistriesNamesAndDefaults) {
  DQNEXAOperationFactory factory;
  EXPECT_EQ(factory.registerSingleDataAccessOperation("tree", "a", std::nullopt, true), "tree");
  EXPECT_FALSE(factory.registerSingleDataAccessOperation("tree", "b", std::nullopt, true));
  EXPECT_FALSE(factory.registerSingleDataAccessOperation("", "b", std::nullopt, true));
  const auto& first = *factory.registeredAccessOperations().at("tree");
  EXPECT_EQ(first.URLPathForOperation(*factory.instantiateOperationRegisteredWithName("tree", nullptr, nullptr), nullptr), "a");
  EXPECT_EQ(first.maxRetriesCount(), 2u);
  EXPECT_EQ(first.connectionTimeout(), 20.0);

  // A put registration of a taken access name lives beside it, never instead.
  auto put = std::make_shared<DQNEXAPutDataOperationDescriptor>("tree", "p", Value(), 20, 3, 2);
  EXPECT_EQ(factory.registerPutDataOperation(put), "tree");
  auto upload = std::make_shared<DQNEXAPutDataOperationDescriptor>("upload", "p", Value(), 20, 3, 2);
  factory.registerPutDataOperation(upload);
  EXPECT_TRUE(std::dynamic_pointer_cast<DQNEXADataLoadingOperation>(
      factory.instantiateOperationRegisteredWithName("tree", nullptr, nullptr)));
  EXPECT_TRUE(std::dynamic_pointer_cast<DQNEXAPutDataOperation>(
      factory.instantiateOperationRegisteredWithName("upload", nullptr, nullptr)));
  EXPECT_FALSE(factory.isOperationRegisteredForName("upload"));

  EXPECT_EQ(DQNEXAOperationFactory::defaultSingleOperationNameForPath("p", std::nullopt), "DQNEXASingleOperation:p-Default");
  EXPECT_EQ(DQNEXAOperationFactory::defaultSingleOperationNameForPath("p", DQNEXAResultClass::XMLDocument()),
            "DQNEXASingleOperation:p-com.zarn.NEXAKit.Tolvek.DQXMLDocument");
  const std::string a = DQNEXAPutDataOperationDescriptor::generateNameForPath("p");
  const std::string b = DQNEXAPutDataOperationDescriptor::generateNameForPath("p");
  EXPECT_TRUE(a.starts_with("DQNEXAPutDataOperation:p-"));
  EXPECT_NE(a, b);
  factory.unregisterAllRequests();
  EXPECT_FALSE(factory.isOperationRegisteredForName("tree"));
}

TEST(NEXAOperationFactoryTest, PathExpressionRegexIsGreedyAsStoredDescriptorsExpect) {
  const auto match =
      DQNEXADependentOperationDescriptor::regularExpressionToEvaluatePath().wholeMatch("dep{'sel:', '{a}'}");
  ASSERT_TRUE(match);
  EXPECT_EQ(match->string(1), "dep{'sel:', '");
  EXPECT_EQ(match->string(2), "a}'");
}

namespace {

// A tree operation that ran against a folder, and dependents of it.
class NEXADependentPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(folder.file("DevMgmt"));
    std::ofstream(folder.file("DevMgmt/DiscoveryTree.xml")) << kTree;
    context->finishWithBaseNEXAURL(*Url::fileUrl(folder.path() + "/"), DQLocalFileHTTPStreamProvider::make());
    tree = ran("tree", "DevMgmt/DiscoveryTree.xml");
    missing = ran("missing", "DevMgmt/Missing.xml");
  }
  std::shared_ptr<DQNEXAAccessOperation> ran(const std::string& name, const std::string& path) {
    auto operation = std::make_shared<DQNEXADataLoadingOperation>(
        std::make_shared<DQNEXASingleOperationDescriptor>(name, path, TestTreeDocument::resultClass(), false, 20, 1, 0),
        nullptr, context);
    operation->start();
    return operation;
  }
  std::optional<std::string> path(const std::string& expression, ErrorPtr* error) {
    auto descriptor = std::make_shared<DQNEXADependentOperationDescriptor>("d", std::vector<std::string>{"tree"},
                                                                           expression, std::nullopt, false, 20, 3, 2);
    auto dependent = std::make_shared<DQNEXADataLoadingOperation>(descriptor, nullptr, context);
    dependent->addDependency(tree);
    dependent->addDependency(missing);
    return descriptor->URLPathForOperation(*dependent, error);
  }

  testsupport::TemporaryDirectory folder;
  std::shared_ptr<DQNEXAResolvingContext> context = std::make_shared<DQNEXAResolvingContext>();
  std::shared_ptr<DQNEXAAccessOperation> tree;
  std::shared_ptr<DQNEXAAccessOperation> missing;
};

}  // namespace

TEST_F(NEXADependentPathTest, FunctionPartCallsTheDependencysResult) {
  ErrorPtr error;
  EXPECT_EQ(path("tree{'resourceURIFor:', 'ProductConfigDyn'}", &error), "/DevMgmt/ProductConfigDyn.xml");
  EXPECT_EQ(path(" tree {\"resourceURIFor:\", \"Status\"}\n", &error), "/Jobs/Status");
  // An empty name takes the first dependency.
  EXPECT_EQ(path("{'resourceURIFor:', 'Status'}", &error), "/Jobs/Status");
  // Without braces the expression is the path, trimmed of Unicode spaces too.
  EXPECT_EQ(path("\xE2\x80\xA8 DevMgmt/x.xml \xC2\xA0\n", &error), "DevMgmt/x.xml");
  EXPECT_FALSE(error);
}

TEST_F(NEXADependentPathTest, FailuresGiveTheirErrors) {
  ErrorPtr error;
  // "%" is a character of the function part, never a format.
  EXPECT_FALSE(path("tree{'resourceURIFor:', '%@%20%s'}", &error));
  EXPECT_TRUE(DQNEXAError::isNEXAError(error, DQNEXAError::kNoPath));
  error = nullptr;
  EXPECT_FALSE(path("tree{'unknownSelector:', 1}", &error));
  EXPECT_TRUE(DQNEXAError::isNEXAError(error, DQNEXAError::kNoPath));
  error = nullptr;
  EXPECT_FALSE(path("other{'XMLString'}", &error));
  EXPECT_TRUE(DQNEXAError::isNEXAError(error, DQNEXAError::kDependencyMissing));
  error = nullptr;
  // A dependency that failed passes its own error on.
  EXPECT_FALSE(path("missing{'XMLString'}", &error));
  EXPECT_EQ(error, missing->error());
  EXPECT_EQ(error->code(), DQNEXAError::kNoPath);
}
