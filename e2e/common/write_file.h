// Writing a whole small file at once, for the harness's logs and marks.
#pragma once

#include <string>

namespace e2e {

// Replaces the file at `path` with `text`; false when it could not be
// written whole.
bool writeFile(const std::string& path, const std::string& text);

}  // namespace e2e
