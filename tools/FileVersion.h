#pragma once

#include <string>

namespace tools {

// The version in a file's version resource, "MAJOR.MINOR.PATCH" (with a fourth
// number only when it is not 0); "" when the file has none or cannot be read.
std::string FileVersionText(const std::string& path);

// The version of this program's own file.
std::string OwnVersionText();

} // namespace tools
