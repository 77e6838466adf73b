// Writing a file so that a failure leaves any previous one as it was.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace vek {

// Calls write(f) on a temporary file beside `filename`, flushes it to disk and renames it over
// `filename` (through a symbolic link if there is one, so the link survives). A device or a dangling link is written in place, as a plain open would. Raises
// runtime_error ("Cannot open file for saving: ...", "Failed to write index file: ...") and removes
// the temporary file when anything fails; `write` reports its own failures by throwing.
void write_file_atomically(const std::string& filename, const std::function<void(FILE*)>& write);

}  // namespace vek
