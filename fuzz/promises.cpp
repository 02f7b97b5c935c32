#include "fuzz/promises.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "fuzz/in_process_run.h"
#include "tests/support/list_folder.h"
#include "tests/support/read_little_endian.h"
#include "tests/support/remove_tree.h"

namespace {

// Plain entries of type 1 named "a_wav" and of any plain type named "a.wav"
// both land on the archive's own name.
constexpr char kArchiveName[] = "a.wav";
constexpr char kFolderName[] = "out";
constexpr char kRunFolderName[] = "run";  // holds the archive and the output folder
// Holds zrq extract's output folder, kFolderName as well, after unzrq's run.
constexpr char kExtractFolderName[] = "extract";
constexpr char kStdoutName[] = "stdout";
constexpr char kStderrName[] = "stderr";

constexpr std::uint64_t kBitmapHeaderBytes = 54;
constexpr std::uint64_t kHeaderBytes = 8;
constexpr std::uint64_t kCountBytes = 4;
constexpr std::uint64_t kRecordBytes = 80;

constexpr char kSummaryStart[] = "Done: ";
constexpr char kSummaryEnd[] = " files processed.\n";

[[noreturn]] void Fail(const std::string& what, const std::string& path) {
  throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

void MakeFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0) Fail("cannot make", path);
}

void WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  FILE* file = std::fopen(path.c_str(), "wbe");
  if (file == nullptr) Fail("cannot create", path);
  const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
  if (std::fclose(file) != 0 || !written) Fail("cannot write", path);
}

// The whole file, or one byte more than `limit` when it is longer.
std::string ReadWholeFile(const std::string& path, std::size_t limit) {
  FILE* file = std::fopen(path.c_str(), "rbe");
  if (file == nullptr) return {};
  std::string contents(limit + 1, '\0');
  const std::size_t read = std::fread(contents.data(), 1, contents.size(), file);
  (void)std::fclose(file);  // read only: a failed close loses nothing
  contents.resize(read);
  return contents;
}

// A file that catches one of the tool's streams, run after run.
FILE* OpenCapture(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "w+e");
  if (file == nullptr) Fail("cannot create", path);
  return file;
}

enum class Kind { kMissing, kRegularFile, kFolder, kOther };

Kind KindOf(const std::string& path, std::uint64_t* bytes = nullptr) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return Kind::kMissing;
  if (bytes != nullptr) *bytes = static_cast<std::uint64_t>(info.st_size);
  if (S_ISREG(info.st_mode)) return Kind::kRegularFile;
  return S_ISDIR(info.st_mode) ? Kind::kFolder : Kind::kOther;
}

// The directory as the archive's own bytes describe it, worked out here
// rather than asked of the tool.
struct Directory {
  std::uint32_t offset;
  bool has_count;               // all four bytes of the entry count are in the file
  std::uint32_t entry_count;    // when it has one
  std::uint64_t whole_records;  // records the file holds in full after the count
};

Directory ReadDirectory(const std::uint8_t* archive, std::size_t size) {
  // A file shorter than the header reads as zeros behind the bytes it has, so
  // an empty file is the empty archive: its count is read from offset 0 and is 0.
  std::uint8_t header[kHeaderBytes] = {};
  if (size > 0) std::memcpy(header, archive, std::min<std::size_t>(size, kHeaderBytes));
  Directory directory{ReadLittleEndian(header + 4, 4), size == 0, 0, 0};
  if (directory.offset + kCountBytes <= size) {
    directory.has_count = true;
    directory.entry_count = ReadLittleEndian(archive + directory.offset, 4);
    directory.whole_records = (size - directory.offset - kCountBytes) / kRecordBytes;
  }
  return directory;
}

// The number on the last line of `out` when that line is the summary.
bool ReadSummary(const std::string& out, long long* count) {
  if (out.empty() || out.back() != '\n') return false;
  const std::size_t previous =
      out.size() >= 2 ? out.rfind('\n', out.size() - 2) : std::string::npos;
  const std::string line = out.substr(previous == std::string::npos ? 0 : previous + 1);
  const std::size_t start_length = std::strlen(kSummaryStart);
  const std::size_t end_length = std::strlen(kSummaryEnd);
  if (line.size() <= start_length + end_length ||
      line.compare(0, start_length, kSummaryStart) != 0 ||
      line.compare(line.size() - end_length, end_length, kSummaryEnd) != 0) {
    return false;
  }
  const std::string number = line.substr(start_length, line.size() - start_length - end_length);
  if (number.size() > 11) return false;  // "%d" never prints more
  for (std::size_t i = 0; i < number.size(); ++i) {
    const bool digit = number[i] >= '0' && number[i] <= '9';
    if (!digit && !(i == 0 && number[i] == '-' && number.size() > 1)) return false;
  }
  *count = std::atoll(number.c_str());
  return true;
}

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

std::string PathIn(const std::string& folder, const std::string& name) {
  std::string path = folder;
  path += '/';
  path += name;
  return path;
}

