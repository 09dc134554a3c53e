// velasms-modem-sim: the simulated GSM modem as a program of its own (the
// same as `velasms modem-sim`).
#include "modem_sim_cli.h"

int main(int argc, char** argv) { return vela::sim::ModemSimMain(argc, argv); }
