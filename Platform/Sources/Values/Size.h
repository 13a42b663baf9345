#pragma once

#include <string>
#include <string_view>

namespace platform {

// A width and a height, and their text form "{w, h}" as property bags store
// sizes.
struct Size {
  double width = 0.0;
  double height = 0.0;

  bool operator==(const Size&) const = default;
  bool isZero() const { return width == 0.0 && height == 0.0; }

  // "{1280, 800}": each number in its shortest form that reads back exactly,
  // independent of the locale.
  std::string description() const;
  // Reads leniently: the first two numbers in the text are the width and
  // the height; a missing one is 0 ("junk" gives {0, 0}).
  static Size fromString(std::string_view text);
};

}  // namespace platform
