#pragma once

// Marks what the tool's executable exports to programs that link against it;
// the tool is built with everything else hidden and its symbols exported
// (ENABLE_EXPORTS), in place of a DLL export declaration.
#define QUENLITH_TOOL_EXPORT __attribute__((visibility("default")))
