#include <gtest/gtest.h>

#include <set>

#include "Text/RegularExpression.h"
#include "Text/Uuid.h"

using namespace platform;

TEST(UuidTest, NewStringsAreCanonicalUpperCaseAndDistinct) {
  const RegularExpression canonical("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    const std::string uuid = Uuid::newString();
    EXPECT_TRUE(canonical.wholeMatch(uuid)) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 100u);
}
