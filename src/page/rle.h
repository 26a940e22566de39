// Run-length coding of image bands.
#pragma once

#include <cstdint>
#include <span>

// Codes the first rows x bytesPerLine bytes of `band` into `payload` and
// returns the payload length. Only 0x00 and 0xFF are run-length coded, each
// run as the value and a count of 1 to 255; every other byte is copied as it
// is. Runs go on across row ends. `payload` needs room for twice the input:
// a band that holds fewer bytes, or a payload buffer that is too small, codes
// nothing and gives 0. Writes a start and an end trace line to standard
// error and, with `traceRuns`, one line per run between them.
uint32_t RLECompression(std::span<const uint8_t> band, std::span<uint8_t> payload, uint32_t rows,
                        uint32_t bytesPerLine, bool traceRuns = true);