void CheckNothingOutside(const std::string& root, ArchivePlace place,
                         std::vector<std::string>* broken) {
  for (const std::string& name : ListFolder(root)) {
    if (name != kRunFolderName && name != kStdoutName && name != kStderrName) {
      broken->push_back(Quoted(name) + " appeared two levels above the output folder");
    }
  }
  const std::string run_folder = root + "/" + kRunFolderName;
  for (const std::string& name : ListFolder(run_folder)) {
    const Kind kind = KindOf(PathIn(run_folder, name));
    const bool is_folder = name == kFolderName && kind == Kind::kFolder;
    const bool is_archive = place == ArchivePlace::kBesideTheFolder && name == kArchiveName &&
                            kind == Kind::kRegularFile;
    if (!is_folder && !is_archive) {
      broken->push_back(Quoted(name) + " appeared beside the output folder");
    }
  }
}

void CheckOutputFolder(const std::string& folder, std::size_t archive_bytes, ArchivePlace place,
                       PromiseCheck* check) {
  if (KindOf(folder) != Kind::kFolder) {
    check->broken.push_back("the output folder is not there");
    return;
  }
  const std::uint64_t largest = 2 * static_cast<std::uint64_t>(archive_bytes) + kBitmapHeaderBytes;
  for (const std::string& name : ListFolder(folder)) {
    std::uint64_t bytes = 0;
    const Kind kind = KindOf(PathIn(folder, name), &bytes);
    if (kind != Kind::kRegularFile) {
      check->broken.push_back(Quoted(name) + " in the output folder is not a regular file");
    }
    if (place == ArchivePlace::kInsideTheFolder && name == kArchiveName) continue;
    check->outputs.push_back(name);
    if (kind == Kind::kRegularFile && bytes > largest) {
      check->broken.push_back(Quoted(name) + " holds " + std::to_string(bytes) +
                              " bytes, more than twice the archive plus 54 (" +
                              std::to_string(largest) + ")");
    }
  }
}

void CheckArchive(const std::string& path, const std::uint8_t* archive, std::size_t size,
                  std::vector<std::string>* broken) {
  const std::string after = ReadWholeFile(path, size);
  if (KindOf(path) != Kind::kRegularFile || after.size() != size ||
      (size > 0 && std::memcmp(after.data(), archive, size) != 0)) {
    broken->push_back("the archive was changed");
  }
}

void CheckExitAndReports(const ToolRun& run, std::vector<std::string>* broken) {
  const int code = run.exit_code;
  const std::string exit = "exit " + std::to_string(code);
  // Every offset a 32-bit field holds is reached: no archive ends the run early.
  if (code != 0 && code != -5) {
    broken->push_back(exit + " is not one an archive can cause (0 or -5)");
  }
  if (code == 0 && !run.err.empty()) broken->push_back("exit 0 although something was reported");
  if (code != 0 && run.err.empty()) broken->push_back(exit + " with nothing reported");
  if (!run.err.empty() && run.err.back() != '\n') {
    broken->push_back("standard error does not end with a line end");
  }
}

void CheckSummary(const ToolRun& run, const Directory& directory, std::size_t outputs,
                  std::vector<std::string>* broken) {
  long long counted = 0;
  if (!ReadSummary(run.out, &counted)) {
    broken->push_back("standard output does not end with the summary line");
    return;
  }
  const std::string summary = "the summary counts " + std::to_string(counted) + " records";
  const std::uint64_t most =
      std::min<std::uint64_t>(directory.entry_count, directory.whole_records);
  if (counted < 0 || static_cast<std::uint64_t>(counted) > most) {
    broken->push_back(summary + ", but the directory has " + std::to_string(most) + " whole ones");
  }
  if (run.exit_code == 0 && !directory.has_count) {
    broken->push_back("exit 0 although the file ends before the entry count");
  }
  if (run.exit_code == 0 && directory.has_count && counted != directory.entry_count) {
    broken->push_back("exit 0 although " + summary + " of " +
                      std::to_string(directory.entry_count));
  }
  if (counted >= 0 && outputs > static_cast<std::uint64_t>(counted)) {
    broken->push_back(std::to_string(outputs) + " output files, but " + summary);
  }
}

// zrq, which judges an archive as unzrq would without writing it, tells
// exactly what unzrq reported, with the same exit code. Only for an archive
// beside a fresh folder: what stands in the folder, the archive among it, is
// no part of zrq's judgement.
void CheckZrqAgrees(const std::string& archive_path, const ToolRun& run, const ToolRun& tested,
                    std::vector<std::string>* broken) {
  if (tested.exit_code != run.exit_code) {
    broken->push_back("zrq test ends with " + std::to_string(tested.exit_code) + ", unzrq with " +
                      std::to_string(run.exit_code) + " (" + archive_path + ")");
  }
  if (tested.err != run.err) {
    broken->push_back("zrq test reports otherwise than unzrq:\n" + tested.err);
  }
}

