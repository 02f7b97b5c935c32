// Every message and exit code the tool has is in the README's tables and in
// the manual page, paired with the same exit code, and the documents show no
// message or code the tool does not have. The messages and their exit codes
// are driver/messages.h's own lists (UNZRQ_REPORTS, UNZRQ_EXIT_CODES), which
// the driver's constants are made from; a message declared in the header
// outside those lists fails the first test.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/messages.h"

namespace {

// The header's constants that are neither a report nor an exit code: the
// default folder, the usage, standard output's lines, and the two lists as
// tables.
const std::set<std::string> kOtherConstants = {
    "kDefaultOutputFolder", "kUsageLine",   "kUsageInputLine", "kUsageOutputLine",
    "kEntryLine",           "kSummaryLine", "kExitCodes",      "kReports",
    // zrq's usage, its lines on standard output and its lists as tables.
    "kZrqUsage", "kZrqVersionLine", "kZrqListHeader", "kZrqListLine", "kZrqListImage",
    "kZrqListSkipped", "kZrqListIncomplete", "kZrqListEnd", "kZrqListTotal", "kZrqListEntryWords",
    "kZrqListByteWords", "kZrqTestPassed", "kZrqTestFailed",
    "kZrqTestDirectoryDamaged", "kZrqCreated", "kZrqCreatedOne",
    "kZrqExitCodes", "kZrqReports"};

std::string ReadSource(const std::string& relative_path) {
  const std::string path = std::string(UNZRQ_SOURCE_DIR) + "/" + relative_path;
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// The lines from the one starting with `heading` to the next heading of the
// same kind (a line starting with `next`), headings left out.
std::vector<std::string> Section(const std::string& text, const std::string& heading,
                                 const std::string& next) {
  std::vector<std::string> section;
  bool inside = false;
  for (const std::string& line : Lines(text)) {
    if (line == heading) {
      inside = true;
    } else if (inside && line.starts_with(next)) {
      break;
    } else if (inside) {
      section.push_back(line);
    }
  }
  if (!inside) throw std::runtime_error("no section \"" + heading + "\"");
  return section;
}

// A format as the documents write it: each conversion (%s, %u, %08X...)
// stands for a placeholder word such as NAME, N, XXXXXXXX or OutputDir.
std::regex DocumentedForm(const std::string& format) {
  std::string pattern;
  for (std::size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    if (c == '%') {
      i = format.find_first_of("sudX", i);
      pattern += "[A-Za-z]+";
    } else if (c == '\n') {
      continue;
    } else if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) {
      pattern += std::string("\\") + c;
    } else {
      pattern += c;
    }
  }
  return std::regex(pattern);
}

// The report a documented message is, or null.
const ReportEntry* Matching(const std::string& message) {
  for (const ReportEntry& report : kReports) {
    if (std::regex_match(message, DocumentedForm(report.format))) return &report;
  }
  return nullptr;
}

// What `code` shows as in a Linux shell.
int ShellStatus(int code) { return code & 0xFF; }

// One row of an exit-code table, or one entry of a list of messages.
struct Documented {
  int shell;
  int returned;
  std::vector<std::string> messages;
};

// Checks the documented pairs against kReports and kExitCodes: every message
// is a report of its row's code, every code is shown as a shell shows it,
// and every report and every code appears somewhere.
void ExpectSameAsTheHeader(const std::vector<Documented>& rows, const std::string& where) {
  std::set<std::string> reports_seen;
  std::set<int> codes_seen;
  for (const Documented& row : rows) {
    const bool known =
        std::any_of(std::begin(kExitCodes), std::end(kExitCodes),
                    [&](const ExitCodeEntry& code) { return code.value == row.returned; });
    EXPECT_TRUE(known) << where << ": exit code " << row.returned << " is not one the tool has";
    EXPECT_EQ(row.shell, ShellStatus(row.returned))
        << where << ": exit code " << row.returned << " shows in a shell as "
        << ShellStatus(row.returned);
    codes_seen.insert(row.returned);
    for (const std::string& message : row.messages) {
      const ReportEntry* report = Matching(message);
      if (report == nullptr) {
        ADD_FAILURE() << where << ": \"" << message << "\" is no message of driver/messages.h";
        continue;
      }
      EXPECT_EQ(report->exit_code, row.returned)
          << where << ": \"" << message << "\" (" << report->name << ") goes with exit code "
          << report->exit_code << ", not " << row.returned;
      reports_seen.insert(report->name);
    }
  }
  for (const ReportEntry& report : kReports) {
    EXPECT_TRUE(reports_seen.count(report.name))
        << where << " does not show " << report.name << ": \"" << report.format << "\"";
  }
  for (const ExitCodeEntry& code : kExitCodes) {
    EXPECT_TRUE(codes_seen.count(code.value))
        << where << " does not show " << code.name << " (" << code.value << ")";
  }
}

// --- README -------------------------------------------------------------

// A Markdown table row's cells, trimmed; "\|" stays inside its cell.
std::vector<std::string> Cells(const std::string& row) {
  std::vector<std::string> cells;
  std::string cell;
  for (std::size_t i = 1; i < row.size(); ++i) {
    if (row[i] == '|' && row[i - 1] != '\\') {
      const std::size_t first = cell.find_first_not_of(' ');
      const std::size_t last = cell.find_last_not_of(' ');
      cells.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
      cell.clear();
    } else {
      cell += row[i];
    }
  }
  return cells;
}

// The `quoted` parts of a cell.
std::vector<std::string> CodeSpans(const std::string& cell) {
  std::vector<std::string> spans;
  const std::regex span("`([^`]+)`");
  for (auto it = std::sregex_iterator(cell.begin(), cell.end(), span); it != std::sregex_iterator();
       ++it) {
    spans.push_back((*it)[1]);
  }
  return spans;
}

bool IsNumber(const std::string& text) { return std::regex_match(text, std::regex("-?[0-9]+")); }

std::vector<Documented> ReadmeTables() {
  const std::string readme = ReadSource("README.md");
  std::vector<Documented> rows;
  // | shell sees | returned | when | on standard error |
  for (const std::string& line : Section(readme, "## Exit codes", "## ")) {
    if (!line.starts_with("|")) continue;
    const std::vector<std::string> cells = Cells(line);
    if (cells.size() != 4 || !IsNumber(cells[0]) || !IsNumber(cells[1])) continue;
    rows.push_back({std::stoi(cells[0]), std::stoi(cells[1]), CodeSpans(cells[3])});
  }
  // The walk's problems, all of one exit code the section's first line names.
  const std::vector<std::string> messages = Section(readme, "## Messages", "## ");
  Documented walk{-1, 0, {}};
  const std::regex ends_with(R"(the run ends with (\d+), that is (-\d+))");
  for (const std::string& line : messages) {
    std::smatch match;
    if (walk.shell == -1 && std::regex_search(line, match, ends_with)) {
      walk.shell = std::stoi(match[1]);
      walk.returned = std::stoi(match[2]);
    }
  }
  for (const std::string& line : messages) {
    if (!line.starts_with("| `")) continue;
    walk.messages.push_back(CodeSpans(Cells(line)[0]).at(0));
  }
  EXPECT_NE(walk.shell, -1) << "the README's Messages do not say what the run ends with";
  rows.push_back(walk);
  return rows;
}

// --- Manual page --------------------------------------------------------

// Text of a troff line with the escapes the page uses resolved.
std::string Unescape(std::string text) {
  const std::pair<const char*, const char*> escapes[] = {
      {"\\(dq", "\""}, {"\\fI", ""}, {"\\fB", ""}, {"\\fR", ""},
      {"\\fP", ""},    {"\\-", "-"}, {"\\&", ""},  {"\\e", "\\"},
  };
  for (const auto& [escape, replacement] : escapes) {
    for (std::size_t at = text.find(escape); at != std::string::npos;
         at = text.find(escape, at + std::string(replacement).size())) {
      text.replace(at, std::string(escape).size(), replacement);
    }
  }
  return text;
}

// A macro line's arguments, "quoted" ones kept whole.
std::vector<std::string> Arguments(const std::string& line) {
  std::vector<std::string> arguments;
  const std::regex argument(R"re("([^"]*)"|(\S+))re");
  const std::string rest =
      line.substr(line.find(' ') == std::string::npos ? line.size() : line.find(' '));
  for (auto it = std::sregex_iterator(rest.begin(), rest.end(), argument);
       it != std::sregex_iterator(); ++it) {
    arguments.push_back((*it)[1].matched ? (*it)[1].str() : (*it)[2].str());
  }
  return arguments;
}

// The bold text of a line: all of a .B line, every second argument of .RB,
// every first of .BR; none for other lines.
std::vector<std::string> BoldParts(const std::string& line) {
  if (line.starts_with(".B ")) return {Unescape(line.substr(3))};
  std::vector<std::string> bold;
  if (line.starts_with(".RB ") || line.starts_with(".BR ")) {
    const std::vector<std::string> arguments = Arguments(line);
    for (std::size_t i = line.starts_with(".RB ") ? 1 : 0; i < arguments.size(); i += 2) {
      bold.push_back(Unescape(arguments[i]));
    }
  }
  return bold;
}

std::vector<Documented> ManPageSections() {
  const std::string page = ReadSource("doc/unzrq.1.in");
  std::vector<Documented> rows;
  // .TP, then the status as a tag (".B 0" or ".BR 255 " (\-1)""), then the
  // paragraph with the messages in bold.
  const std::vector<std::string> exit_status = Section(page, ".SH EXIT STATUS", ".SH ");
  for (std::size_t i = 0; i < exit_status.size(); ++i) {
    if (exit_status[i] != ".TP" || i + 1 >= exit_status.size()) continue;
    const std::string tag = Unescape(exit_status[++i]);
    std::smatch match;
    if (!std::regex_match(tag, match, std::regex(R"re(\.BR? (\d+)(?: " \((-\d+)\)")?)re"))) {
      ADD_FAILURE() << "the manual page's EXIT STATUS has a tag it cannot read: " << tag;
      continue;
    }
    Documented row{std::stoi(match[1]), std::stoi(match[match[2].matched ? 2 : 1]), {}};
    for (++i; i < exit_status.size() && !exit_status[i].starts_with(".TP") &&
              !exit_status[i].starts_with(".PP");
         ++i) {
      for (const std::string& bold : BoldParts(exit_status[i])) row.messages.push_back(bold);
    }
    --i;
    rows.push_back(row);
  }
  // DIAGNOSTICS: the walk's problems, one per bullet, all of the status its
  // first line names.
  const std::vector<std::string> diagnostics = Section(page, ".SH DIAGNOSTICS", ".SH ");
  Documented walk{-1, 0, {}};
  std::smatch match;
  if (!diagnostics.empty() &&
      std::regex_search(diagnostics[0], match, std::regex(R"(status (\d+) \(\\-(\d+)\))"))) {
    walk.shell = std::stoi(match[1]);
    walk.returned = -std::stoi(match[2]);
  }
  EXPECT_NE(walk.shell, -1) << "the manual page's DIAGNOSTICS do not say the run's status";
  for (std::size_t i = 0; i + 1 < diagnostics.size(); ++i) {
    if (diagnostics[i].starts_with(".IP") && diagnostics[i + 1].starts_with(".B ")) {
      walk.messages.push_back(BoldParts(diagnostics[i + 1]).at(0));
    }
  }
  rows.push_back(walk);
  return rows;
}

// Only the lists make a constant a report the documents are checked for: a
// message or code declared on its own would escape the check.
TEST(MessagesHeader, EveryReportAndExitCodeIsInItsList) {
  const std::string header = ReadSource("driver/messages.h");
  const std::regex constant(R"(inline constexpr [^=;]*\b(k\w+))");
  for (auto it = std::sregex_iterator(header.begin(), header.end(), constant);
       it != std::sregex_iterator(); ++it) {
    const std::string name = (*it)[1];
    EXPECT_TRUE(kOtherConstants.count(name))
        << name << " is declared on its own in driver/messages.h: a report or exit code is one "
        << "line of UNZRQ_REPORTS or UNZRQ_EXIT_CODES there, and a row in the README's and the "
        << "manual page's tables";
  }
}

TEST(Readme, ExitCodesAndMessagesAreTheHeaders) {
  ExpectSameAsTheHeader(ReadmeTables(), "README.md");
}

TEST(ManPage, ExitStatusAndDiagnosticsAreTheHeaders) {
  ExpectSameAsTheHeader(ManPageSections(), "doc/unzrq.1.in");
}

// zrq's page: every message of its own list, in its EXIT STATUS or its
// DIAGNOSTICS, and every code of its own list as a tag; every message the
// page shows is one of zrq's or one of unzrq's that zrq shares.
TEST(ZrqManPage, ExitStatusAndDiagnosticsAreTheHeaders) {
  const std::string page = ReadSource("doc/zrq.1.in");
  std::vector<std::string> messages;
  std::vector<std::string> tags;
  for (const char* heading : {".SH EXIT STATUS", ".SH DIAGNOSTICS"}) {
    const std::vector<std::string> section = Section(page, heading, ".SH ");
    for (std::size_t i = 0; i < section.size(); ++i) {
      if (section[i] == ".TP" && i + 1 < section.size()) {
        tags.push_back(Unescape(section[++i]));
        continue;
      }
      for (const std::string& bold : BoldParts(section[i])) messages.push_back(bold);
    }
  }
  for (const ReportEntry& report : kZrqReports) {
    const bool shown = std::any_of(messages.begin(), messages.end(), [&](const std::string& m) {
      return std::regex_match(m, DocumentedForm(report.format));
    });
    EXPECT_TRUE(shown) << "doc/zrq.1.in does not show " << report.name << ": \"" << report.format
                       << "\"";
  }
  for (const std::string& message : messages) {
    if (!message.starts_with("Error:") && !message.starts_with("Couldn't")) continue;
    const bool known =
        Matching(message) != nullptr ||
        std::any_of(std::begin(kZrqReports), std::end(kZrqReports), [&](const ReportEntry& r) {
          return std::regex_match(message, DocumentedForm(r.format));
        });
    EXPECT_TRUE(known) << "doc/zrq.1.in: \"" << message << "\" is no message of driver/messages.h";
  }
  for (const ExitCodeEntry& code : kZrqExitCodes) {
    const std::string tag = ".BR " + std::to_string(ShellStatus(code.value)) + " \" (" +
                            std::to_string(code.value) + ")\"";
    EXPECT_TRUE(std::find(tags.begin(), tags.end(), tag) != tags.end())
        << "doc/zrq.1.in does not show " << code.name << " as " << tag;
  }
}

}  // namespace
