#include "gateway/tls.h"

#include <httplib.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <stdexcept>

namespace vela::gateway {

namespace {

// OpenSSL's reason for the last failure, e.g. "no start line".
std::string OpenSslReason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unreadable";
  const char* reason = ERR_reason_error_string(code);
  return reason ? reason : "error " + std::to_string(code);
}

// httplib only says whether the server is valid; this says what is wrong.
void CheckPair(const std::string& certFile, const std::string& keyFile) {
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  if (!ctx) throw std::runtime_error("TLS: cannot set up OpenSSL: " + OpenSslReason());
  ERR_clear_error();
  if (SSL_CTX_use_certificate_chain_file(ctx.get(), certFile.c_str()) != 1) {
    throw std::runtime_error("--tls-cert " + certFile + ": cannot use it as a PEM certificate (" + OpenSslReason() +
                             ")");
  }
  if (SSL_CTX_use_PrivateKey_file(ctx.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    throw std::runtime_error("--tls-key " + keyFile + ": cannot use it as a PEM private key (" + OpenSslReason() + ")");
  }
  if (SSL_CTX_check_private_key(ctx.get()) != 1) {
    throw std::runtime_error("--tls-key " + keyFile + " does not belong to the certificate " + certFile);
  }
}

}  // namespace

std::unique_ptr<httplib::Server> MakeServer(const std::string& certFile, const std::string& keyFile) {
  if (certFile.empty() && keyFile.empty()) return std::make_unique<httplib::Server>();
  if (certFile.empty() || keyFile.empty()) throw std::runtime_error("TLS needs both --tls-cert and --tls-key");
  CheckPair(certFile, keyFile);
  auto server = std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str());
  if (!server->is_valid()) throw std::runtime_error("TLS: cannot serve with " + certFile + " and " + keyFile);
  return server;
}

}  // namespace vela::gateway
