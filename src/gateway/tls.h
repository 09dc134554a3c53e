// The API's server: plain HTTP, or HTTPS with a certificate and its key
// (cpp-httplib over OpenSSL). With TLS on, plain HTTP on that port gets no
// answer: the handshake fails and the connection is closed.
#pragma once

#include <memory>
#include <string>

namespace httplib {
class Server;
}

namespace vela::gateway {

// Both empty: HTTP. Both given: HTTPS with the PEM certificate (chain) and
// private key. Throws std::runtime_error naming the file and OpenSSL's reason
// when they cannot be used, and when only one of them is given.
std::unique_ptr<httplib::Server> MakeServer(const std::string& certFile, const std::string& keyFile);

}  // namespace vela::gateway
