#include "settings/ppd_options.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "settings/numeric.h"

namespace {

// The parameter's value read as an integer, whatever its declared type: the
// value union's bits taken as custom_int (copied, so no union punning).
int32_t customInt(const ppd_cparam_t* param) {
  int32_t value = 0;
  static_assert(sizeof(param->current) >= sizeof(value));
  std::memcpy(&value, &param->current, sizeof(value));
  return value;
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
