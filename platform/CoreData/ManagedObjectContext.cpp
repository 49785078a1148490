#include "platform/CoreData/ManagedObjectContext.h"

#include <map>
#include <set>

#include "platform/CoreData/ObjectStoreError.h"

namespace platform {

// The context's bookkeeping, shared weakly with its objects so that an
// object outliving its context changes only itself.
struct ManagedObjectContext::State : ManagedObject::ContextLink {
  using Objects = std::map<ManagedObjectId, std::shared_ptr<ManagedObject>>;
  using Row = PersistentStoreCoordinator::Row;

  std::weak_ptr<State> self;
  std::shared_ptr<PersistentStoreCoordinator> coordinator;
  bool ownsCoordinator = false;

  // Every object handed out, for uniqueness; pruned of the dead now and then.
  std::map<ManagedObjectId, std::weak_ptr<ManagedObject>> registered;
  std::size_t pruneAt = 64;
  // Pending since the last save; held strongly so that they reach it.
  Objects inserted;
  Objects updated;                    // saved objects with changed values
  std::set<ManagedObjectId> deleted;  // saved objects deleted
  // Changed in memory and not yet written into the open transaction.
  Objects unflushed;

  ~State() override {
    if (coordinator && ownsCoordinator) coordinator->release(this);
  }

  void objectDidChange(ManagedObject& object) override {
    auto shared = object.shared_from_this();
    const ManagedObjectId& id = object.objectID();
    if (!inserted.count(id)) updated[id] = shared;
    unflushed[id] = std::move(shared);
  }

  void fireFault(const ManagedObject& object) override {
    if (!coordinator || !ownsCoordinator || !coordinator->hasStore()) return;
    if (auto row =
            coordinator->selectRow(object.entity(), object.objectID().primaryKey(), nullptr)) {
      object.values_ = std::move(row->values);
    }
  }

  PersistentStoreCoordinator* store(Error* error) {
    if (!coordinator || !coordinator->hasStore()) {
      failWithError(error, kObjectStoreErrorDomain, kObjectStoreNoStore,
                    "The context has no persistent store");
      return nullptr;
    }
    if (!ownsCoordinator) {
      failWithError(error, kObjectStoreErrorDomain, kObjectStoreNoStore,
                    "The context's coordinator serves another context");
      return nullptr;
    }
    return coordinator.get();
  }

  bool notFound(const ManagedObjectId& objectID, Error* error) const {
    return failWithError(error, kObjectStoreErrorDomain, kObjectStoreObjectNotFound,
                         "No object " + objectID.uriRepresentation() + " in this store");
  }

  // The entity of an identifier of this store's objects.
  const EntityDescription* entityOfID(const ManagedObjectId& objectID, Error* error) const {
    const EntityDescription* entity =
        objectID.isValid() && objectID.storeIdentifier() == coordinator->storeIdentifier()
            ? coordinator->managedObjectModel().entityNamed(objectID.entityName())
            : nullptr;
    if (!entity) notFound(objectID, error);
    return entity;
  }

  std::shared_ptr<ManagedObject> liveObject(const ManagedObjectId& objectID) const {
    auto it = registered.find(objectID);
    return it == registered.end() ? nullptr : it->second.lock();
  }

  // Deletes an object's row, whether or not the object is in memory, and
  // records the deletion for the save. The number of rows deleted: 0 when
  // the row was already gone.
  std::optional<int> deleteRow(PersistentStoreCoordinator& store, const EntityDescription& entity,
                               const ManagedObjectId& id, bool flushed, Error* error) {
    if (!store.beginIfNeeded(error)) return std::nullopt;
    const std::optional<int> rows = store.deleteRow(entity, id.primaryKey(), flushed, error);
    if (!rows) return std::nullopt;
    unflushed.erase(id);
    updated.erase(id);
    // An object inserted and deleted before a save leaves nothing to save.
    if (!inserted.erase(id) && *rows > 0) deleted.insert(id);
    if (auto live = liveObject(id)) live->deleted_ = true;
    registered.erase(id);
    return rows;
  }

  const EntityDescription* entityNamed(std::string_view name, Error* error) {
    const EntityDescription* entity = coordinator->managedObjectModel().entityNamed(name);
    if (!entity) {
      failWithError(error, kObjectStoreErrorDomain, kObjectStoreUnknownEntity,
                    "The model has no entity named \"" + std::string(name) + "\"");
    }
    return entity;
  }

  bool flush(Error* error) {
    if (unflushed.empty()) return true;
    PersistentStoreCoordinator* store = this->store(error);
    if (!store || !store->beginIfNeeded(error)) return false;
    while (!unflushed.empty()) {
      const auto& object = unflushed.begin()->second;
      if (!store->updateRow(object->entity(), object->objectID().primaryKey(), object->values_,
                            error)) {
        return false;
      }
      unflushed.erase(unflushed.begin());
    }
    return true;
  }

