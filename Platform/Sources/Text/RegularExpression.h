#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

typedef struct _GRegex GRegex;

namespace platform {

// A compiled regular expression in Perl syntax (GLib's GRegex). The subject is
// read as bytes, so text that is not UTF-8 never fails a match; "." stops at
// CR and LF, and "$" matches only at the end of the subject. Immutable once
// made: one instance serves every thread.
class RegularExpression {
 public:
  enum Options : unsigned {
    kNone = 0,
    kCaseInsensitive = 1u << 0,
  };

  // One match: group 0 is the whole match, then each capture group, as views
  // into the subject; a group that took no part in the match is nullopt.
  class Match {
   public:
    std::size_t count() const { return groups_.size(); }
    std::optional<std::string_view> group(std::size_t index) const {
      return index < groups_.size() ? groups_[index] : std::nullopt;
    }
    // The group's text, empty when it took no part.
    std::string string(std::size_t index) const { return std::string(group(index).value_or(std::string_view())); }

   private:
    friend class RegularExpression;
    std::vector<std::optional<std::string_view>> groups_;
  };

  // A pattern that does not compile, on its own or held at both ends as
  // wholeMatch() needs it, makes an expression that matches nothing;
  // isValid() and errorMessage() tell why.
  explicit RegularExpression(std::string_view pattern, unsigned options = kNone);
  ~RegularExpression();
  RegularExpression(const RegularExpression&) = delete;
  RegularExpression& operator=(const RegularExpression&) = delete;

  bool isValid() const { return regex_ != nullptr; }
  const std::string& errorMessage() const { return error_; }

  // The first match anywhere in the subject.
  std::optional<Match> firstMatch(std::string_view subject) const;
  // A match that spans the whole subject, or nullopt.
  std::optional<Match> wholeMatch(std::string_view subject) const;
  // Every match, left to right, without overlaps.
  std::vector<Match> matches(std::string_view subject) const;

 private:
  static std::vector<Match> run(GRegex* regex, std::string_view subject, bool all);

  GRegex* regex_ = nullptr;
  GRegex* whole_ = nullptr;  // the pattern anchored at both ends
  std::string error_;
};

}  // namespace platform
