// PNG and JPEG jobs, decoded here rather than by PAPPL 1.3.1's filters: a
// PNG that its filter refuses (too large, damaged) sends it round one loop
// for good, each turn a libpng error line, and neither filter tells the
// client why a job failed. An image larger than kMaxImagePixels a side, or
// a JPEG whose coefficients and pixels together pass kMaxImageBytes, is
// refused before any of it is decoded; a JPEG of more than kMaxJpegScans
// scans once the decoder reaches the one too many. A cancel ends a decode
// within a row. The pixels are handed to PAPPL's scaling onto the label in
// gray, as the printers have no color (PAPPL's PNG filter hands over a color
// image whose red it then takes for gray).
#include <setjmp.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// libjpeg's header needs FILE and size_t declared first.
#include <jpeglib.h>
#include <png.h>

#include "jobs.h"
#include "server_settings.h"

namespace {

struct Image {
  // Rows of `width` gray bytes, not cleared first: the decoder writes each.
  std::unique_ptr<unsigned char[]> pixels;
  unsigned width = 0, height = 0;
  int xdpi = 0, ydpi = 0;
  bool smoothing = false;
};

// Why an image cannot be printed, for the job's message.
struct Refusal {
  std::string message;
  pappl_jreason_t reason = PAPPL_JREASON_DOCUMENT_FORMAT_ERROR;
};

// One decode, as the decoders' callbacks see it in the job's thread: the
// job, whose cancel ends the decode, and why it ended early.
struct Decode {
  pappl_job_t* job = nullptr;
  Refusal refusal;
  bool canceled = false;
};

// Called by the decoders in the job's thread, which holds no PAPPL lock;
// papplJobIsCanceled takes the job's for a moment.
bool canceled(Decode& decode) {
  decode.canceled = decode.canceled || papplJobIsCanceled(decode.job);
  return decode.canceled;
}

bool fits(unsigned width, unsigned height, Refusal& refusal) {
  if (width <= kMaxImagePixels && height <= kMaxImagePixels) return true;
  refusal = {"The image is " + std::to_string(width) + " x " + std::to_string(height) +
                 " pixels, larger than the " + std::to_string(kMaxImagePixels) + " x " +
                 std::to_string(kMaxImagePixels) + " the printer takes.",
             PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR};
  return false;
}

void pngError(png_structp png, png_const_charp message) {
  static_cast<Decode*>(png_get_error_ptr(png))->refusal.message =
      std::string("The PNG image cannot be read: ") + message;
  png_longjmp(png, 1);
}

// After each row of each pass.
void pngRowRead(png_structp png, png_uint_32 /*row*/, int /*pass*/) {
  if (canceled(*static_cast<Decode*>(png_get_error_ptr(png)))) png_longjmp(png, 1);
}

// A damaged image can warn on every row; its error says enough.
void pngWarning(png_structp /*png*/, png_const_charp /*message*/) {}

// Reads the image as PAPPL's PNG filter would, but in gray; libpng's errors
// come back here, with no C++ object between, and end the reading.
bool readPngImage(png_structp png, png_infop info, FILE* file, Image& image, std::vector<png_bytep>& rows,
                  Decode& decode) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_init_io(png, file);
  png_set_read_status_fn(png, pngRowRead);
  png_read_info(png, info);
  image.width = png_get_image_width(png, info);
  image.height = png_get_image_height(png, info);
  if (!fits(image.width, image.height, decode.refusal)) return false;
  image.xdpi = static_cast<int>(png_get_x_pixels_per_inch(png, info));
  image.ydpi = static_cast<int>(png_get_y_pixels_per_inch(png, info));
  const int color = png_get_color_type(png, info);
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  if (png_get_bit_depth(png, info) > 8) png_set_scale_16(png);
  if (png_get_bit_depth(png, info) < 8) png_set_packing(png);
  if (color & PNG_COLOR_MASK_PALETTE) png_set_palette_to_rgb(png);
  if (color & PNG_COLOR_MASK_COLOR) {
    png_set_rgb_to_gray(png, PNG_ERROR_ACTION_NONE, PNG_RGB_TO_GRAY_DEFAULT, PNG_RGB_TO_GRAY_DEFAULT);
  }
  png_color_16 white{};
  white.red = white.green = white.blue = white.gray = 65535;
  png_set_background(png, &white, PNG_BACKGROUND_GAMMA_SCREEN, 0, 1);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const size_t rowBytes = png_get_rowbytes(png, info);
  if (rowBytes != image.width) {
    decode.refusal.message = "The PNG image cannot be read: unexpected row size.";
    return false;
  }
  image.pixels = std::make_unique_for_overwrite<unsigned char[]>(rowBytes * image.height);
  rows.resize(image.height);
  for (unsigned y = 0; y < image.height; ++y) rows[y] = image.pixels.get() + size_t{y} * rowBytes;
  png_read_image(png, rows.data());
  return true;
}

