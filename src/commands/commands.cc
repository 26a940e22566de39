#include "commands/commands.h"

// Placeholders until the command set lands: they write nothing.
void setLength(int32_t, int32_t, int32_t, int32_t) {}
void setWidth(int32_t) {}
void setMediaType(int32_t) {}
void setDarkness(int32_t) {}
void setMargin(int32_t, int32_t) {}
void setSpeed(int32_t) {}
void setToOffset(int32_t) {}
void setCutter(int32_t, int32_t) {}
void setRewinder(int32_t) {}
void rotate180Degree() {}
