// The velasms commands. Each takes its arguments (after the command name),
// writes its results to `out` and its messages to `err`, and returns the exit
// status: 0 success, 1 the modem refused a message (send), 2 unusable
// arguments or any error. They can be called in-process (the tests do).
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vela::tool {

using Args = std::vector<std::string>;

// The whole command line after the program name; dispatches to the commands
// below ("modem-sim" is dispatched by main, which owns argv).
int RunVelasms(const Args& args, std::ostream& out, std::ostream& err);

int RunEncode(const Args& args, std::ostream& out, std::ostream& err);
int RunDecode(const Args& args, std::ostream& out, std::ostream& err);
int RunJoin(const Args& args, std::ostream& out, std::ostream& err);
int RunSend(const Args& args, std::ostream& out, std::ostream& err);
int RunListen(const Args& args, std::ostream& out, std::ostream& err);
int RunInfo(const Args& args, std::ostream& out, std::ostream& err);
int RunMessages(const Args& args, std::ostream& out, std::ostream& err);
int RunUssd(const Args& args, std::ostream& out, std::ostream& err);
// The gateway daemon and its clients (gateway_command.cpp, gateway_client.cpp).
int RunGateway(const Args& args, std::ostream& out, std::ostream& err);
int RunInbox(const Args& args, std::ostream& out, std::ostream& err);
int RunGatewaySend(const Args& args, std::ostream& out, std::ostream& err);
// send: through a gateway with --gateway, else RunSend.
int RunSendCommand(const Args& args, std::ostream& out, std::ostream& err);

// Usage texts, as printed by --help.
extern const char* const kMainUsage;
extern const char* const kEncodeUsage;
extern const char* const kDecodeUsage;
extern const char* const kJoinUsage;
extern const char* const kSendUsage;
extern const char* const kListenUsage;
extern const char* const kInfoUsage;
extern const char* const kMessagesUsage;
extern const char* const kUssdUsage;
extern const char* const kGatewayUsage;
extern const char* const kInboxUsage;

}  // namespace vela::tool
