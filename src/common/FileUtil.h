// File-system helpers shared by both programs.
#pragma once

#include <cstddef>
#include <string>

namespace zorcommon {

// Creates every missing directory of `path` with mode 0755, always taken from the root.
// 0 on success (also for a path without components), 2 if an existing component is not a
// directory. The outcome of each mkdir is not checked: a later open reports the failure.
int makeDirectories(const std::string& path);

// Largest settings XML file of the logger application that is read (SystemSetting.xml).
constexpr size_t kMaxXmlFileBytes = 4 * 1024 * 1024;

// Outcome of readBoundedFile.
enum class ReadFileResult {
    Ok,
    Missing,     // cannot be opened (absent, no permission)
    NotRegular,  // a FIFO, device, directory, socket, or a link where none may be: never read
    TooLarge,    // more than maxBytes
    ReadError,
};

// Reads the whole of `path` into `out` when it is a regular file of at most maxBytes bytes.
// Opened non-blocking (a FIFO cannot hold the caller up) and, with noFollow, never through a
// symbolic link (for files in folders that others may write). `out` is left empty unless Ok.
ReadFileResult readBoundedFile(const std::string& path, size_t maxBytes, bool noFollow,
                               std::string& out);

// A short text for a result other than Ok ("not a regular file", ...).
const char* readFileResultText(ReadFileResult result);

// Writes `text` to a new file next to `path` (created exclusively, never through a link) and
// renames it over `path`, so that whatever stood at `path` (a file, or a symbolic link planted
// by another user of the folder) is replaced and never written through. Mode 0644. True on
// success; on failure nothing is left behind.
bool replaceFile(const std::string& path, const std::string& text);

// Removes whatever stands at `path` (a link itself, not its target) and creates an empty
// regular file there exclusively, mode 0644, for a child process to write into. True on
// success.
bool createFreshFile(const std::string& path);

}  // namespace zorcommon
