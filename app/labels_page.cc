// The labels of a printer's recent jobs, read back from what the printer
// got. Shown to whoever may see the printer's jobs: the job must still be in
// PAPPL's list, and the page asks what PAPPL's jobs page asks.
#include <pappl/pappl.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "form_number.h"
#include "preview_store.h"
#include "web.h"

namespace {

constexpr int kJobsShown = 20;

struct Paths {
  std::string page;
  std::string image;
};

// The job and label the URL names; a label of 0 when it names none.
struct Wanted {
  bool given = false;  // any of them
  std::optional<int> job;
  std::optional<int> label;
};

Wanted wanted(pappl_client_t* client) {
  cups_option_t* form = nullptr;
  const int count = papplClientGetForm(client, &form);
  Wanted asked;
  const char* job = cupsGetOption("job", count, form);
  const char* label = cupsGetOption("label", count, form);
  asked.given = job != nullptr || label != nullptr;
  // Anything else from the URL is no job or label.
  asked.job = formNumber(job, 1, 999999999);
  asked.label = formNumber(label, 1, 999999999);
  cupsFreeOptions(count, form);
  return asked;
}

// The preview of a job that PAPPL still lists for the printer.
std::shared_ptr<const JobPreview> listedPreview(pappl_printer_t* printer, int jobId, bool* pending = nullptr) {
  if (papplPrinterFindJob(printer, jobId) == nullptr) return nullptr;
  return findJobPreview(papplPrinterGetID(printer), jobId, pending);
}

const LabelPreview* labelOf(const JobPreview* preview, const Wanted& asked) {
  if (preview == nullptr || !asked.label || static_cast<size_t>(*asked.label) > preview->labels.size()) return nullptr;
  const LabelPreview& label = preview->labels[static_cast<size_t>(*asked.label) - 1];
  return label.png.empty() ? nullptr : &label;
}

bool notFound(pappl_client_t* client) {
  return papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
}

std::string millimetres(uint32_t dots, int dpi) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", dpi > 0 ? dots * 25.4 / dpi : 0.0);
  return text;
}

std::string cutText(int32_t period) {
  if (period == 0) return "no cut";
  return period == 1 ? "cut after each" : "cut after every " + std::to_string(period);
}

// "50.0 x 30.0 mm, 400 x 240 dots, 2 copies, cut after each".
std::string labelFacts(const LabelPreview& label, pappl_printer_t* printer) {
  pappl_pr_driver_data_t data{};
  papplPrinterGetDriverData(printer, &data);
  return millimetres(label.width, data.x_default) + " x " + millimetres(label.height, data.y_default) + " mm, " +
         std::to_string(label.width) + " x " + std::to_string(label.height) + " dots, " +
         std::to_string(label.copies) + (label.copies == 1 ? " copy, " : " copies, ") + cutText(label.cutPeriod);
}

// `path` for one label of a job.
std::string ofLabel(const std::string& path, int job, size_t label) {
  return path + "?job=" + std::to_string(job) + "&label=" + std::to_string(label);
}

constexpr const char* kStyle =
    "<style>.labels img{max-width:min(40vw,12rem);height:auto;image-rendering:pixelated;"
    "outline:1px solid #c00;margin:.3rem;vertical-align:top}"
    ".whole{overflow:auto;max-width:100%}.whole img{max-width:none;outline:1px solid #c00;margin:1px}</style>\n";

void showLabel(pappl_client_t* client, pappl_printer_t* printer, const Paths& paths, int job, int index,
               const LabelPreview& label) {
  papplClientHTMLPrinterHeader(client, printer, "Labels", 0, nullptr, nullptr);
  papplClientHTMLPuts(client, kStyle);
  papplClientHTMLPrintf(client, "          <h2 class=\"title\">Job %d, label %d</h2>\n          <p>%s</p>\n", job,
                        index, labelFacts(label, printer).c_str());
  // At its own size, one dot a pixel, its edges outlined.
  papplClientHTMLPrintf(client,
                        "          <div class=\"whole\"><img src=\"%s\" width=\"%u\" height=\"%u\" alt=\"label %d\">"
                        "</div>\n          <p><a class=\"btn\" href=\"%s\">All labels</a></p>\n",
                        ofLabel(paths.image, job, static_cast<size_t>(index)).c_str(), label.width, label.height, index,
                        paths.page.c_str());
  papplClientHTMLPrinterFooter(client);
}

struct ListedJob {
  int id;
  std::string name;
  ipp_jstate_t state;
};

