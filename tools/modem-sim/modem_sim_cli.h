// Command-line entry of the simulated GSM modem: `velasms modem-sim [options]`.
// POSIX only (the simulator serves a pseudo-terminal).
#pragma once

namespace vela::sim {

// Runs the simulator until SIGINT, SIGTERM, a "quit" control line or a fatal
// error. argv[0] is "modem-sim"; the options follow. Returns the process exit
// code (0 after a normal stop, 2 for bad options, 1 when the pty cannot be set up).
// Runs on the calling thread; installs handlers for SIGINT and SIGTERM.
int ModemSimMain(int argc, char** argv);

}  // namespace vela::sim
