// The printer's setup and control commands. Each emitter writes its command to
// the buffered standard output (never flushing it) and then a trace line that
// repeats it to standard error.
#pragma once

#include <cstdint>

void setLength(int32_t sensorType, int32_t lengthDot, int32_t bmOffset, int32_t modelNumber);
void setWidth(int32_t widthDot);
void setMediaType(int32_t mediaType);
void setDarkness(int32_t darkness);
void setMargin(int32_t xMargin, int32_t yMargin);
void setSpeed(int32_t printSpeed);
void setToOffset(int32_t toOffset);
void setCutter(int32_t cutterMode, int32_t cutPeriod);
void setRewinder(int32_t rewinder);
void rotate180Degree();
