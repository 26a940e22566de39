#include "settings/settings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "settings/ppd_options.h"

float Dot = 0.0f;

namespace {

struct PpdCloser {
  void operator()(ppd_file_t* ppd) const { ppdClose(ppd); }
};
using PpdHandle = std::unique_ptr<ppd_file_t, PpdCloser>;

// Opens the PPD named by $PPD, or says why it cannot on standard error.
PpdHandle openPpd() {
  const char* path = std::getenv("PPD");
  if (path == nullptr || *path == '\0') {
    std::fputs("ERROR: No PPD file: the PPD environment variable is not set.\n", stderr);
    return nullptr;
  }
  errno = 0;
  PpdHandle ppd(ppdOpenFile(path));
  if (ppd == nullptr) {
    const int savedErrno = errno;
    int line = 0;
    const ppd_status_t status = ppdLastError(&line);
    if (status == PPD_FILE_OPEN_ERROR) {
      std::fprintf(stderr, "ERROR: Unable to open the PPD file \"%s\": %s\n", path,
                   std::strerror(savedErrno != 0 ? savedErrno : ENOENT));
    } else {
      std::fprintf(stderr, "ERROR: Unable to read the PPD file \"%s\": %s on line %d\n", path,
                   ppdErrorString(status), line);
    }
  }
  return ppd;
}

void markJobOptions(ppd_file_t* ppd, const char* options) {
  cups_option_t* list = nullptr;
  const int count = cupsParseOptions(options, 0, &list);
  if (count > 0 && list != nullptr) cupsMarkOptions(ppd, count, list);
  cupsFreeOptions(count, list);
}

void traceSettings(const settings_t& s) {
  constexpr const char* p = "TAMRISK Label Driver DEBUG MSG : ";
  std::fprintf(stderr, "%ssettings->modelNumer \t: %d\n", p, s.modelNumber);
  std::fprintf(stderr, "%ssettings->pageSize   \t: %d\n", p, s.pageSize);
  std::fprintf(stderr, "%ssettings->resolution  : %d\n", p, s.resolution);
  std::fprintf(stderr, "%ssettings->mediaType  \t: %d\n", p, s.mediaType);
  std::fprintf(stderr, "%ssettings->sensorType \t: %d\n", p, s.sensorType);
  std::fprintf(stderr, "%ssettings->rotation   \t: %d\n", p, s.rotation);
  std::fprintf(stderr, "%ssettings->numOfCopies\t: %d\n", p, s.numOfCopies);
  std::fprintf(stderr, "%ssettings->darkness   \t: %d\n", p, s.darkness);
  std::fprintf(stderr, "%ssettings->xMargin   \t: %d\n", p, s.xMargin);
  std::fprintf(stderr, "%ssettings->yMargin   \t: %d\n", p, s.yMargin);
  std::fprintf(stderr, "%ssettings->printSpeed \t: %d\n", p, s.printSpeed);
  std::fprintf(stderr, "%ssettings->bmOffset   \t: %d\n", p, s.bmOffset);
  std::fprintf(stderr, "%ssettings->toOffset   \t: %d\n", p, s.toOffset);
  std::fprintf(stderr, "%ssettings->cutter   \t: %d\n", p, s.cutter);
  std::fprintf(stderr, "%ssettings->cutPeriod  \t: %d\n", p, s.cutPeriod);
  if (isRewinderModel(s.modelNumber)) std::fprintf(stderr, "%ssettings->rewinder \t: %d\n", p, s.rewinder);
  std::fprintf(stderr, "%ssettings->compressed \t: %d\n", p, s.compressed);
  std::fputs("===================================================\n", stderr);
}

}  // namespace

float dotsPerMillimetre(int32_t resolution) {
  if (resolution == 203) return 8.0f;
  if (resolution == 300) return 11.8f;
  return 23.6f;
}

int initializeSettings(const char* options, settings_t* settings) {
  PpdHandle handle = openPpd();
  if (handle == nullptr) return 1;
  ppd_file_t* ppd = handle.get();
  ppdMarkDefaults(ppd);
  markJobOptions(ppd, options);

  settings_t s{};
  s.modelNumber = ppd->model_number;
  s.pageSize = getOptionChoiceIndex("PageSize", ppd);
  s.customWidth = static_cast<float>(getCustomPageParam("PageSize", "Width", ppd));
  s.customHeight = static_cast<float>(getCustomPageParam("PageSize", "Height", ppd));
  s.resolution = getOptionChoiceIndex("Resolution", ppd);
  Dot = dotsPerMillimetre(s.resolution);
  s.mediaType = getOptionChoiceIndex("MediaType", ppd);
  s.sensorType = getOptionChoiceIndex("SensorType", ppd);
  s.rotation = getOptionChoiceIndex("Rotation", ppd);
  s.numOfCopies = getOptionChoiceIndex("NumOfCopies", ppd);
  s.statusCheck = getOptionChoiceIndex("StatusCheck", ppd);
  s.darkness = getOptionChoiceIndex("Darkness", ppd);
  s.xMargin = getOptionChoiceIndex("XMargin", ppd);
  s.yMargin = getOptionChoiceIndex("YMargin", ppd);
  s.printSpeed = getOptionChoiceIndex("PrintSpeed", ppd);
  s.bmOffset = getOptionChoiceIndex("BMOffset", ppd);
  s.toOffset = getOptionChoiceIndex("TOOffset", ppd);
  s.cutter = getOptionChoiceIndex("Cutter", ppd);
  s.cutPeriod = getCustomParam("Cutter", ppd);
  if (isRewinderModel(s.modelNumber)) s.rewinder = getOptionChoiceIndex("Rewinder", ppd);
  s.compressed = getOptionChoiceIndex("CompPrinting", ppd);
  s.runTrace = getOptionChoiceIndex("RunTrace", ppd);
  *settings = s;

  traceSettings(s);
  return 0;
}

int jobSetup(int32_t modelNumber) {
  std::fprintf(stderr, "TAMRISK Label Driver DEBUG MSG : model number = %d\n", modelNumber);
  if (isSupportedModel(modelNumber)) return 0;
  std::fputs("TAMRISK Label Driver DEBUG MSG : This printer is not supported.\n", stderr);
  return 1;
}