void showJobs(pappl_client_t* client, pappl_printer_t* printer, const Paths& paths) {
  std::vector<ListedJob> jobs;
  papplPrinterIterateAllJobs(
      printer,
      [](pappl_job_t* job, void* data) {
        const char* name = papplJobGetName(job);
        static_cast<std::vector<ListedJob>*>(data)->push_back(
            {papplJobGetID(job), name != nullptr ? name : "", papplJobGetState(job)});
      },
      &jobs, 1, kJobsShown);
  bool reading = false;
  std::vector<std::pair<std::shared_ptr<const JobPreview>, bool>> previews;
  for (const ListedJob& job : jobs) {
    bool pending = false;
    previews.emplace_back(listedPreview(printer, job.id, &pending), pending);
    reading = reading || pending;
  }
  papplClientHTMLPrinterHeader(client, printer, "Labels", reading ? 5 : 0, nullptr, nullptr);
  papplClientHTMLPuts(client, kStyle);
  if (jobs.empty()) papplClientHTMLPuts(client, "          <p>No jobs yet.</p>\n");
  for (size_t at = 0; at < jobs.size(); ++at) {
    const ListedJob& job = jobs[at];
    const char* state = ippEnumString("job-state", static_cast<int>(job.state));
    papplClientHTMLPrintf(client, "          <h2 class=\"title\">Job %d: %s (%s)</h2>\n", job.id, job.name.c_str(),
                          state);
    const auto& [preview, pending] = previews[at];
    if (preview == nullptr) {
      papplClientHTMLPuts(client, pending ? "          <p>Reading the labels&hellip;</p>\n"
                                          : "          <p>No labels kept for this job.</p>\n");
      continue;
    }
    const std::string count = std::to_string(preview->labelCount);
    papplClientHTMLPrintf(client, "          <p>%s %s", count.c_str(), preview->labelCount == 1 ? "label" : "labels");
    if (preview->labelCount > preview->labels.size()) {
      papplClientHTMLPrintf(client, ", the first %u shown", static_cast<unsigned>(preview->labels.size()));
    }
    if (!preview->problem.empty()) papplClientHTMLPrintf(client, "; %s", preview->problem.c_str());
    papplClientHTMLPuts(client, "</p>\n          <div class=\"labels\">");
    for (size_t index = 1; index <= preview->labels.size(); ++index) {
      const LabelPreview& label = preview->labels[index - 1];
      const std::string facts = labelFacts(label, printer);
      if (label.png.empty()) {
        papplClientHTMLPrintf(client, "<p>Label %u: %s (too large to show)</p>", static_cast<unsigned>(index),
                              facts.c_str());
        continue;
      }
      papplClientHTMLPrintf(client, "<a href=\"%s\"><img src=\"%s\" alt=\"label %u\" title=\"%s\"></a>",
                            ofLabel(paths.page, job.id, index).c_str(), ofLabel(paths.image, job.id, index).c_str(),
                            static_cast<unsigned>(index), facts.c_str());
    }
    if (!preview->labels.empty()) {
      const std::string facts = labelFacts(preview->labels.front(), printer);
      papplClientHTMLPrintf(client, "</div>\n          <p>%s</p>\n", facts.c_str());
    } else {
      papplClientHTMLPuts(client, "</div>\n");
    }
  }
  papplClientHTMLPrinterFooter(client);
}

bool labelsPage(pappl_client_t* client, void* data) {
  auto* printer = static_cast<pappl_printer_t*>(data);
  if (!papplClientHTMLAuthorize(client)) return true;
  if (papplClientGetMethod(client) != HTTP_STATE_GET) {
    return papplClientRespond(client, HTTP_STATUS_METHOD_NOT_ALLOWED, nullptr, nullptr, 0, 0);
  }
  Paths paths;
  char path[1024];
  paths.page = papplPrinterGetPath(printer, "labels", path, sizeof path);
  paths.image = papplPrinterGetPath(printer, "labels.png", path, sizeof path);
  const Wanted asked = wanted(client);
  // The printer's header sends the response's own header.
  if (!asked.given) {
    showJobs(client, printer, paths);
    return true;
  }
  const auto preview = asked.job ? listedPreview(printer, *asked.job) : nullptr;
  const LabelPreview* label = labelOf(preview.get(), asked);
  if (label == nullptr) return notFound(client);
  showLabel(client, printer, paths, *asked.job, *asked.label, *label);
  return true;
}

bool labelImage(pappl_client_t* client, void* data) {
  auto* printer = static_cast<pappl_printer_t*>(data);
  if (!papplClientHTMLAuthorize(client)) return true;
  const Wanted asked = wanted(client);
  const auto preview = asked.job ? listedPreview(printer, *asked.job) : nullptr;
  const LabelPreview* label = labelOf(preview.get(), asked);
  if (label == nullptr) return notFound(client);
  if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "image/png", 0, label->png.size())) return false;
  return httpWrite2(papplClientGetHTTP(client), label->png.data(), label->png.size()) ==
         static_cast<ssize_t>(label->png.size());
}

}  // namespace

void addLabelsPages(pappl_printer_t* printer) {
  pappl_system_t* system = papplPrinterGetSystem(printer);
  char path[1024];
  papplSystemAddResourceCallback(system, papplPrinterGetPath(printer, "labels.png", path, sizeof path), "image/png",
                                 labelImage, printer);
  papplSystemAddResourceCallback(system, papplPrinterGetPath(printer, "labels", path, sizeof path), "text/html",
                                 labelsPage, printer);
  papplPrinterAddLink(printer, "Labels", path, PAPPL_LOPTIONS_NAVIGATION | PAPPL_LOPTIONS_STATUS);
}
