#include <gtest/gtest.h>

#include "Text/Base64.h"

using namespace platform;

TEST(Base64Test, EncodesAndDecodesTheRfc4648Vectors) {
  for (auto [plain, encoded] : {std::pair{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
                                {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}}) {
    const std::string_view text(plain);
    EXPECT_EQ(Base64::encode(text), encoded);
    EXPECT_EQ(Base64::decode(encoded), Data(text.begin(), text.end())) << encoded;
  }
  Data all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
  EXPECT_EQ(Base64::decode(Base64::encode(all)), all);
}

TEST(Base64Test, RefusesWhatIsNotStrictBase64) {
  for (const char* text : {"Zm9", "Zm9v\n", " Zm9v", "Zm=v", "Z===", "====", "Zm9vY===", "Zm-_", "Zg==Zg=="}) {
    EXPECT_FALSE(Base64::decode(text)) << text;
  }
}
