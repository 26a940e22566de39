// The printer-state reasons the filter names in its "STATE: " messages.
#pragma once

#include <pappl/pappl.h>

#include <string_view>

// As PAPPL's bits; the ones PAPPL has no bit for count as "other".
inline pappl_preason_t reasonBit(std::string_view keyword) {
  if (keyword == "media-jam") return PAPPL_PREASON_MEDIA_JAM;
  if (keyword == "media-empty") return PAPPL_PREASON_MEDIA_EMPTY;
  if (keyword == "cover-open") return PAPPL_PREASON_COVER_OPEN;
  if (keyword == "ribbon-out") return PAPPL_PREASON_MARKER_SUPPLY_EMPTY;
  return PAPPL_PREASON_OTHER;
}
