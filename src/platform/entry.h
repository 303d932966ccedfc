// The program proper, called by the platform's own entry point (main or wmain) with every
// argument, the program name first, as UTF-8 text. Returns the exit status.
#pragma once

#include <string>
#include <vector>

int program_main(std::vector<std::string> arguments);
