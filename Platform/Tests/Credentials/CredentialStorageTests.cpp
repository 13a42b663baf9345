#include <gtest/gtest.h>

#include "Credentials/CredentialStorage.h"
#include "Credentials/ProtectionSpace.h"

using namespace platform;

TEST(CredentialStorageTest, KeepsCredentialsPerSpaceInTheOrderTheyCame) {
  CredentialStorage storage;
  const ProtectionSpace space("printer", 80, "http", "Printer", ProtectionSpace::kAuthenticationMethodHTTPBasic);
  const ProtectionSpace otherRealm("printer", 80, "http", std::nullopt, ProtectionSpace::kAuthenticationMethodHTTPBasic);
  const ProtectionSpace otherPort("printer", 8080, "http", "Printer", ProtectionSpace::kAuthenticationMethodHTTPBasic);
  storage.setCredential({"zed", "1"}, space);
  storage.setCredential({"amy", std::nullopt}, space);
  storage.setCredential({"zed", "2"}, space);  // replaced in its place
  EXPECT_EQ(storage.credentialsForProtectionSpace(space),
            (std::vector<Credential>{{"zed", "2"}, {"amy", std::nullopt}}));
  EXPECT_TRUE(storage.credentialsForProtectionSpace(otherRealm).empty());
  EXPECT_TRUE(storage.credentialsForProtectionSpace(otherPort).empty());
  storage.removeCredential({"zed", std::nullopt}, space);
  EXPECT_EQ(storage.credentialsForProtectionSpace(space), (std::vector<Credential>{{"amy", std::nullopt}}));
}

TEST(ProtectionSpaceTest, EqualWhenAllFiveAgree) {
  const ProtectionSpace a("h", 1, "http", std::nullopt, "m");
  EXPECT_TRUE(a.isEqual(ProtectionSpace("h", 1, "http", std::nullopt, "m")));
  EXPECT_FALSE(a.isEqual(ProtectionSpace("h", 1, "http", "", "m")));  // no realm differs from an empty one
  EXPECT_FALSE(a.isEqual(ProtectionSpace("h", 1, "https", std::nullopt, "m")));
  EXPECT_EQ(a.description(), "<ProtectionSpace: h:1 http (null) m>");
}
