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
// 127.0.0.1, as PEM files in a temporary directory. More certificates for the
// same key, signed by the same authority, can be issued for another name or a
// validity that has ended, for a client that must refuse them.
class TestCertificates {
 public:
  // What a further certificate says: the name it is for (an IP address goes
  // into the subject alternative names as one, any other name as a DNS
  // name) and its validity, in seconds from now.
  struct Leaf {
    std::string name = "127.0.0.1";
    long notBefore = -3600;
    long notAfter = 24 * 3600;
  };

  TestCertificates() {
    authorityKey_ = EVP_RSA_gen(2048);
    authority_ = sign(authorityKey_, authorityKey_, nullptr, "URL Connection Test CA", 1, Leaf{});
    serverKey_ = EVP_RSA_gen(2048);
    write(authorityFile(), [&](FILE* f) { return PEM_write_X509(f, authority_); });
    issue("server.pem", Leaf{});
    write(keyFile(), [&](FILE* f) {
      return PEM_write_PrivateKey(f, serverKey_, nullptr, nullptr, 0, nullptr, nullptr);
    });
  }

  ~TestCertificates() {
    X509_free(authority_);
    EVP_PKEY_free(serverKey_);
    EVP_PKEY_free(authorityKey_);
  }

  // Signs a certificate for keyFile()'s key as `leaf` says and writes it to
  // `fileName` in dir(); its path.
  std::string issue(const std::string& fileName, const Leaf& leaf) {
    X509* cert = sign(serverKey_, authorityKey_, authority_, leaf.name.c_str(), ++serial_, leaf);
    const std::string path = dir_.path() + "/" + fileName;
    write(path, [&](FILE* f) { return PEM_write_X509(f, cert); });
    X509_free(cert);
    return path;
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

  static X509* sign(EVP_PKEY* key, EVP_PKEY* signer, X509* issuer, const char* name, long serial,
                    const Leaf& validity) {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), validity.notBefore);
    X509_gmtime_adj(X509_getm_notAfter(cert), validity.notAfter);
    X509_set_pubkey(cert, key);
    X509_NAME* subject = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
    X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : subject);
    if (issuer == nullptr) {
      extend(cert, issuer, NID_basic_constraints, "critical,CA:TRUE");
      extend(cert, issuer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
      ASN1_OCTET_STRING* address = a2i_IPADDRESS(name);
      const std::string alternative = (address ? "IP:" : "DNS:") + std::string(name);
      ASN1_OCTET_STRING_free(address);
      extend(cert, issuer, NID_basic_constraints, "CA:FALSE");
      extend(cert, issuer, NID_subject_alt_name, alternative.c_str());
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
  EVP_PKEY* authorityKey_ = nullptr;
  X509* authority_ = nullptr;
  EVP_PKEY* serverKey_ = nullptr;
  long serial_ = 1;
};

}  // namespace testing_support
