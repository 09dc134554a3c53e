// velasms: send, receive and analyse SMS through a GSM modem from the shell.
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "modem_sim_cli.h"

int main(int argc, char** argv) {
  // The simulator parses its own options from argv ("modem-sim" first).
  if (argc >= 2 && std::string(argv[1]) == "modem-sim") return vela::sim::ModemSimMain(argc - 1, argv + 1);
  std::vector<std::string> args(argv + 1, argv + argc);
  return vela::tool::RunVelasms(args, std::cout, std::cerr);
}
