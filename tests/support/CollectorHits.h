#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "support/TestCertificates.h"
#include "tools/collector/Collector.h"

// The reference collector as the suites that send to it use it: started in
// the test process (over HTTPS too, with test certificates), and the hits it
// kept read back as JSON. For test programs that link the collector and
// nlohmann_json.
namespace testing_support {

// A quiet collector, started; null (the test failed) when it cannot start.
inline std::unique_ptr<halden::collector::Collector> startCollector(
    halden::collector::CollectorOptions options = {}) {
  options.quiet = true;
  auto collector = std::make_unique<halden::collector::Collector>(std::move(options));
  std::string error;
  if (!collector->start(error)) {
    ADD_FAILURE() << "collector did not start: " << error;
    return nullptr;
  }
  return collector;
}

// Options for a collector that listens for HTTPS too, on a port of its
// choosing, with `certificates`' server certificate and key.
inline halden::collector::CollectorOptions httpsOptions(const TestCertificates& certificates) {
  halden::collector::CollectorOptions options;
  options.httpsPort = 0;
  options.certFile = certificates.certificateFile();
  options.keyFile = certificates.keyFile();
  return options;
}

// The hits a collector kept, oldest first.
inline nlohmann::json receivedHits(const halden::collector::Collector& collector) {
  return nlohmann::json::parse(collector.hitsJson());
}

// A received hit's parameter (named without its "&"); empty when the hit
// has none.
inline std::string param(const nlohmann::json& hit, const std::string& key) {
  return hit["params"].contains(key) ? hit["params"][key].get<std::string>() : std::string();
}

// The same, but "<absent>" when the hit has none: for checks that tell a
// missing field from an empty one.
inline std::string paramOrAbsent(const nlohmann::json& hit, const std::string& key) {
  return hit["params"].contains(key) ? hit["params"][key].get<std::string>() : "<absent>";
}

}  // namespace testing_support
