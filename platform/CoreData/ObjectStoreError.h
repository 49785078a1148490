#pragma once

#include <string>

#include "platform/Foundation/Error.h"

namespace platform {

// Errors of the object store. Failures reported by SQLite itself carry
// SQLite's (extended) result code in NSSQLiteErrorDomain; the store's own
// checks use kObjectStoreErrorDomain with the codes below.
inline constexpr char NSSQLiteErrorDomain[] = "NSSQLiteErrorDomain";
inline constexpr char kObjectStoreErrorDomain[] = "ObjectStoreErrorDomain";

enum ObjectStoreErrorCode : long {
  kObjectStoreNoStore = 1,            // the context or coordinator has no open store
  kObjectStoreIncompatibleStore = 2,  // the file holds another model, or is not one of ours
  kObjectStoreInvalidModel = 3,       // the model cannot be given a store
  kObjectStoreUnknownEntity = 4,      // no entity of that name in the model
  kObjectStoreUnknownKey = 5,         // no attribute of that name in the entity
  kObjectStoreInvalidValue = 6,       // a value of the wrong kind for its attribute
  kObjectStoreMissingValue = 7,       // a non-optional attribute without a value at save
  kObjectStoreObjectNotFound = 8,     // no such object (deleted, or from another store)
  kObjectStoreInvalidPredicate = 9,   // a predicate the store cannot evaluate
  kObjectStoreFileReplaced = 10,      // the open store's file was removed, replaced or overwritten
};

// Fills *error, when error is not null, and answers false so that callers can
// write `return failWithError(error, ...);`.
inline bool failWithError(Error* error, std::string domain, long code, std::string description) {
  if (error) *error = Error{std::move(domain), code, std::move(description), {}};
  return false;
}

}  // namespace platform
