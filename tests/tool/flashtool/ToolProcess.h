#pragma once

#include <set>
#include <string>
#include <vector>

// One run of the built tool as its own process, in the caller's working
// directory, with what it wrote to each stream.
struct ToolRun {
  std::string out;
  std::string err;
  int status = -1;  // exit status; -1 when the process did not exit normally
};

// Limits the tool runs under.
struct ToolLimits {
  // Largest file the tool may write (bytes); a write beyond it fails as on a
  // full disk. 0: no limit.
  unsigned long fileSizeBytes = 0;
};

ToolRun RunTool(const std::vector<std::string>& arguments, const ToolLimits& limits = {});

// The symbol names (each as nm prints it, version suffix included) listed by
// an nm command line such as "nm -D --undefined-only <file>"; throws when the
// command cannot be started.
std::set<std::string> NmSymbols(const std::string& command);
