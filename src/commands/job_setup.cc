#include "commands/job_setup.h"

#include <cstdio>

#include "commands/commands.h"
#include "commands/output.h"

namespace {

// The job-level cut command. With several copies the cutter follows the cut
// period; a single copy is cut only for a period of 1, otherwise the page
// routine decides per page. These traces have no line end of their own: the
// setCutter trace completes the line.
void setJobCutter(const settings_t& settings) {
  constexpr const char* kFormat = "TAMRISK Label Driver DEBUG MSG primaryProcess(%d) : settings.cutPeriod = %d";
  if (settings.cutter == 0) {
    std::fprintf(stderr, kFormat, 3, settings.cutPeriod);
    setCutter(0, 0);
  } else if (settings.numOfCopies >= 2) {
    std::fprintf(stderr, kFormat, 1, settings.cutPeriod);
    setCutter(settings.cutter, settings.cutPeriod);
  } else if (settings.cutPeriod == 1) {
    std::fprintf(stderr, kFormat, 2, settings.cutPeriod);
    setCutter(settings.cutter, settings.cutPeriod);
  } else {
    setCutter(0, 0);
  }
}

}  // namespace

void primaryProcess(settings_t settings) {
  setLength(settings.sensorType, settings.lengthDot, settings.bmOffset, settings.modelNumber);
  setWidth(settings.widthDot);
  setMediaType(settings.mediaType);
  setDarkness(settings.darkness);
  setMargin(settings.xMargin, settings.yMargin);
  setSpeed(settings.printSpeed);
  setToOffset(settings.toOffset);
  if (isRewinderModel(settings.modelNumber)) setRewinder(settings.rewinder);
  setJobCutter(settings);
  flushOutput();
}
