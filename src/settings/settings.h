// The job settings: one record filled from the PPD and the job options, the
// printer resolution in dots per millimetre, and the model groups.
#pragma once

#include <cstdint>

#include "settings/models.h"

// Field order and types are fixed: the record is copied whole into the
// job-setup sequence and other code relies on this layout; new fields go
// last. An option that is missing from the PPD leaves -1 (-1.0 for the
// custom size).
struct settings_t {
  int32_t modelNumber;
  int32_t pageSize;
  float customWidth;   // whole points
  float customHeight;  // whole points
  int32_t resolution;
  int32_t mediaType;
  int32_t sensorType;
  int32_t rotation;
  int32_t numOfCopies;
  int32_t statusCheck;
  int32_t darkness;
  int32_t xMargin;  // millimetres
  int32_t yMargin;  // millimetres
  int32_t printSpeed;
  int32_t bmOffset;  // millimetres
  int32_t toOffset;  // millimetres
  int32_t cutter;
  int32_t rewinder;
  int32_t cutPeriod;
  int32_t lengthDot;
  int32_t widthDot;
  int32_t compressed;
  // 0 leaves out the trace line per run-length run: a compressed label has
  // thousands, and the scheduler reads every line. -1 (absent) or 1 keeps them.
  int32_t runTrace;
};

// Printer dots per millimetre: 8.0 at 203 dpi, 11.8 at 300 dpi, 23.6 otherwise;
// 0 until the settings are read.
extern float Dot;

// Dots per millimetre for a resolution setting.
float dotsPerMillimetre(int32_t resolution);

// Reads the PPD named by the PPD environment variable and the job options
// into *settings, sets Dot and writes the settings trace. Returns 1 when the
// PPD cannot be opened (after an "ERROR: " line), else 0.
int initializeSettings(const char* options, settings_t* settings);

// Writes the model-number trace; returns 0 for a supported model, 1 otherwise.
int jobSetup(int32_t modelNumber);