  std::shared_ptr<ManagedObject> makeObject(const EntityDescription& entity, int64_t primaryKey) {
    ManagedObjectId id(coordinator->storeIdentifier(), entity.name(), primaryKey);
    std::shared_ptr<ManagedObject> object(
        new ManagedObject(coordinator->model_, &entity, id, self));
    if (registered.size() >= pruneAt) {
      std::erase_if(registered, [](const auto& entry) { return entry.second.expired(); });
      pruneAt = std::max<std::size_t>(64, registered.size() * 2);
    }
    registered[id] = object;
    return object;
  }

  // The object for a fetched row: the registered one when it is still alive.
  std::shared_ptr<ManagedObject> objectForRow(const EntityDescription& entity, Row& row,
                                              bool withValues) {
    ManagedObjectId id(coordinator->storeIdentifier(), entity.name(), row.primaryKey);
    if (auto it = registered.find(id); it != registered.end()) {
      if (auto live = it->second.lock()) {
        // A row read through this context's transaction already holds its
        // changes (they are flushed before every read): fill in a fault.
        if (withValues && live->fault_) {
          live->values_ = std::move(row.values);
          live->fault_ = false;
        }
        return live;
      }
    }
    auto object = makeObject(entity, row.primaryKey);
    if (withValues) {
      object->values_ = std::move(row.values);
    } else {
      object->fault_ = true;
    }
    return object;
  }

  // The store rolled the transaction back: what was inserted is gone, what
  // was deleted is back (under new handles), what was changed reads afresh.
  void discardChanges() {
    for (auto& [id, object] : inserted) {
      object->deleted_ = true;
      registered.erase(id);
    }
    for (auto& entry : updated)
      entry.second->fault_ = true;
    inserted.clear();
    updated.clear();
    deleted.clear();
    unflushed.clear();
  }

  void forgetEverything() {
    discardChanges();
    for (auto& entry : registered) {
      if (auto live = entry.second.lock()) live->deleted_ = true;
    }
    registered.clear();
  }

