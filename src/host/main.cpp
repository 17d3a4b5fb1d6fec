#include <string>
#include <vector>

#include "host/program.h"

int main(int argc, char** argv) {
  return qb::RunProgram(std::vector<std::string>(argv + 1, argv + argc));
}
