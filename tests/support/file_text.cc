#include "file_text.h"

#include <fstream>
#include <sstream>

namespace testing_support {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace testing_support
