// The app's pictogram of a label printer, drawn at start as PNG images for
// the printers' icons and the pages' navigation icon (no PAPPL).
#pragma once

#include <string>

struct AppIcons {
  std::string small;   // 48 x 48
  std::string medium;  // 128 x 128
  std::string large;   // 512 x 512
};

// Drawn on first use; the same images for the server's life.
const AppIcons& appIcons();

// The pictogram `size` pixels square as RGBA PNG; empty if libpng fails.
std::string labelPrinterPng(int size);
