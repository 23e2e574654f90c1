// See tls_files.h.
#include "commands/serve/tls_files.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <boost/asio/ssl/context.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "commands/command_args.h"
#include "commands/serve/http_server.h"

namespace tagsmith::host {

namespace {

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

// "--tls-cert 'cert.pem'", the start of every message about that file.
std::string Named(const std::string& option, const std::string& path) {
  return option + " '" + path + "'";
}

// The whole file; throws when it is missing, a directory or unreadable.
std::string ReadWhole(const std::string& option, const std::string& path) {
  std::error_code ignored;
  const std::filesystem::file_status status =
      std::filesystem::status(path, ignored);
  if (!std::filesystem::exists(status))
    throw UsageError(Named(option, path) + " does not exist");
  if (std::filesystem::is_directory(status))
    throw UsageError(Named(option, path) + " is a directory, not a file");
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file)
    throw UsageError(Named(option, path) +
                     " cannot be read: " + std::strerror(errno));
  std::string bytes;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
    bytes.append(buffer, got);
  const bool failed = std::ferror(file);
  std::fclose(file);
  if (failed) throw UsageError(Named(option, path) + " cannot be read");
  return bytes;
}

bool Has(const std::string& text, const char* what) {
  return text.find(what) != std::string::npos;
}

// Why PEM text that should hold a certificate (or else a private key) did
// not give one: a message for the user.
std::string WhyNot(const std::string& option, const std::string& path,
                   const std::string& text, bool want_certificate) {
  const std::string name = Named(option, path);
  if (!Has(text, "-----BEGIN "))
    return name + " is not PEM: it has no '-----BEGIN' line";
  const bool has_key = Has(text, "PRIVATE KEY-----");
  const bool has_cert = Has(text, "CERTIFICATE-----");
  const char* const swapped = " (are --tls-cert and --tls-key swapped?)";
  if (want_certificate)
    return name + (has_key && !has_cert
                       ? " holds a private key, not a certificate" +
                             std::string(swapped)
                       : " holds no readable PEM certificate");
  if (has_cert && !has_key)
    return name + " holds a certificate, not a private key" + swapped;
  if (Has(text, "ENCRYPTED"))
    return name + " is encrypted: give the key without a passphrase";
  return name + " holds no readable PEM private key";
}

// No passphrase is ever asked for: an encrypted key fails to read.
int NoPassphrase(char*, int, int, void*) { return 0; }

}  // namespace

void CheckTlsFiles(const std::string& cert, const std::string& key) {
  const std::string cert_text = ReadWhole("--tls-cert", cert);
  const std::string key_text = ReadWhole("--tls-key", key);
  std::unique_ptr<BIO, BioFree> cert_bio(
      BIO_new_mem_buf(cert_text.data(), static_cast<int>(cert_text.size())));
  std::unique_ptr<BIO, BioFree> key_bio(
      BIO_new_mem_buf(key_text.data(), static_cast<int>(key_text.size())));
  if (!cert_bio || !key_bio) throw UsageError("out of memory");
  std::unique_ptr<X509, X509Free> x509(
      PEM_read_bio_X509(cert_bio.get(), nullptr, nullptr, nullptr));
  std::unique_ptr<EVP_PKEY, KeyFree> pkey(
      PEM_read_bio_PrivateKey(key_bio.get(), nullptr, NoPassphrase, nullptr));
  // What went wrong is told from the text; OpenSSL's queue is not needed.
  ERR_clear_error();
  if (!x509) throw UsageError(WhyNot("--tls-cert", cert, cert_text, true));
  if (!pkey) throw UsageError(WhyNot("--tls-key", key, key_text, false));
  const bool match = X509_check_private_key(x509.get(), pkey.get()) == 1;
  ERR_clear_error();
  if (!match)
    throw UsageError("the private key in " + Named("--tls-key", key) +
                     " does not belong to the certificate in " +
                     Named("--tls-cert", cert));
}

void UseTlsFiles(boost::asio::ssl::context* tls, const std::string& cert,
                 const std::string& key) {
  namespace ssl = boost::asio::ssl;
  tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                   ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                   ssl::context::no_tlsv1_1);
  boost::system::error_code error;
  tls->use_certificate_chain_file(cert, error);
  if (error)
    throw ServeError("cannot use certificate '" + cert +
                     "': " + error.message());
  tls->use_private_key_file(key, ssl::context::pem, error);
  if (error)
    throw ServeError("cannot use private key '" + key +
                     "': " + error.message());
}

}  // namespace tagsmith::host
