#include "state_load.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <span>
#include <sstream>

#include "spawn.h"

namespace {

// cupsFileGets reads at most this much of a line into PAPPL's buffer, and
// the rest as the next line.
constexpr size_t kLongestLine = 2046;

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

}  // namespace

std::string repairedState(std::string_view text, std::vector<std::string>& notes) {
  std::string out;
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
  const std::string repaired = repairedState(text, notes);
  if (!notes.empty()) {
    for (const std::string& note : notes) {
      papplLog(system, PAPPL_LOGLEVEL_WARN, "State file '%s': %s.", file.c_str(), note.c_str());
    }
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
  papplSystemLoadState(system, file.c_str());
  return true;
}
