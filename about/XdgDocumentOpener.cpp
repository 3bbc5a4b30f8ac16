#include "about/XdgDocumentOpener.h"

#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The program's full path: as given when it names a folder, else the first
// executable of that name on PATH; empty when there is none. Resolved before
// forking, so the child only calls async-signal-safe functions.
std::string ResolveProgram(const std::string& program) {
  if (program.empty() || program.find('/') != std::string::npos) return program;
  const char* pathVariable = std::getenv("PATH");
  const std::string path = pathVariable != nullptr ? pathVariable : "/usr/local/bin:/usr/bin:/bin";
  std::string::size_type start = 0;
  while (start <= path.size()) {
    auto end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    // An empty entry stands for the current folder.
    const std::string folder = end == start ? std::string(".") : path.substr(start, end - start);
    const std::string candidate = folder + "/" + program;
    if (IsExecutableFile(candidate)) return candidate;
    start = end + 1;
  }
  return {};
}

}  // namespace

XdgDocumentOpener::XdgDocumentOpener(std::string program) : program_(std::move(program)) {}

void XdgDocumentOpener::Open(const DocumentRequest& request) {
  // Qt's process launcher would pass the paths through QString, which cannot
  // carry a folder name that is not UTF-8; the bytes are handed over as they are.
  std::string program = ResolveProgram(program_);
  if (program.empty()) return;
  std::string document = request.document;
  const std::string& folder = request.workingFolder;
  std::vector<char*> argv = {program.data(), document.data(), nullptr};

  // Double fork: the intermediate child exits at once and is reaped here, so
  // the opener is adopted by init and never becomes a zombie of this program.
  const pid_t child = ::fork();
  if (child < 0) return;
  if (child == 0) {
    ::setsid();
    const pid_t opener = ::fork();
    if (opener == 0) {
      if (!folder.empty() && ::chdir(folder.c_str()) != 0) ::_exit(127);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::_exit(0);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}
