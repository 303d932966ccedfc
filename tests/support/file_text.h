// Reading the files a test's programs write (logs, markers, configuration).
#pragma once

#include <string>

namespace testing_support {

// The whole of the file at `path`; empty when there is none or it cannot be read.
std::string read_file(const std::string& path);

}  // namespace testing_support
