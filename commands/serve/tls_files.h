// `tagsmith serve`'s certificate and private key: their checks before it
// listens, so that a bad file is named with what is wrong with it (missing,
// unreadable, not PEM, the one given for the other, or a key that does not
// belong to the certificate), and the TLS context they set up. Reads the
// files; keeps nothing but what the caller's context holds.
#ifndef TAGSMITH_COMMANDS_SERVE_TLS_FILES_H_
#define TAGSMITH_COMMANDS_SERVE_TLS_FILES_H_

#include <string>

namespace boost::asio::ssl {
class context;
}

namespace tagsmith::host {

// Throws UsageError, naming the file and its option (--tls-cert,
// --tls-key), unless `cert` holds a PEM certificate and `key` the PEM
// private key (unencrypted) that belongs to it.
void CheckTlsFiles(const std::string& cert, const std::string& key);

// Sets `tls` up to serve TLS 1.2 and later with the certificate chain in
// `cert` and the key in `key`. Throws ServeError naming the file.
void UseTlsFiles(boost::asio::ssl::context* tls, const std::string& cert,
                 const std::string& key);

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_SERVE_TLS_FILES_H_
