// Control lines of `velasms modem-sim` (standard input and the control FIFO).
// One command per line:
//   deliver <from> <text...>     incoming message (+CMT) from <from>; \n \r \t \\ escapes in text
//   deliver-long [--order LIST] [--duplicate LIST] [--drop LIST] [--ucs2] [--ref16] [--ref N]
//                <from> <text...>  concatenated message (ModemSim::InjectDeliverLong)
//   report <reference> [status]  status report (+CDS) for a decimal reference, status in hex
//                                (default: the --report-status value)
//   cmt <pdu-hex>                +CMT with the given PDU (service-centre prefix included)
//   cds <pdu-hex>                +CDS with the given PDU
//   raw <line...>                the line, framed by CR LF
//   ring                         RING
//   quit                         stop the simulator
// Blank lines and lines starting with '#' are ignored.
#pragma once

#include <string>

#include "modem_sim.h"

namespace vela::sim {

enum class ControlAction { Continue, Quit };

// Applies one control line to the simulator. A malformed line changes nothing,
// sets *error and returns Continue. Any thread.
ControlAction ApplyControlLine(ModemSim& sim, const std::string& line, std::string* error);

// Help text of `velasms modem-sim --help`.
std::string ModemSimUsage();

}  // namespace vela::sim
