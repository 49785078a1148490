#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>

#include "CollectorTestClient.h"
#include "support/TestSupport.h"
#include "tools/collector/Collector.h"

namespace halden::collector {
namespace {

using namespace collector_test;

// A throwaway certificate authority and a server certificate it signed for
// 127.0.0.1, as PEM files in a temporary directory.
class TestCertificates {
 public:
  TestCertificates() {
    EVP_PKEY* caKey = EVP_RSA_gen(2048);
    X509* ca = makeCertificate(caKey, caKey, nullptr, "Collector Test CA", true);
    EVP_PKEY* serverKey = EVP_RSA_gen(2048);
    X509* server = makeCertificate(serverKey, caKey, ca, "127.0.0.1", false);
    writePem(caFile(), [&](FILE* f) { return PEM_write_X509(f, ca); });
    writePem(certFile(), [&](FILE* f) { return PEM_write_X509(f, server); });
    writePem(keyFile(), [&](FILE* f) {
      return PEM_write_PrivateKey(f, serverKey, nullptr, nullptr, 0, nullptr, nullptr);
    });
    X509_free(server);
    X509_free(ca);
    EVP_PKEY_free(serverKey);
    EVP_PKEY_free(caKey);
  }

  std::string caFile() const { return dir_.path() + "/ca.pem"; }
  std::string certFile() const { return dir_.path() + "/server.pem"; }
  std::string keyFile() const { return dir_.path() + "/server.key"; }
  const std::string& dir() const { return dir_.path(); }

 private:
  static void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer ? issuer : cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
  }

  static X509* makeCertificate(EVP_PKEY* key, EVP_PKEY* signer, X509* issuer, const char* name,
                               bool isCa) {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    static long serial = 1;
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* subject = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
    X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : subject);
    if (isCa) {
      addExtension(cert, issuer, NID_basic_constraints, "critical,CA:TRUE");
      addExtension(cert, issuer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
      addExtension(cert, issuer, NID_basic_constraints, "CA:FALSE");
      addExtension(cert, issuer, NID_subject_alt_name, "IP:127.0.0.1");
      addExtension(cert, issuer, NID_ext_key_usage, "serverAuth");
    }
    addExtension(cert, issuer, NID_subject_key_identifier, "hash");
    X509_sign(cert, signer, EVP_sha256());
    return cert;
  }

  template <class Write>
  static void writePem(const std::string& path, Write write) {
    FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr) << path;
    EXPECT_EQ(write(file), 1);
    std::fclose(file);
  }

  testing_support::TempDir dir_;
};

CollectorOptions httpsOptions(const TestCertificates& certificates) {
  CollectorOptions options;
  options.certFile = certificates.certFile();
  options.keyFile = certificates.keyFile();
  options.httpsPort = 0;
  return options;
}

TEST(CollectorHttpsTest, TakesVerifiedHttpsNextToPlainHttp) {
  TestCertificates certificates;
  CollectorOptions options = httpsOptions(certificates);
  options.httpsPortFile = certificates.dir() + "/https-port";
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  ASSERT_GT(collector->httpsPort(), 0);
  EXPECT_NE(collector->httpsPort(), collector->port());
  EXPECT_EQ(collector->httpsOrigin(),
            "https://127.0.0.1:" + std::to_string(collector->httpsPort()));

  const Params params = withExtra(requiredFields("event"), {{"ec", "secure & sound"}});
  Request request;
  request.method = "POST";
  request.url = collector->httpsOrigin() + "/batch";
  request.body = gzip(hitLine(params) + "\n" + hitLine(params));
  request.headers = {"Content-Encoding: gzip"};
  request.caFile = certificates.caFile();
  const Reply reply = perform(request);
  ASSERT_EQ(reply.code, CURLE_OK) << reply.error;
  EXPECT_EQ(reply.status, 200);
  ASSERT_EQ(get(collector->origin() + "/collect?" + hitLine(params)).status, 200);

  const nlohmann::json hits = hitsOf(*collector);
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0]["scheme"], "https");
  EXPECT_EQ(hits[0]["params"]["ec"], "secure & sound");
  EXPECT_EQ(hits[0]["encoding"], "gzip");
  EXPECT_EQ(hits[2]["scheme"], "http");
  EXPECT_EQ(collector->stats().requests, 2u);
}

TEST(CollectorHttpsTest, ClientWithoutTheAuthorityRefusesTheServer) {
  TestCertificates certificates;
  auto collector = startCollector(httpsOptions(certificates));
  ASSERT_TRUE(collector);
  const Reply reply = get(collector->httpsOrigin() + "/stats");
  EXPECT_EQ(reply.code, CURLE_PEER_FAILED_VERIFICATION) << reply.error;
}

TEST(CollectorHttpsTest, DropWorksOverTls) {
  TestCertificates certificates;
  CollectorOptions options = httpsOptions(certificates);
  options.faults.dropFirst = 1;
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  Request request;
  request.url = collector->httpsOrigin() + "/collect?" + hitLine(requiredFields("event"));
  request.caFile = certificates.caFile();
  const Reply dropped = perform(request);
  EXPECT_NE(dropped.code, CURLE_OK);
  EXPECT_EQ(dropped.status, 0);
  const Reply answered = perform(request);
  EXPECT_EQ(answered.code, CURLE_OK) << answered.error;
  EXPECT_EQ(answered.status, 200);
  EXPECT_EQ(collector->stats().dropped, 1u);
}

TEST(CollectorHttpsTest, StartFailsOnAnUnusableCertificate) {
  TestCertificates certificates;
  CollectorOptions options = httpsOptions(certificates);
  options.keyFile = certificates.caFile();  // a certificate is no private key
  options.quiet = true;
  Collector collector(options);
  std::string error;
  EXPECT_FALSE(collector.start(error));
  EXPECT_NE(error.find("certificate"), std::string::npos) << error;
  EXPECT_EQ(collector.port(), -1);
}

}  // namespace
}  // namespace halden::collector
