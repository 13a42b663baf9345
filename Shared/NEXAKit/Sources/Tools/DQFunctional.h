#pragma once

#include <optional>
#include <utility>
#include <vector>

// Small functional helpers over arrays.
class DQFunctional {
 public:
  // The elements for which `block` answers true, in order.
  template <class T, class Block>
  static std::vector<T> filterArray(const std::vector<T>& array, Block&& block) {
    std::vector<T> kept;
    for (const auto& element : array) {
      if (block(element)) kept.push_back(element);
    }
    return kept;
  }
  // The same for an array that may be absent: none gives none.
  template <class T, class Block>
  static std::optional<std::vector<T>> filterArray(const std::optional<std::vector<T>>& array, Block&& block) {
    if (!array) return std::nullopt;
    return filterArray(*array, std::forward<Block>(block));
  }
};
