#pragma once

#include <optional>

#include "platform/CoreData/EntityDescription.h"
#include "platform/CoreData/ManagedObjectModel.h"
#include "platform/CoreData/PropertyList.h"

// The two object models of the hit store, written as plain descriptions and
// turned into model objects: the current model (one entity, TLMHit) for
// "haldenanalytics-v3.sql", and the old model (TLMProperty, then TLMHit) for
// "haldenanalytics-v2.sql". Each call builds afresh; nothing is cached.
//
// Threads: pure functions, safe on any thread.
class TLMCoreDataUtil {
 public:
  TLMCoreDataUtil() = delete;

  static platform::ManagedObjectModel model();
  static platform::ManagedObjectModel oldModel();
  static platform::PropertyList::Dictionary modelDescription();
  static platform::PropertyList::Dictionary oldModelDescription();

  // A model from any description {"entities": [entity descriptions]};
  // nothing (and an error line in the log) for a description that does not
  // read as one.
  static std::optional<platform::ManagedObjectModel> modelWithDescription(
      const platform::PropertyList::Dictionary& description);
  // An entity from {"name": ..., "properties": [attribute descriptions]}.
  static std::optional<platform::EntityDescription> entityWithDescription(
      const platform::PropertyList::Dictionary& description);
};
