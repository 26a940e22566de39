// The model groups: which printers the filter drives and which of them have a
// rewinder, the other status byte layout, or the offset inside the SL command.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

inline constexpr std::array<int32_t, 42> kSupportedModels{
    5,   8,   9,   23,  27,  28,  34,  38,  39,  44,  45,  47,  55,  56,
    78,  79,  84,  100, 101, 103, 104, 142, 143, 144, 150, 157, 158, 159,
    256, 260, 261, 262, 263, 264, 265, 266, 267, 277, 288, 292, 293, 317};

inline constexpr std::array<int32_t, 5> kRewinderModels{142, 143, 150, 292, 293};

inline constexpr std::array<int32_t, 6> kStatusGroupModels{144, 159, 256, 277, 288, 317};

// Models up to this number take the black-mark offset inside SL; higher
// numbers take it in a separate SA command.
inline constexpr int32_t kOffsetInLengthMaxModel = 37;

template <std::size_t N>
constexpr bool modelIn(const std::array<int32_t, N>& group, int32_t model) {
  return std::find(group.begin(), group.end(), model) != group.end();
}

constexpr bool isSupportedModel(int32_t model) { return modelIn(kSupportedModels, model); }
constexpr bool isRewinderModel(int32_t model) { return modelIn(kRewinderModels, model); }
constexpr bool isStatusGroupModel(int32_t model) { return modelIn(kStatusGroupModels, model); }
constexpr bool offsetGoesInLength(int32_t model) { return model <= kOffsetInLengthMaxModel; }

static_assert(std::all_of(kRewinderModels.begin(), kRewinderModels.end(), isSupportedModel));
static_assert(std::all_of(kStatusGroupModels.begin(), kStatusGroupModels.end(), isSupportedModel));
