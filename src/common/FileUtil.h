// File-system helpers shared by both programs.
#pragma once

#include <string>

namespace zorcommon {

// Creates every missing directory of `path` with mode 0755, always taken from the root.
// 0 on success (also for a path without components), 2 if an existing component is not a
// directory. The outcome of each mkdir is not checked: a later open reports the failure.
int makeDirectories(const std::string& path);

}  // namespace zorcommon
