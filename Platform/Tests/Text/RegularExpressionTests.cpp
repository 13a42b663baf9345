#include <gtest/gtest.h>

#include <string>

#include "Text/RegularExpression.h"

using namespace platform;

TEST(RegularExpressionTest, GroupsAreViewsIntoTheSubjectAndUnsetGroupsAreMissing) {
  const RegularExpression expression(R"(^(.*)\{(.+)\}$)");
  const std::string text = "dep{'sel:', '{a}'}";
  const auto match = expression.wholeMatch(text);
  ASSERT_TRUE(match);
  ASSERT_EQ(match->count(), 3u);
  EXPECT_EQ(match->string(1), "dep{'sel:', '");  // greedy, as written
  EXPECT_EQ(match->string(2), "a}'");
  EXPECT_EQ(match->group(1)->data(), text.data());

  const RegularExpression optional("(a)|(b)");
  const auto second = optional.firstMatch("xb");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->count(), 3u);
  EXPECT_FALSE(second->group(1));
  EXPECT_EQ(second->string(2), "b");
  EXPECT_FALSE(second->group(7));
}

TEST(RegularExpressionTest, WholeMatchesSpanTheSubjectAndDollarIsItsEnd) {
  const RegularExpression alternatives("a|ab");
  EXPECT_EQ(alternatives.firstMatch("ab")->string(0), "a");
  ASSERT_TRUE(alternatives.wholeMatch("ab"));
  EXPECT_EQ(alternatives.wholeMatch("ab")->string(0), "ab");
  EXPECT_FALSE(alternatives.wholeMatch("abc"));

  const RegularExpression braces(R"(^(.*)\{(.+)\}$)");
  EXPECT_FALSE(braces.firstMatch("x{a}\n"));  // "$" is the end, not before a final line end
  EXPECT_FALSE(braces.firstMatch("x{a\r}"));  // "." stops at CR and LF
}

TEST(RegularExpressionTest, MatchesEveryOccurrenceInOrderAndIgnoresCaseWhenAsked) {
  const RegularExpression items("USB#([0-9a-f]{2})#([0-9a-f]{2})", RegularExpression::kCaseInsensitive);
  const auto found = items.matches("usb#07#01,USB#FF#0a,USB#1#2,Usb#aB#cD");
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].string(1), "07");
  EXPECT_EQ(found[1].string(1), "FF");
  EXPECT_EQ(found[2].string(2), "cD");
  EXPECT_TRUE(RegularExpression("usb").matches("USB").empty());
}

TEST(RegularExpressionTest, ReadsOnlyTheViewAndAcceptsAnyBytes) {
  const std::string text = "abc123def";
  const RegularExpression digits("[0-9]+$");
  EXPECT_FALSE(digits.firstMatch(text));
  const auto inView = digits.firstMatch(std::string_view(text).substr(0, 6));
  ASSERT_TRUE(inView);
  EXPECT_EQ(inView->string(0), "123");
  EXPECT_TRUE(RegularExpression("^$").wholeMatch(std::string_view()));

  const std::string latin1 = "caf\xE9{\xFF\x80}";
  const auto match = RegularExpression(R"(^(.*)\{(.+)\}$)").wholeMatch(latin1);
  ASSERT_TRUE(match);
  EXPECT_EQ(match->string(2), "\xFF\x80");
}

TEST(RegularExpressionTest, AnInvalidPatternMatchesNothing) {
  const RegularExpression broken("(unclosed");
  EXPECT_FALSE(broken.isValid());
  EXPECT_FALSE(broken.errorMessage().empty());
  EXPECT_FALSE(broken.firstMatch("(unclosed"));
  EXPECT_FALSE(broken.wholeMatch("(unclosed"));
  EXPECT_TRUE(broken.matches("(unclosed").empty());
}

// The pattern's own last text does not swallow what holds it at both ends: a
// trailing comment of extended mode, a quote left open. A pattern that still
// works in one form only is refused with its error.
TEST(RegularExpressionTest, WhatCompilesMatchesWholeOrIsRefused) {
  const RegularExpression comment("(?x)abc # letters");
  ASSERT_TRUE(comment.isValid()) << comment.errorMessage();
  EXPECT_TRUE(comment.wholeMatch("abc"));
  EXPECT_FALSE(comment.wholeMatch("abcd"));

  const RegularExpression quoted(R"(a.c\Q)");
  ASSERT_TRUE(quoted.isValid()) << quoted.errorMessage();
  EXPECT_TRUE(quoted.wholeMatch("abc"));
  EXPECT_FALSE(quoted.wholeMatch("abc)"));
  // What ends the comment is no character to match.
  EXPECT_FALSE(RegularExpression("ab").wholeMatch("ab\n"));
}

// Settings that must open the pattern stay first in both forms and take
// effect in both: with (*CR) alone a line feed is no line end, so "." takes it.
TEST(RegularExpressionTest, StartOfPatternSettingsWorkInBothForms) {
  const RegularExpression carriageReturn("(*CR)a.c");
  ASSERT_TRUE(carriageReturn.isValid()) << carriageReturn.errorMessage();
  EXPECT_TRUE(carriageReturn.firstMatch("xa\ncx"));
  EXPECT_TRUE(carriageReturn.wholeMatch("a\nc"));
  EXPECT_FALSE(carriageReturn.wholeMatch("a\rc"));
  EXPECT_FALSE(RegularExpression("a.c").wholeMatch("a\nc"));

  for (const char* pattern : {"(*UCP)\\w+", "(*UTF)\\w+", "(*LIMIT_MATCH=1000)\\w+", "(*NO_START_OPT)\\w+",
                              "(*CR)(*LIMIT_DEPTH=100)(*NO_START_OPT)(?i)\\w+"}) {
    const RegularExpression settings(pattern);
    ASSERT_TRUE(settings.isValid()) << pattern << ": " << settings.errorMessage();
    EXPECT_TRUE(settings.wholeMatch("abc")) << pattern;
    EXPECT_FALSE(settings.wholeMatch("abc-")) << pattern;
    const auto first = settings.firstMatch("-abc-");
    ASSERT_TRUE(first) << pattern;
    EXPECT_EQ(first->string(0), "abc") << pattern;
  }
}

// A match that ends early through (*ACCEPT), or whose start "\K" moves on,
// is no whole match even when it was tried against the whole subject.
TEST(RegularExpressionTest, AWholeMatchIsOnlyOneThatSpansTheSubject) {
  const RegularExpression accept("a(*ACCEPT)b");
  ASSERT_TRUE(accept.firstMatch("axyz"));
  EXPECT_EQ(accept.firstMatch("axyz")->string(0), "a");
  EXPECT_FALSE(accept.wholeMatch("axyz"));
  EXPECT_FALSE(accept.wholeMatch("ab"));
  EXPECT_TRUE(accept.wholeMatch("a"));  // what it matches is all there is

  const RegularExpression keep("a\\Kb");
  ASSERT_TRUE(keep.firstMatch("ab"));
  EXPECT_EQ(keep.firstMatch("ab")->string(0), "b");
  EXPECT_FALSE(keep.wholeMatch("ab"));
}
