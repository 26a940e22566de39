#include "page/rle.h"
