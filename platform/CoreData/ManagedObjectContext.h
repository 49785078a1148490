#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/CoreData/FetchRequest.h"
#include "platform/CoreData/ManagedObject.h"
#include "platform/CoreData/ManagedObjectId.h"
#include "platform/CoreData/PersistentStoreCoordinator.h"
#include "platform/Foundation/Error.h"

namespace platform {

// How a context settles a difference between its objects and the store:
// its own values win. That is the only policy offered: a context writes its
// changes under one write transaction from its first change to its save, so
// nothing can change its rows underneath it.
enum class MergePolicy { kOverwrite };

// A scratch pad of objects over one coordinator's store. Inserts, changes
// and deletions are visible to this context's fetches and counts at once and
// reach the file together, at save(), or not at all: unsaved changes are
// dropped with the context. Objects come back unique: one object per
// identifier while anything holds it.
//
// Under the hood the context's first change opens a write transaction on the
// store (an insert gets its permanent row there), its fetches read through
// that transaction, and save() commits it after checking that every changed
// object has a value for each non-optional attribute.
//
// Threads: a confinement context. It, its coordinator and its objects are
// used on one thread only; nothing here locks.
class ManagedObjectContext {
 public:
  ManagedObjectContext();
  ~ManagedObjectContext();
  ManagedObjectContext(const ManagedObjectContext&) = delete;
  ManagedObjectContext& operator=(const ManagedObjectContext&) = delete;

  // A coordinator serves one context; giving it to a second one leaves that
  // one without a store. Changes not yet saved to the previous coordinator
  // are dropped.
  void setPersistentStoreCoordinator(std::shared_ptr<PersistentStoreCoordinator> coordinator);
  const std::shared_ptr<PersistentStoreCoordinator>& persistentStoreCoordinator() const;
  MergePolicy mergePolicy() const { return mergePolicy_; }
  void setMergePolicy(MergePolicy policy) { mergePolicy_ = policy; }

  // A new object of the entity, every attribute without a value, with its
  // permanent identifier. Null, with the error set, for an unknown entity or
  // a store that cannot be written.
  std::shared_ptr<ManagedObject> insertNewObjectForEntityForName(std::string_view entityName,
                                                                 Error* error);
  // Identifiers are permanent from insertion on; this only confirms that
  // every object is a live object of this context.
  bool obtainPermanentIDsForObjects(const std::vector<std::shared_ptr<ManagedObject>>& objects,
                                    Error* error);

  std::optional<std::vector<std::shared_ptr<ManagedObject>>> executeFetchRequest(
      const FetchRequest& request, Error* error);
  // What the request finds as plain values, every attribute's and the
  // identifier's under "objectID", without making or registering objects:
  // for reading many objects once, as changes made here are written to the
  // store before it reads.
  std::optional<std::vector<ObjectValues>> executeFetchRequestForValues(const FetchRequest& request,
                                                                        Error* error);
  // The number of objects the request would fetch, without fetching them.
  std::optional<uint64_t> countForFetchRequest(const FetchRequest& request, Error* error);
  // The live object with that identifier; null with kObjectStoreObjectNotFound
  // when it was deleted or belongs to another store.
  std::shared_ptr<ManagedObject> existingObjectWithID(const ManagedObjectId& objectID,
                                                      Error* error);
  // Deletes the object from the store's view at once and from the file at
  // the next save. Objects of other contexts, and already deleted ones, are
  // left alone.
  bool deleteObject(const std::shared_ptr<ManagedObject>& object, Error* error = nullptr);
  // Deletes the object with that identifier without reading it from the
  // store; false with kObjectStoreObjectNotFound when there is none. For
  // rows whose deletion may be undone by a power loss without harm: a save
  // whose only changes are such deletions does not flush the store's log
  // (see PersistentStoreCoordinator).
  bool deleteObjectWithID(const ManagedObjectId& objectID, Error* error);

  // Whether any object was inserted, changed or deleted since the last save.
  bool hasChanges() const;
  // Whether any object was inserted since the last save.
  bool hasInsertedObjects() const;
  // Writes every change to the file, atomically. A non-optional attribute
  // without a value fails the save with kObjectStoreMissingValue and keeps
  // the changes pending. A save the store refused and rolled back drops them.
  bool save(Error* error);

 private:
  struct State;

  std::shared_ptr<State> state_;
  MergePolicy mergePolicy_ = MergePolicy::kOverwrite;
};

}  // namespace platform
