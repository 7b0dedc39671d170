#include "ScratchDirectory.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

ScratchDirectory::ScratchDirectory() : previous_(std::filesystem::current_path()) {
  std::string pattern = (std::filesystem::temp_directory_path() / "quenlith-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a scratch directory");
  path_ = pattern;
  std::filesystem::current_path(path_);
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void ScratchDirectory::Write(const std::string& name, const std::string& contents) const {
  std::ofstream(path_ / name, std::ios::binary) << contents;
}

std::string ScratchDirectory::Read(const std::string& name) const {
  std::ifstream in(path_ / name, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}
