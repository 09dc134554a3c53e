// velasms: send, receive and analyse SMS through a GSM modem from the shell.
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return vela::tool::RunVelasms(args, std::cout, std::cerr);
}