// zrq extract without a pattern is unzrq's run: the same exit code, lines,
// messages (its folder's path aside) and files, byte for byte.
void CheckExtractAgrees(const std::string& folder, const ToolRun& run,
                        const std::string& extract_folder, const ToolRun& extracted,
                        std::size_t archive_bytes, std::vector<std::string>* broken) {
  if (extracted.exit_code != run.exit_code) {
    broken->push_back("zrq extract ends with " + std::to_string(extracted.exit_code) +
                      ", unzrq with " + std::to_string(run.exit_code));
  }
  if (extracted.out != run.out) {
    broken->push_back("zrq extract prints otherwise than unzrq:\n" + extracted.out);
  }
  // Both folders' paths become one mark in both runs' messages: a stored
  // name may hold either path too, and both runs show the name alike.
  const auto marked = [&folder, &extract_folder](std::string text) {
    static const std::string kMark = "<output folder>";
    for (const std::string* path : {&folder, &extract_folder}) {
      for (std::size_t at = text.find(*path); at != std::string::npos;
           at = text.find(*path, at + kMark.size())) {
        text.replace(at, path->size(), kMark);
      }
    }
    return text;
  };
  if (marked(extracted.err) != marked(run.err)) {
    broken->push_back("zrq extract reports otherwise than unzrq:\n" + extracted.err);
  }
  const std::vector<std::string> names = ListFolder(folder);
  if (ListFolder(extract_folder) != names) {
    broken->push_back("zrq extract writes other files than unzrq");
    return;
  }
  const std::size_t largest = 2 * archive_bytes + kBitmapHeaderBytes;
  for (const std::string& name : names) {
    if (ReadWholeFile(PathIn(extract_folder, name), largest) !=
        ReadWholeFile(PathIn(folder, name), largest)) {
      broken->push_back("zrq extract writes " + Quoted(name) + " otherwise than unzrq");
    }
  }
}

// Thousands of runs each write a few files: in memory they take no disk.
std::string TemporaryParent() {
  if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir != nullptr && *tmpdir != '\0') {
    return tmpdir;
  }
  return access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
}

}  // namespace

PromiseChecker::PromiseChecker()
    : root_(TemporaryParent()),
      out_(OpenCapture(root_ / kStdoutName)),
      err_(OpenCapture(root_ / kStderrName)) {}

PromiseChecker::~PromiseChecker() {
  // The captures go with the scratch folder: a failed close loses nothing.
  (void)std::fclose(out_);
  (void)std::fclose(err_);
}

void PromiseChecker::RemoveAll() {
  // Whatever cannot be removed stays in the temporary folder: nothing more
  // can be done about it here.
  RemoveTree(root_.path());
}

std::string PromiseChecker::OutputPath(const std::string& name) const {
  return root_.path() + "/" + kRunFolderName + "/" + kFolderName + "/" + name;
}

PromiseCheck PromiseChecker::Check(const std::uint8_t* archive, std::size_t size,
                                   ArchivePlace place) {
  // Each run starts from an empty folder, so that it is judged on its own.
  for (const std::string& name : ListFolder(root_.path())) {
    const std::string path = root_.path() + "/" + name;
    if (name != kStdoutName && name != kStderrName && !RemoveTree(path)) {
      Fail("cannot remove", path);
    }
  }
  const std::string run_folder = root_.path() + "/" + kRunFolderName;
  const std::string folder = run_folder + "/" + kFolderName;
  MakeFolder(run_folder);
  // Beside the folder, the tool makes the folder; inside it, the folder is there already.
  if (place == ArchivePlace::kInsideTheFolder) MakeFolder(folder);
  const std::string archive_path =
      (place == ArchivePlace::kInsideTheFolder ? folder : run_folder) + "/" + kArchiveName;
  WriteWholeFile(archive_path, archive, size);

  PromiseCheck check{RunInProcess({"unzrq", archive_path, folder}, out_, err_), {}, {}};
  const Directory directory = ReadDirectory(archive, size);
  CheckNothingOutside(root_.path(), place, &check.broken);
  CheckOutputFolder(folder, size, place, &check);
  CheckArchive(archive_path, archive, size, &check.broken);
  CheckExitAndReports(check.run, &check.broken);
  CheckSummary(check.run, directory, check.outputs.size(), &check.broken);
  if (place == ArchivePlace::kBesideTheFolder) {
    const ToolRun tested = RunZrqInProcess({"zrq", "test", archive_path}, out_, err_);
    CheckZrqAgrees(archive_path, check.run, tested, &check.broken);
    const std::string extract_run = root_.path() + "/" + kExtractFolderName;
    const std::string extract_folder = extract_run + "/" + kFolderName;
    MakeFolder(extract_run);
    const ToolRun extracted =
        RunZrqInProcess({"zrq", "extract", archive_path, "-C", extract_folder}, out_, err_);
    CheckExtractAgrees(folder, check.run, extract_folder, extracted, size, &check.broken);
  }
  return check;
}

std::string DescribeBrokenPromises(const PromiseCheck& check) {
  constexpr std::size_t kShownReport = 4000;
  std::string text;
  for (const std::string& line : check.broken) text += "broken promise: " + line + "\n";
  text += "exit " + std::to_string(check.run.exit_code) + "; the tool's standard error:\n";
  text += check.run.err.substr(0, kShownReport);
  if (check.run.err.size() > kShownReport) text += "[...]\n";
  return text;
}