  bool validate(const Objects& objects, Error* error) const {
    for (const auto& entry : objects) {
      const ManagedObject& object = *entry.second;
      for (const auto& attribute : object.entity().properties()) {
        if (attribute.isOptional()) continue;
        auto it = object.values_.find(attribute.name());
        if (it == object.values_.end() || isNil(it->second)) {
          return failWithError(error, kObjectStoreErrorDomain, kObjectStoreMissingValue,
                               "The " + object.entity().name() + " object " +
                                   object.objectID().uriRepresentation() + " needs a value for \"" +
                                   attribute.name() + "\"");
        }
      }
    }
    return true;
  }
};

ManagedObjectContext::ManagedObjectContext() : state_(std::make_shared<State>()) {
  state_->self = state_;
}

ManagedObjectContext::~ManagedObjectContext() = default;

void ManagedObjectContext::setPersistentStoreCoordinator(
    std::shared_ptr<PersistentStoreCoordinator> coordinator) {
  if (coordinator == state_->coordinator) return;
  if (state_->coordinator && state_->ownsCoordinator) state_->coordinator->release(state_.get());
  state_->forgetEverything();
  state_->coordinator = std::move(coordinator);
  state_->ownsCoordinator = state_->coordinator && state_->coordinator->claim(state_.get());
}

const std::shared_ptr<PersistentStoreCoordinator>&
ManagedObjectContext::persistentStoreCoordinator() const {
  return state_->coordinator;
}

std::shared_ptr<ManagedObject> ManagedObjectContext::insertNewObjectForEntityForName(
    std::string_view entityName, Error* error) {
  PersistentStoreCoordinator* store = state_->store(error);
  if (!store) return nullptr;
  const EntityDescription* entity = state_->entityNamed(entityName, error);
  if (!entity || !store->beginIfNeeded(error)) return nullptr;
  auto primaryKey = store->insertRow(*entity, error);
  if (!primaryKey) return nullptr;
  auto object = state_->makeObject(*entity, *primaryKey);
  state_->inserted[object->objectID()] = object;
  return object;
}

bool ManagedObjectContext::obtainPermanentIDsForObjects(
    const std::vector<std::shared_ptr<ManagedObject>>& objects, Error* error) {
  for (const auto& object : objects) {
    if (!object || object->isDeleted() || object->context_.lock() != state_) {
      return failWithError(error, kObjectStoreErrorDomain, kObjectStoreObjectNotFound,
                           "Only live objects of this context have identifiers to obtain");
    }
  }
  return true;
}

std::optional<std::vector<std::shared_ptr<ManagedObject>>>
ManagedObjectContext::executeFetchRequest(const FetchRequest& request, Error* error) {
  PersistentStoreCoordinator* store = state_->store(error);
  if (!store) return std::nullopt;
  const EntityDescription* entity = state_->entityNamed(request.entityName(), error);
  if (!entity || !state_->flush(error)) return std::nullopt;
  auto rows = store->selectRows(*entity, request, error);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<ManagedObject>> objects;
  objects.reserve(rows->size());
  for (auto& row : *rows) {
    objects.push_back(state_->objectForRow(*entity, row, request.includesPropertyValues()));
  }
  return objects;
}

std::optional<std::vector<ObjectValues>> ManagedObjectContext::executeFetchRequestForValues(
    const FetchRequest& request, Error* error) {
  PersistentStoreCoordinator* store = state_->store(error);
  if (!store) return std::nullopt;
  const EntityDescription* entity = state_->entityNamed(request.entityName(), error);
  if (!entity || !state_->flush(error)) return std::nullopt;
  FetchRequest withValues = request;
  withValues.setIncludesPropertyValues(true);
  auto rows = store->selectRows(*entity, withValues, error);
  if (!rows) return std::nullopt;
  std::vector<ObjectValues> found;
  found.reserve(rows->size());
  for (auto& row : *rows) {
    row.values.insert_or_assign(
        "objectID", ManagedObjectId(store->storeIdentifier(), entity->name(), row.primaryKey));
    found.push_back(std::move(row.values));
  }
  return found;
}

std::optional<uint64_t> ManagedObjectContext::countForFetchRequest(const FetchRequest& request,
                                                                   Error* error) {
  PersistentStoreCoordinator* store = state_->store(error);
  if (!store) return std::nullopt;
  const EntityDescription* entity = state_->entityNamed(request.entityName(), error);
  if (!entity || !state_->flush(error)) return std::nullopt;
  return store->countRows(*entity, request, error);
}

std::shared_ptr<ManagedObject> ManagedObjectContext::existingObjectWithID(
    const ManagedObjectId& objectID, Error* error) {
  PersistentStoreCoordinator* store = state_->store(error);
  if (!store) return nullptr;
  const EntityDescription* entity = state_->entityOfID(objectID, error);
  if (!entity) return nullptr;
  if (auto live = state_->liveObject(objectID)) {
    if (!live->isDeleted()) return live;
    state_->notFound(objectID, error);
    return nullptr;
  }
  auto row = store->selectRow(*entity, objectID.primaryKey(), error);
  if (!row) return nullptr;
  return state_->objectForRow(*entity, *row, /*withValues=*/true);
}

bool ManagedObjectContext::deleteObject(const std::shared_ptr<ManagedObject>& object,
                                        Error* error) {
  if (!object || object->context_.lock() != state_) {
    return failWithError(error, kObjectStoreErrorDomain, kObjectStoreObjectNotFound,
                         "Only objects of this context can be deleted in it");
  }
  if (object->isDeleted()) return true;
  PersistentStoreCoordinator* store = state_->store(error);
  if (!store) return false;
  return state_->deleteRow(*store, object->entity(), object->objectID(), /*flushed=*/true, error)
      .has_value();
}

bool ManagedObjectContext::deleteObjectWithID(const ManagedObjectId& objectID, Error* error) {
  PersistentStoreCoordinator* store = state_->store(error);
  if (!store) return false;
  const EntityDescription* entity = state_->entityOfID(objectID, error);
  if (!entity) return false;
  const std::optional<int> deleted =
      state_->deleteRow(*store, *entity, objectID, /*flushed=*/false, error);
  if (!deleted) return false;
  return *deleted > 0 || state_->notFound(objectID, error);
}

bool ManagedObjectContext::hasChanges() const {
  return !state_->inserted.empty() || !state_->updated.empty() || !state_->deleted.empty();
}

bool ManagedObjectContext::hasInsertedObjects() const {
  return !state_->inserted.empty();
}

bool ManagedObjectContext::save(Error* error) {
  if (!hasChanges()) {
    // An insert undone by a delete may still hold the transaction open.
    if (state_->ownsCoordinator && state_->coordinator) return state_->coordinator->commit(error);
    return true;
  }
  PersistentStoreCoordinator* store = state_->store(error);
  if (!store) return false;
  if (!state_->flush(error)) {
    // The failed write rolled the changes back, and this failure reports
    // it: the store takes new changes from here on. (A flush refused
    // before its transaction began, as by a busy file, keeps them.)
    if (store->rolledBack()) {
      store->rollback();
      state_->discardChanges();
    }
    return false;
  }
  if (!state_->validate(state_->inserted, error) || !state_->validate(state_->updated, error)) {
    return false;
  }
  if (!store->commit(error)) {
    if (!store->inTransaction()) state_->discardChanges();
    return false;
  }
  state_->inserted.clear();
  state_->updated.clear();
  state_->deleted.clear();
  return true;
}

}  // namespace platform
