#include "page/rotation.h"
