// The ways a job reaches the filter: PAPPL's driver callbacks for raster
// pages and the printer's own format, and the MIME filter callbacks for
// the documents the app renders itself. One file each.
#pragma once

#include <pappl/pappl.h>

// Raster pages as PAPPL reads them from a client (raster_job.cc).
bool startRasterJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool startRasterPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool writeRasterLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned y,
                     const unsigned char* line);
bool endRasterPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool endRasterJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
// A client's PWG or Apple raster document, spooled and read by the app
// (raster_job.cc): the MIME filter callbacks, and whether this PAPPL hands
// such documents to the spool, where they queue as every other format does
// and the app reads 1-bit pages besides 8-bit ones.
bool printPwgDocument(pappl_job_t* job, pappl_device_t* device, void* data);
bool printAppleRasterDocument(pappl_job_t* job, pappl_device_t* device, void* data);
bool rasterDocumentsSpooled();

// Label command files, the printer's own format, through the filter as they
// are (raw_job.cc).
bool printRawFile(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);

// PDF, rendered by the prefilters a CUPS queue runs (pdf_job.cc); offered
// only where they are installed.
bool pdfPrefiltersInstalled();
bool printPdf(pappl_job_t* job, pappl_device_t* device, void* data);

// PNG and JPEG, decoded by the app (image_job.cc).
bool printImage(pappl_job_t* job, pappl_device_t* device, void* data);
