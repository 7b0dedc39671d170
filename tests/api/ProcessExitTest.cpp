// A host that ends without closing its device sets: the process must end
// cleanly, whichever way the host loaded the library, with nothing of the
// SDK's on its standard output.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ScratchDirectory.h"
#include "simhub/SimulatedHub.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRuns = 20;

std::string Contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct HostCase {
  const char* name;
  std::vector<std::string> command;  // the library and the parameter texts follow
};

std::ostream& operator<<(std::ostream& out, const HostCase& c) { return out << c.name; }

// One run of a host in a directory of its own; its standard output and error
// go to files there. Everything the child needs is made before the fork: the
// hubs' threads may hold the allocator's lock, so the child calls nothing but
// async-signal-safe functions before exec.
pid_t Start(const std::vector<std::string>& words, const fs::path& directory) {
  const std::string path = directory.string();
  const std::string out = (directory / "stdout.txt").string();
  const std::string err = (directory / "stderr.txt").string();
  std::vector<char*> argv;
  for (const auto& word : words) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child != 0) return child;
  const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (chdir(path.c_str()) != 0 || outFd < 0 || errFd < 0) _exit(126);
  dup2(outFd, STDOUT_FILENO);
  dup2(errFd, STDERR_FILENO);
  execv(argv[0], argv.data());
  _exit(127);
}

class ProcessExit : public ::testing::TestWithParam<HostCase> {
 protected:
  ScratchDirectory scratch;
};

// Every run has its own dongle and USB CU hub, so that the runs go side by
// side rather than one USB CU open after the other.
TEST_P(ProcessExit, WithOpenSetsEndsCleanlyEveryTime) {
  const HostCase& c = GetParam();
  if (c.command.front().empty()) GTEST_SKIP() << c.name << " cannot load this build of the library";
  setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1);
  std::vector<std::unique_ptr<SimHub::SimulatedHub>> hubs;
  std::vector<pid_t> children;
  for (int run = 0; run < kRuns; ++run) {
    const int dongleCom = 2 * run + 1;
    const int cuCom = 2 * run + 2;
    for (const auto& [kind, com] : {std::pair{SimHub::HubKind::Dongle, dongleCom}, std::pair{SimHub::HubKind::UsbCu, cuCom}}) {
      SimHub::HubOptions options;
      options.kind = kind;
      SimHub::Bytes image(512, 0x5A);
      image[6] = 1;
      image[7] = 0;
      options.sensors.push_back({"QN DKv6 IMU Mar 12 2019", image, {}});
      hubs.push_back(std::make_unique<SimHub::SimulatedHub>(std::move(options)));
      hubs.back()->AttachPty(scratch.Path(), com);
    }
    const fs::path directory = scratch.Path() / ("run" + std::to_string(run));
    fs::create_directory(directory);
    std::vector<std::string> words = c.command;
    words.push_back(QUENLITH_SDK_LIBRARY);
    // Forty hubs answer side by side, on a machine that may be busy besides:
    // a reply may take longer than the default read time-out of 100 ms.
    words.push_back("device=dongle;transmissiontimeout=1000;com=" + std::to_string(dongleCom));
    words.push_back("device=usbcu;transmissiontimeout=1000;com=" + std::to_string(cuCom));
    children.push_back(Start(words, directory));
  }

  int clean = 0;
  for (int run = 0; run < kRuns; ++run) {
    int status = 0;
    ASSERT_EQ(waitpid(children[static_cast<std::size_t>(run)], &status, 0), children[static_cast<std::size_t>(run)]);
    const fs::path directory = scratch.Path() / ("run" + std::to_string(run));
    const std::string out = Contents(directory / "stdout.txt");
    const bool exited = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    EXPECT_TRUE(exited) << "run " << run << ": "
                        << (WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                                : "status " + std::to_string(WEXITSTATUS(status)))
                        << "\n" << Contents(directory / "stderr.txt");
    EXPECT_EQ(out, "") << "run " << run;
    if (exited && out.empty()) ++clean;
  }
  EXPECT_EQ(clean, kRuns);
}

INSTANTIATE_TEST_SUITE_P(Hosts, ProcessExit,
                         ::testing::Values(HostCase{"CppHost", {EXIT_HOST, "keep"}},
                                           HostCase{"CppHostThatUnloads", {EXIT_HOST, "unload"}},
                                           HostCase{"PythonCtypesHost", {PYTHON_HOST, EXIT_HOST_SCRIPT}}),
                         [](const ::testing::TestParamInfo<HostCase>& info) { return std::string(info.param.name); });

}  // namespace