bool readPng(FILE* file, Image& image, Decode& decode) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &decode, pngError, pngWarning);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  std::vector<png_bytep> rows;
  const bool read = info != nullptr && readPngImage(png, info, file, image, rows, decode);
  png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
  return read;
}

// What libjpeg calls back into, for one decode; an error, a scan too many
// and a cancel all leave through `jump`.
struct JpegHooks {
  jpeg_error_mgr errors;  // first: libjpeg hands its address back
  jpeg_progress_mgr progress;
  jmp_buf jump;
  Decode* decode;
};

JpegHooks& hooksOf(j_common_ptr info) { return *reinterpret_cast<JpegHooks*>(info->err); }

void jpegError(j_common_ptr info) {
  std::array<char, JMSG_LENGTH_MAX> text{};
  (*info->err->format_message)(info, text.data());
  hooksOf(info).decode->refusal.message = std::string("The JPEG image cannot be read: ") + text.data();
  longjmp(hooksOf(info).jump, 1);
}

// Warnings of damaged data are many; the image is printed as decoded.
void jpegMessage(j_common_ptr /*info*/, int /*level*/) {}

// libjpeg's progress monitor: before each row of blocks it takes in while
// it reads a file of several scans whole, and before each row it hands out.
// A scan costs a pass over its blocks however few its bytes, so the scans
// are counted as they come.
void jpegProgress(j_common_ptr info) {
  Decode& decode = *hooksOf(info).decode;
  if (reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > kMaxJpegScans) {
    decode.refusal = {"The JPEG image has more than the " + std::to_string(kMaxJpegScans) +
                          " scans the printer takes.",
                      PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR};
  } else if (!canceled(decode)) {
    return;
  }
  longjmp(hooksOf(info).jump, 1);
}

uint64_t roundedUp(uint64_t value, uint64_t step) { return (value + step - 1) / step * step; }

// What libjpeg holds of an image of several scans, read whole before the
// first row comes out: every component's coefficients, 64 JCOEF a block,
// in a whole number of samplings, as it allocates them. An image of one
// scan is decoded as it is read.
uint64_t coefficientBytes(jpeg_decompress_struct& info) {
  uint64_t bytes = 0;
  if (!jpeg_has_multiple_scans(&info)) return bytes;
  for (int c = 0; c < info.num_components; ++c) {
    const jpeg_component_info& component = info.comp_info[c];
    bytes += roundedUp(component.width_in_blocks, static_cast<uint64_t>(component.h_samp_factor)) *
             roundedUp(component.height_in_blocks, static_cast<uint64_t>(component.v_samp_factor)) * sizeof(JBLOCK);
  }
  return bytes;
}

// libjpeg's own buffers of a few rows each, besides the coefficients: 0.35
// MiB at 8192 pixels wide, the most of the samplings encoders use.
constexpr uint64_t kJpegRowBuffers = uint64_t{1} << 20;

