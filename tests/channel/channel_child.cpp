// A separate process with one command channel, started by the channel tests:
//   channel_child <device> <command> <timeout ms>
// Opens <device> at 115200, sends <command> followed by "\r" with the usual
// answers and exits 0 when the response holds "OK", 1 otherwise, 2 on an
// error. The test kills it while its command holds the machine-wide lock.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "transport/comm.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <device> <command> <timeout ms>\n", argv[0]);
    return 2;
  }
  try {
    vela::TmyXComm channel;
    channel.Connect(argv[1], "115200");
    vela::ByteString response;
    channel.SendCommand(std::string(argv[2]) + "\r", {"OK", "ERROR"}, response,
                        static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)));
    channel.Disconnect();
    return response.find("OK") != std::string::npos ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "channel_child: %s\n", e.what());
    return 2;
  }
}
