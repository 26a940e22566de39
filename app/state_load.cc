#include "state_load.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <span>
#include <sstream>
#include <string_view>

#include "server_settings.h"
#include "spawn.h"
#include "state_save.h"

namespace {

// cupsFileGets reads at most this much of a line into PAPPL's buffer, and
// the rest as the next line.
constexpr size_t kLongestLine = 2046;

// A job's state as PAPPL writes it: processing, pending.
constexpr std::string_view kPrinting = " state=\"5\"";
constexpr std::string_view kWaiting = " state=\"3\"";

// The lines PAPPL writes with quoted values (write_options in
// system-loadsave.c): a printer's first line, its jobs, the contacts and
// the media collections.
bool hasQuotedValues(std::string_view line) {
  const std::string_view word = line.substr(0, line.find(' '));
  return word == "<Printer" || word == "Job" || word == "Contact" || word == "media-col-default" ||
         word.starts_with("media-col-ready");
}

// The next line of `text` from `at` as cupsFileGets ends it: at CR, LF or
// CR LF.
std::string_view nextLine(std::string_view text, size_t& at) {
  const size_t start = at;
  const size_t end = std::min(text.find_first_of("\r\n", start), text.size());
  at = end;
  if (at < text.size() && text[at] == '\r') ++at;
  if (at < text.size() && text[at] == '\n') ++at;
  return text.substr(start, end - start);
}

// Whether a quote is still open at the end of `line`, from `open`.
bool quoteOpenAfter(std::string_view line, bool open) {
  for (size_t i = 0; i < line.size(); ++i) {
    if (open && line[i] == '\\') {
      ++i;
    } else if (line[i] == '"') {
      open = !open;
    }
  }
  return open;
}

// PAPPL makes a loaded job with its name, owner, id and addresses, then
// reads the job's attribute file, which holds them too: Get-Job-Attributes
// then answered each twice. The files lose theirs before PAPPL reads them.
void dropDuplicatedJobAttributes(pappl_system_t* system, const std::string& folder) {
  DIR* spool = opendir(folder.c_str());
  if (spool == nullptr) return;
  while (const dirent* entry = readdir(spool)) {
    const std::string_view name = entry->d_name;
    if (!name.ends_with(".ipp")) continue;
    const std::string path = folder + "/" + std::string(name);
    ipp_t* attributes = ippNew();
    {
      const Fd in(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
      if (in.get() < 0 || ippReadFile(in.get(), attributes) != IPP_STATE_DATA) {
        ippDelete(attributes);
        continue;
      }
    }
    bool dropped = false;
    for (const char* duplicated :
         {"job-name", "job-originating-user-name", "job-id", "job-uri", "job-uuid", "job-printer-uri"}) {
      while (ipp_attribute_t* attribute = ippFindAttribute(attributes, duplicated, IPP_TAG_ZERO)) {
        ippDeleteAttribute(attributes, attribute);
        dropped = true;
      }
    }
    const std::string fresh = path + ".new";
    if (dropped) {
      Fd out(open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (out.get() < 0 || ippWriteFile(out.get(), attributes) != IPP_STATE_DATA || fsync(out.get()) != 0 ||
          close(out.release()) != 0 || std::rename(fresh.c_str(), path.c_str()) != 0) {
        unlink(fresh.c_str());
        papplLog(system, PAPPL_LOGLEVEL_WARN, "Unable to rewrite the job attributes '%s'.", path.c_str());
      }
    }
    ippDelete(attributes);
  }
  closedir(spool);
}

}  // namespace

std::string repairedState(std::string_view text, std::vector<std::string>& notes, int& resumed) {
  std::string out;
  resumed = 0;
  size_t at = 0;
  int number = 0;
  bool skippingPrinter = false;
  while (at < text.size()) {
    std::string record(nextLine(text, at));
    const int first = ++number;
    if (hasQuotedValues(record)) {
      bool open = quoteOpenAfter(record, false);
      while (open && at < text.size()) {
        const std::string_view more = nextLine(text, at);
        ++number;
        record.append(" ").append(more);
        open = quoteOpenAfter(more, true);
      }
      if (number != first) {
        notes.push_back("lines " + std::to_string(first) + " to " + std::to_string(number) +
                        " are one record, a name with line breaks: read as one line");
      }
      if (open) {
        notes.push_back("line " + std::to_string(first) + " ends inside quotes: left out");
        continue;
      }
    }
    if (skippingPrinter) {
      if (record == "</Printer>") skippingPrinter = false;
      continue;
    }
    if (record.size() > kLongestLine) {
      skippingPrinter = record.starts_with("<Printer ");
      notes.push_back("line " + std::to_string(first) + " is longer than " + std::to_string(kLongestLine) +
                      " bytes: left out" + (skippingPrinter ? ", with its printer" : ""));
      continue;
    }
    // Quotes in values are escaped: this is the job's own state.
    if (const size_t state = record.find(kPrinting); record.starts_with("Job ") && state != std::string::npos) {
      record.replace(state, kPrinting.size(), kWaiting);
      ++resumed;
    }
    out.append(record).append("\n");
  }
  return out;
}

bool loadState(pappl_system_t* system, const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    papplSystemLoadState(system, file.c_str());  // PAPPL says why, unless there is none yet
    return true;
  }
  std::ostringstream read;
  read << in.rdbuf();
  const std::string text = read.str();
  std::vector<std::string> notes;
  int resumed = 0;
  const std::string repaired = repairedState(text, notes, resumed);
  for (const std::string& note : notes) {
    papplLog(system, PAPPL_LOGLEVEL_WARN, "State file '%s': %s.", file.c_str(), note.c_str());
  }
  if (resumed > 0) {
    papplLog(system, PAPPL_LOGLEVEL_INFO, "%d job(s) printing when the server ended print again from their start.",
             resumed);
  }
  if (repaired != text) {
    // Replaced whole or not at all.
    const std::string fresh = file + ".repaired";
    Fd out(open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (out.get() < 0 || !writeAll(out.get(), std::span(reinterpret_cast<const unsigned char*>(repaired.data()), repaired.size())) ||
        fsync(out.get()) != 0 || close(out.release()) != 0 || std::rename(fresh.c_str(), file.c_str()) != 0) {
      unlink(fresh.c_str());
      // Not loaded as it is, nor left out: the next save would lose every
      // printer.
      papplLog(system, PAPPL_LOGLEVEL_FATAL, "Cannot repair the state file '%s': %s.", file.c_str(), std::strerror(errno));
      return false;
    }
  }
  dropDuplicatedJobAttributes(system, gPaths.spoolDirectory);
  rememberJobAttributeFiles(gPaths.spoolDirectory);
  papplSystemLoadState(system, file.c_str());
  return true;
}
