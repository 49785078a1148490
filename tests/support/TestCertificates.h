#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/TestSupport.h"

namespace testing_support {

// A certificate authority made for one test, and a certificate it signed for
// 127.0.0.1, as PEM files in a temporary directory.
class TestCertificates {
 public:
  TestCertificates() {
    EVP_PKEY* authorityKey = EVP_RSA_gen(2048);
    X509* authority = sign(authorityKey, authorityKey, nullptr, "URL Connection Test CA", 1);
    EVP_PKEY* serverKey = EVP_RSA_gen(2048);
    X509* server = sign(serverKey, authorityKey, authority, "127.0.0.1", 2);
    write(authorityFile(), [&](FILE* f) { return PEM_write_X509(f, authority); });
    write(certificateFile(), [&](FILE* f) { return PEM_write_X509(f, server); });
    write(keyFile(), [&](FILE* f) {
      return PEM_write_PrivateKey(f, serverKey, nullptr, nullptr, 0, nullptr, nullptr);
    });
    X509_free(server);
    X509_free(authority);
    EVP_PKEY_free(serverKey);
    EVP_PKEY_free(authorityKey);
  }

  std::string authorityFile() const { return dir_.path() + "/ca.pem"; }
  std::string certificateFile() const { return dir_.path() + "/server.pem"; }
  std::string keyFile() const { return dir_.path() + "/server.key"; }
  const std::string& dir() const { return dir_.path(); }

 private:
  static void extend(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer ? issuer : cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
  }

  static X509* sign(EVP_PKEY* key, EVP_PKEY* signer, X509* issuer, const char* name, long serial) {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* subject = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
    X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : subject);
    if (issuer == nullptr) {
      extend(cert, issuer, NID_basic_constraints, "critical,CA:TRUE");
      extend(cert, issuer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
      extend(cert, issuer, NID_basic_constraints, "CA:FALSE");
      extend(cert, issuer, NID_subject_alt_name, "IP:127.0.0.1");
      extend(cert, issuer, NID_ext_key_usage, "serverAuth");
    }
    extend(cert, issuer, NID_subject_key_identifier, "hash");
    X509_sign(cert, signer, EVP_sha256());
    return cert;
  }

  template <class Write>
  static void write(const std::string& path, Write writeTo) {
    FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr) << path;
    EXPECT_EQ(writeTo(file), 1);
    std::fclose(file);
  }

  TempDir dir_;
};

}  // namespace testing_support
