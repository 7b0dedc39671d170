#include "ToolProcess.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
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

ToolRun RunTool(const std::vector<std::string>& arguments) {
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
