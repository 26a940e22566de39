// A number a client wrote into a form or a page's address.
#pragma once

#include <optional>

// Digits only, a minus first where `low` allows one, at most nine of them,
// and from `low` to `high`; anything else is no number.
inline std::optional<int> formNumber(const char* text, int low, int high) {
  if (text == nullptr) return std::nullopt;
  const bool negative = *text == '-' && low < 0;
  if (negative) ++text;
  int value = 0, digits = 0;
  for (; text[digits] != '\0'; ++digits) {
    if (digits == 9 || text[digits] < '0' || text[digits] > '9') return std::nullopt;
    value = value * 10 + (text[digits] - '0');
  }
  if (digits == 0) return std::nullopt;
  if (negative) value = -value;
  if (value < low || value > high) return std::nullopt;
  return value;
}
