// The checks of `tagsmith serve`'s certificate and private key before it
// listens, so that a bad file is named with what is wrong with it: missing,
// unreadable, not PEM, the one given for the other, or a key that does not
// belong to the certificate. Reads the files; keeps nothing.
#ifndef TAGSMITH_HOST_TLS_FILES_H_
#define TAGSMITH_HOST_TLS_FILES_H_

#include <string>

namespace tagsmith::host {

// Throws UsageError, naming the file and its option (--tls-cert,
// --tls-key), unless `cert` holds a PEM certificate and `key` the PEM
// private key (unencrypted) that belongs to it.
void CheckTlsFiles(const std::string& cert, const std::string& key);

}  // namespace tagsmith::host

#endif  // TAGSMITH_HOST_TLS_FILES_H_
