#include "drivers.h"

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "server_settings.h"
#include "settings/models.h"

namespace {

// The filter's standard sizes, width across the head by length along the
// feed, in inches: indices 0 to 53 run through the lengths for each width,
// then two sizes outside that grid.
constexpr std::array<double, 6> kWidths{1.5, 2, 2.5, 3, 3.5, 4};
constexpr std::array<double, 9> kLengths{1, 1.5, 2, 3, 4, 5, 6, 7, 8};
constexpr std::array<std::array<double, 2>, 2> kExtraSizes{{{4, 12}, {3, 4.5}}};

std::string mediaName(double width, double length) {
  std::array<char, 32> size{};
  std::snprintf(size.data(), size.size(), "%gx%g", width, length);
  const std::string dimensions = size.data();
  // The two sizes every client knows by their index-card names.
  const bool indexCard = dimensions == "4x6" || dimensions == "3x5";
  std::array<char, 64> name{};
  pwgFormatSizeName(name.data(), name.size(), indexCard ? "na" : "oe",
                    (indexCard ? "index-" + dimensions : dimensions + "-label").c_str(),
                    static_cast<int>(width * 2540), static_cast<int>(length * 2540), "in");
  return name.data();
}

const std::vector<std::string>& mediaNameStrings() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> list;
    for (double width : kWidths) {
      for (double length : kLengths) list.push_back(mediaName(width, length));
    }
    for (const auto& [width, length] : kExtraSizes) list.push_back(mediaName(width, length));
    return list;
  }();
  return names;
}

enum class Group { Classic, Standard, Rewinder, Status };

Group groupOf(int32_t model) {
  if (isRewinderModel(model)) return Group::Rewinder;
  if (isStatusGroupModel(model)) return Group::Status;
  if (offsetGoesInLength(model)) return Group::Classic;
  return Group::Standard;
}

constexpr std::array<const char*, 4> kGroupKeys{"classic", "standard", "rewinder", "status"};
constexpr std::array<int, 3> kResolutions{203, 300, 600};

std::string driverName(Group group, int resolution) {
  return std::string("tamrisk_") + kGroupKeys[static_cast<size_t>(group)] + "-" + std::to_string(resolution) + "dpi";
}

struct Drivers {
  std::vector<DriverInfo> infos;
  std::vector<pappl_pr_driver_t> table;
};

Drivers& drivers() {
  static Drivers all = [] {
    Drivers result;
    for (size_t g = 0; g < kGroupKeys.size(); ++g) {
      std::string models;
      int32_t first = 0;
      for (int32_t model : kSupportedModels) {
        if (groupOf(model) != static_cast<Group>(g)) continue;
        if (first == 0) first = model;
        models += (models.empty() ? "" : ", ") + std::to_string(model);
      }
      for (int resolution : kResolutions) {
        DriverInfo info;
        info.name = driverName(static_cast<Group>(g), resolution);
        info.description = "Tamrisk " + models + ", " + std::to_string(resolution) + " dpi";
        info.models = models;
        info.ppdModel = first;
        info.resolution = resolution;
        info.rewinder = static_cast<Group>(g) == Group::Rewinder;
        result.infos.push_back(std::move(info));
      }
    }
    for (const DriverInfo& info : result.infos) {
      result.table.push_back({info.name.c_str(), info.description.c_str(), nullptr, nullptr});
    }
    return result;
  }();
  return all;
}

}  // namespace

std::span<const char* const> standardMediaNames() {
  static const std::vector<const char*> names = [] {
    std::vector<const char*> list;
    for (const std::string& name : mediaNameStrings()) list.push_back(name.c_str());
    return list;
  }();
  return names;
}

std::span<pappl_pr_driver_t> driverTable() { return drivers().table; }

const DriverInfo* findDriver(const char* driverName) {
  if (driverName == nullptr) return nullptr;
  for (const DriverInfo& info : drivers().infos) {
    if (info.name == driverName) return &info;
  }
  return nullptr;
}

const DriverInfo* findDriver(int32_t model, int resolution) {
  if (!isSupportedModel(model)) return nullptr;
  return findDriver(driverName(groupOf(model), resolution).c_str());
}

std::span<const int32_t> driverModels() { return kSupportedModels; }

std::span<const int> driverResolutions() { return kResolutions; }

std::string ppdPath(const DriverInfo& driver) {
  return gPaths.ppdDirectory + "/tmk" + std::to_string(driver.ppdModel) + ".ppd";
}
