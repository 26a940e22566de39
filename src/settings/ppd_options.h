// Readers that turn the marked state of an open PPD into one integer per
// setting: the number at the start of the current choice's keyword, or a
// custom parameter's value. Each gives -1 when its option or parameter is
// missing.
#pragma once

#include <cstdint>

#include "settings/cups_ppd.h"

int32_t getOptionChoiceIndex(const char* keyword, ppd_file_t* ppd);
int32_t getCustomOptionChoiceIndex(const char* keyword, ppd_file_t* ppd);
int32_t getCustomParam(const char* keyword, ppd_file_t* ppd);
int32_t getCustomPageParam(const char* keyword, const char* paramName, ppd_file_t* ppd);
