#include "ToolProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace {

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      return text;
    }
  }
}

}  // namespace

ToolRun RunTool(const std::vector<std::string>& arguments, const ToolLimits& limits) {
  std::vector<std::string> words{FLASH_TOOL_EXECUTABLE};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  // Standard error goes to a file so that a chatty child cannot block on a
  // pipe that nobody reads yet.
  char errPath[] = "/tmp/quenlith-tool-stderr-XXXXXX";
  const int errFd = mkstemp(errPath);
  int outPipe[2];
  if (errFd < 0 || pipe(outPipe) != 0) throw std::runtime_error("cannot set up the tool's streams");

  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("cannot start the tool");
  if (child == 0) {
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0) dup2(devNull, STDIN_FILENO);
    if (limits.fileSizeBytes > 0) {
      // The write then fails with EFBIG instead of ending the process.
      signal(SIGXFSZ, SIG_IGN);
      const rlimit size{limits.fileSizeBytes, limits.fileSizeBytes};
      setrlimit(RLIMIT_FSIZE, &size);
    }
    close(outPipe[0]);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  ToolRun run;
  run.out = ReadAll(outPipe[0]);
  close(outPipe[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream errFile(errPath, std::ios::binary);
  std::ostringstream err;
  err << errFile.rdbuf();
  run.err = err.str();
  close(errFd);
  unlink(errPath);
  return run;
}

std::set<std::string> NmSymbols(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> nm(popen(command.c_str(), "r"), pclose);
  if (!nm) throw std::runtime_error("can't run " + command);
  std::string output;
  char chunk[4096];
  for (std::size_t n; (n = fread(chunk, 1, sizeof chunk, nm.get())) > 0;) output.append(chunk, n);
  // "<address> <type> <name>" for a defined symbol, "<blanks> <type> <name>"
  // for an undefined one; a demangled name may hold blanks of its own.
  std::set<std::string> names;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string word;
    if (!(fields >> word)) continue;
    if (!std::isspace(static_cast<unsigned char>(line[0])) && !(fields >> word)) continue;
    std::string name;
    if (std::getline(fields >> std::ws, name) && !name.empty()) names.insert(name);
  }
  return names;
}
