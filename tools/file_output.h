// Output files that appear whole or not at all: written under a temporary
// name in the same directory and renamed into place only when complete, so
// that a failed or interrupted run never leaves a half file under the name
// the user gave (nor replaces a good one). The file and its directory are
// synced before the write returns.
#pragma once

#include <functional>
#include <string>

// Writes text (in text mode: CR LF line ends on Windows) to path. When path
// is a symbolic link (not on Windows), the file it points at is written
// and the link kept. An existing file keeps its permissions, and one this
// user may not write is refused. `check`, when given, is called with the
// temporary file's name once it is written and closed, and may refuse it.
// An empty name, a directory, and anything but a regular file (a device,
// a FIFO) are refused. 0, or -1 with *error saying what failed; the
// temporary file is then removed and path left as it was.
int vrn_write_file_whole(const std::string& path, const std::string& text, std::string* error,
                         const std::function<bool(const std::string& temp_path, std::string* error)>& check = {});

// Whether path could be written as vrn_write_file_whole writes it, by
// making a file beside its target and removing it: a long run can then
// refuse a target it could never write before it starts. 0, or -1 with
// *error.
int vrn_check_writable(const std::string& path, std::string* error);