// As PAPPL's JPEG filter reads it for a gray printer.
bool readJpegImage(jpeg_decompress_struct& info, JpegHooks& hooks, FILE* file, Image& image, Decode& decode) {
  if (setjmp(hooks.jump)) return false;
  jpeg_stdio_src(&info, file);
  jpeg_read_header(&info, TRUE);
  info.quantize_colors = FALSE;
  info.out_color_space = JCS_GRAYSCALE;
  info.out_color_components = 1;
  info.output_components = 1;
  jpeg_calc_output_dimensions(&info);
  image.width = info.output_width;
  image.height = info.output_height;
  if (!fits(image.width, image.height, decode.refusal)) return false;
  const uint64_t pixels = uint64_t{image.width} * image.height;
  const uint64_t bytes = pixels + coefficientBytes(info);
  if (bytes > kMaxImageBytes) {
    const auto mib = [](uint64_t count) { return std::to_string((count + (uint64_t{1} << 20) - 1) >> 20); };
    decode.refusal = {std::string("The ") + (info.progressive_mode ? "progressive" : "multi-scan") +
                          " JPEG image needs " + mib(bytes) + " MiB to decode, more than the " +
                          mib(kMaxImageBytes) + " MiB the printer takes.",
                      PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR};
    return false;
  }
  // Should libjpeg want more for its coefficients than counted here, it
  // fails cleanly: it has no backing store to put them in instead.
  info.mem->max_memory_to_use = static_cast<long>(kMaxImageBytes - pixels + kJpegRowBuffers);
  if (info.density_unit == 1) {
    image.xdpi = info.X_density;
    image.ydpi = info.Y_density;
  } else if (info.density_unit == 2) {
    image.xdpi = info.X_density * 254 / 100;
    image.ydpi = info.Y_density * 254 / 100;
  }
  image.smoothing = true;
  image.pixels = std::make_unique_for_overwrite<unsigned char[]>(size_t{image.width} * image.height);
  jpeg_start_decompress(&info);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = image.pixels.get() + size_t{info.output_scanline} * image.width;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  return true;
}

bool readJpeg(FILE* file, Image& image, Decode& decode) {
  jpeg_decompress_struct info{};
  JpegHooks hooks{};
  hooks.decode = &decode;
  info.err = jpeg_std_error(&hooks.errors);
  hooks.errors.error_exit = jpegError;
  hooks.errors.emit_message = jpegMessage;
  hooks.progress.progress_monitor = jpegProgress;
  jpeg_create_decompress(&info);
  info.progress = &hooks.progress;
  const bool read = readJpegImage(info, hooks, file, image, decode);
  jpeg_destroy_decompress(&info);
  return read;
}

}  // namespace

bool printImage(pappl_job_t* job, pappl_device_t* device, void* /*data*/) {
  const char* filename = papplJobGetFilename(job);
  // A deleter of its own: glibc's attributes on fclose make a pointer to it a
  // template argument that GCC 14 warns about.
  const auto closeFile = [](FILE* open) { std::fclose(open); };
  const std::unique_ptr<FILE, decltype(closeFile)> file(filename ? std::fopen(filename, "rb") : nullptr, closeFile);
  if (file == nullptr) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to open %s.", filename ? filename : "the document");
    papplJobSetMessage(job, "Unable to open the document.");
    return false;
  }
  Image image;
  Decode decode;
  decode.job = job;
  const bool png = std::string_view(papplJobGetFormat(job)) == "image/png";
  const bool read = png ? readPng(file.get(), image, decode) : readJpeg(file.get(), image, decode);
  // PAPPL ends a canceled job as canceled, with its own message.
  if (decode.canceled) return false;
  Refusal& refusal = decode.refusal;
  if (!read && refusal.message.empty()) refusal.message = "The image cannot be read.";
  if (read && image.xdpi != image.ydpi) {
    refusal = {"The image's pixels are not square (" + std::to_string(image.xdpi) + " x " +
                   std::to_string(image.ydpi) + " dpi).",
               PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR};
  }
  if (!refusal.message.empty()) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", refusal.message.c_str());
    papplJobSetMessage(job, "%s", refusal.message.c_str());
    papplJobSetReasons(job, refusal.reason, PAPPL_JREASON_NONE);
    return false;
  }
  const std::unique_ptr<pappl_pr_options_t, decltype(&papplJobDeletePrintOptions)> options(
      papplJobCreatePrintOptions(job, 1, false), papplJobDeletePrintOptions);
  return options != nullptr &&
         papplJobFilterImage(job, device, options.get(), image.pixels.get(), static_cast<int>(image.width),
                             static_cast<int>(image.height), 1, image.xdpi, image.smoothing);
}
