#include "settings/ppd_options.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "settings/numeric.h"

namespace {

// The decimal integer at the start of a text parameter (after blanks, with a
// sign), saturated to 32 bits; -1 for a text without one or no text at all.
int32_t leadingInteger(const char* text) {
  if (text == nullptr) return -1;
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (end == text) return -1;
  return static_cast<int32_t>(std::clamp<long long>(value, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

// The parameter's value as an integer, read as its declared type: numbers
// truncated toward zero, texts by their leading integer.
int32_t customInt(const ppd_cparam_t* param) {
  switch (param->type) {
    case PPD_CUSTOM_INT:
      return param->current.custom_int;
    case PPD_CUSTOM_REAL:
      return truncateToInt32(param->current.custom_real);
    case PPD_CUSTOM_POINTS:
      return truncateToInt32(param->current.custom_points);
    case PPD_CUSTOM_CURVE:
      return truncateToInt32(param->current.custom_curve);
    case PPD_CUSTOM_INVCURVE:
      return truncateToInt32(param->current.custom_invcurve);
    case PPD_CUSTOM_STRING:
      return leadingInteger(param->current.custom_string);
    case PPD_CUSTOM_PASSWORD:
      return leadingInteger(param->current.custom_password);
    case PPD_CUSTOM_PASSCODE:
      return leadingInteger(param->current.custom_passcode);
    default:
      return -1;
  }
}

// The number at the start of a choice keyword, read as atoi reads it
// (leading blanks, a sign, decimal digits; 0 without any). Numbers beyond
// 32 bits, which only a broken PPD holds, saturate instead of wrapping.
int32_t leadingNumber(const char* keyword) {
  const long long value = std::strtoll(keyword, nullptr, 10);
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

}  // namespace

int32_t getOptionChoiceIndex(const char* keyword, ppd_file_t* ppd) {
  ppd_choice_t* choice = ppdFindMarkedChoice(ppd, keyword);
  if (choice == nullptr) {
    ppd_option_t* option = ppdFindOption(ppd, keyword);
    if (option == nullptr) return -1;
    choice = ppdFindChoice(option, option->defchoice);
    if (choice == nullptr) return -1;
  }
  std::fprintf(stderr, "TAMRISK Label Driver DEBUG MSG : getOptionChoice = %s\n", choice->choice);
  if (strcasecmp(choice->choice, "Custom") == 0) {
    std::fprintf(stderr, "TAMRISK Label Driver DEBUG MSG : keyword = %s\n", choice->option->keyword);
    return getCustomOptionChoiceIndex(choice->option->keyword, ppd);
  }
  return leadingNumber(choice->choice);
}

int32_t getCustomOptionChoiceIndex(const char* keyword, ppd_file_t* ppd) {
  std::fputs("TAMRISK Label Driver DEBUG MSG : start custom option function\n", stderr);
  ppd_coption_t* coption = ppdFindCustomOption(ppd, keyword);
  if (coption == nullptr) return -1;
  std::fputs("TAMRISK Label Driver DEBUG MSG : cOption not NULL\n", stderr);
  ppd_cparam_t* param = ppdFirstCustomParam(coption);
  if (param == nullptr) return -1;
  std::fprintf(stderr, "TAMRISK Label Driver DEBUG MSG : cParam not NULL, name = %s\n", param->text);
  return customInt(param);
}

int32_t getCustomParam(const char* keyword, ppd_file_t* ppd) {
  ppd_coption_t* coption = ppdFindCustomOption(ppd, keyword);
  if (coption == nullptr) {
    std::fputs("TAMRISK DEBUG MSG : ppd option is NULL\n", stderr);
    return -1;
  }
  ppd_cparam_t* param = ppdFirstCustomParam(coption);
  if (param == nullptr) {
    std::fputs("TAMRISK DEBUG MSG : custom param is NULL\n", stderr);
    return -1;
  }
  return customInt(param);
}

int32_t getCustomPageParam(const char* keyword, const char* paramName, ppd_file_t* ppd) {
  ppd_coption_t* coption = ppdFindCustomOption(ppd, keyword);
  if (coption == nullptr) {
    std::fputs("TAMRISK DEBUG MSG : ppd option is NULL\n", stderr);
    return -1;
  }
  ppd_cparam_t* param = ppdFindCustomParam(coption, paramName);
  if (param == nullptr) {
    std::fputs("TAMRISK DEBUG MSG : custom param is NULL\n", stderr);
    return -1;
  }
  const float points = param->current.custom_points;
  std::fprintf(stderr, "TAMRISK DEBUG MSG : custom %s is %lf\n", paramName, static_cast<double>(points));
  return truncateToInt32(points);
}
