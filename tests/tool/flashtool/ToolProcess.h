#pragma once

#include <string>
#include <vector>

// One run of the built tool as its own process, in the caller's working
// directory, with what it wrote to each stream.
struct ToolRun {
  std::string out;
  std::string err;
  int status = -1;  // exit status; -1 when the process did not exit normally
};

ToolRun RunTool(const std::vector<std::string>& arguments);
