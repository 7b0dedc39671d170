#pragma once

#include <filesystem>
#include <string>

// A fresh directory that is the working directory for the object's life, so
// that the files a test makes (the SDK's log among them) stay its own.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();

  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  void Write(const std::string& name, const std::string& contents) const;
  std::string Read(const std::string& name) const;

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};
