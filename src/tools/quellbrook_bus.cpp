#include <iostream>

#include "platform/clock.h"
#include "tools/bus_tool.h"

int main(int argc, char** argv) {
  qb::SystemClock clock;
  return qb::RunBusTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr,
                        clock);
}
