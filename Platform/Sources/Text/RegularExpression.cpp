#include "Text/RegularExpression.h"

#include <glib.h>

#include <algorithm>
#include <iterator>

namespace platform {

namespace {

GRegex* compile(const std::string& pattern, unsigned options, bool anchored, std::string* message) {
  unsigned flags = G_REGEX_RAW | G_REGEX_DOLLAR_ENDONLY | G_REGEX_NEWLINE_ANYCRLF | G_REGEX_OPTIMIZE;
  if (options & RegularExpression::kCaseInsensitive) flags |= G_REGEX_CASELESS;
  if (anchored) flags |= G_REGEX_ANCHORED;
  GError* error = nullptr;
  GRegex* regex =
      g_regex_new(pattern.c_str(), static_cast<GRegexCompileFlags>(flags), static_cast<GRegexMatchFlags>(0), &error);
  if (!regex && message) *message = error ? error->message : "invalid pattern";
  g_clear_error(&error);
  return regex;
}

// The length of the start-of-pattern settings that open `pattern`, such as
// "(*UCP)" or "(*LIMIT_MATCH=100)": they are read only before anything else,
// so the whole-match form keeps them in front of the group that holds the
// rest. Verbs such as "(*ACCEPT)" are part of the rest.
std::size_t leadingSettings(std::string_view pattern) {
  static constexpr std::string_view kSettings[] = {
      "UTF",      "UCP",         "CR",       "LF",       "CRLF",     "ANYCRLF",          "ANY",
      "NUL",      "BSR_ANYCRLF", "BSR_UNICODE",          "NOTEMPTY", "NOTEMPTY_ATSTART", "NO_AUTO_POSSESS",
      "NO_DOTSTAR_ANCHOR",       "NO_JIT",   "NO_START_OPT"};
  static constexpr std::string_view kLimits[] = {"LIMIT_DEPTH=", "LIMIT_HEAP=", "LIMIT_MATCH=", "LIMIT_RECURSION="};
  const auto isDigit = [](char c) { return g_ascii_isdigit(c) != 0; };
  const auto isSetting = [&](std::string_view name) {
    if (std::find(std::begin(kSettings), std::end(kSettings), name) != std::end(kSettings)) return true;
    return std::any_of(std::begin(kLimits), std::end(kLimits), [&](std::string_view limit) {
      return name.size() > limit.size() && name.starts_with(limit) &&
             std::all_of(name.begin() + static_cast<std::ptrdiff_t>(limit.size()), name.end(), isDigit);
    });
  };
  std::size_t end = 0;
  while (pattern.substr(end).starts_with("(*")) {
    const std::size_t close = pattern.find(')', end);
    if (close == std::string_view::npos || !isSetting(pattern.substr(end + 2, close - end - 2))) break;
    end = close + 1;
  }
  return end;
}

}  // namespace

RegularExpression::RegularExpression(std::string_view pattern, unsigned options) {
  const std::string text(pattern);  // GRegex reads a NUL-terminated pattern
  regex_ = compile(text, options, false, &error_);
  if (!regex_) return;
  // Whole matches are tried against the pattern held at both ends, so that an
  // alternative that spans the subject wins over an earlier shorter one. The
  // pattern's own last text must not take in what follows it: "\E" ends a
  // "\Q" quote left open (and is nothing without one), and a line end ends a
  // "#" comment of extended mode. Where no "#" comment is open, that line end
  // is inside the comment "(?#\n(?:)" and is nothing; where one is, the line
  // end closes it and "(?:)" is an empty group. Settings that must open the
  // pattern stay in front.
  const std::size_t settings = leadingSettings(text);
  whole_ = compile(text.substr(0, settings) + "(?:" + text.substr(settings) + "\\E(?#\n(?:))\\z", options, true,
                   &error_);
  if (!whole_) {
    // Still a pattern whose whole-match form does not compile: it is refused
    // as a whole, so that no form of it silently matches nothing.
    g_regex_unref(regex_);
    regex_ = nullptr;
  }
}

RegularExpression::~RegularExpression() {
  if (regex_) g_regex_unref(regex_);
  if (whole_) g_regex_unref(whole_);
}

std::optional<RegularExpression::Match> RegularExpression::firstMatch(std::string_view subject) const {
  auto found = run(regex_, subject, false);
  if (found.empty()) return std::nullopt;
  return std::move(found.front());
}

std::optional<RegularExpression::Match> RegularExpression::wholeMatch(std::string_view subject) const {
  auto found = run(whole_, subject, false);
  // The end anchor holds the match to the end, yet "(*ACCEPT)" may end it
  // before the anchor and "\K" may start it later: only a match of the whole
  // subject is one.
  if (found.empty() || !found.front().group(0) || found.front().group(0)->size() != subject.size()) {
    return std::nullopt;
  }
  return std::move(found.front());
}

std::vector<RegularExpression::Match> RegularExpression::matches(std::string_view subject) const {
  return run(regex_, subject, true);
}

std::vector<RegularExpression::Match> RegularExpression::run(GRegex* regex, std::string_view subject, bool all) {
  std::vector<Match> found;
  // Offsets come back as gint.
  if (!regex || subject.size() > static_cast<std::size_t>(G_MAXINT)) return found;
  // A view need not be NUL-terminated: GRegex takes the length, and an empty
  // view may have no storage at all.
  const gchar* bytes = subject.empty() ? "" : subject.data();
  const auto length = static_cast<gssize>(subject.size());
  GMatchInfo* info = nullptr;
  g_regex_match_full(regex, bytes, length, 0, static_cast<GRegexMatchFlags>(0), &info, nullptr);
  while (info && g_match_info_matches(info)) {
    Match match;
    const gint groups = g_match_info_get_match_count(info);
    for (gint group = 0; group < groups; ++group) {
      gint start = -1;
      gint end = -1;
      if (g_match_info_fetch_pos(info, group, &start, &end) && start >= 0 && end >= start) {
        match.groups_.emplace_back(subject.substr(static_cast<std::size_t>(start),
                                                  static_cast<std::size_t>(end - start)));
      } else {
        match.groups_.emplace_back(std::nullopt);
      }
    }
    // Unset groups after the last one that took part are not counted by GRegex.
    match.groups_.resize(static_cast<std::size_t>(g_regex_get_capture_count(regex)) + 1);
    found.push_back(std::move(match));
    if (!all || !g_match_info_next(info, nullptr)) break;
  }
  if (info) g_match_info_free(info);
  return found;
}

}  // namespace platform
