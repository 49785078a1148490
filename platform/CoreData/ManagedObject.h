#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/CoreData/EntityDescription.h"
#include "platform/CoreData/ManagedObjectId.h"
#include "platform/CoreData/ObjectValue.h"
#include "platform/Foundation/Error.h"

namespace platform {

class ManagedObjectContext;
class ManagedObjectModel;

// One object of an entity, made and owned by a ManagedObjectContext (which
// hands out shared handles: the same object for the same identifier). Its
// values are read and written by key; a change is kept in memory and written
// to the store by the context's next fetch, count or save.
//
// Threads: an object belongs to its context's thread, like the context.
class ManagedObject : public std::enable_shared_from_this<ManagedObject> {
 public:
  ManagedObject(const ManagedObject&) = delete;
  ManagedObject& operator=(const ManagedObject&) = delete;

  // Permanent from the moment the object is inserted.
  const ManagedObjectId& objectID() const { return objectID_; }
  const EntityDescription& entity() const { return *entity_; }
  // Deleted in its context (or gone with a save that failed and was rolled
  // back); a deleted object's changes go nowhere.
  bool isDeleted() const { return deleted_; }

  // The attribute's value, the object's identifier for "objectID", and no
  // value for an unknown key.
  ObjectValue valueForKey(std::string_view key) const;
  ObjectValues dictionaryWithValuesForKeys(const std::vector<std::string>& keys) const;

  // Sets an attribute. An unknown key, "objectID" or a value of the wrong
  // kind (see AttributeDescription::accepts) fails with an error and changes
  // nothing. A number given to a 64-bit integer attribute is kept as its
  // integer part, as the store would give it back.
  bool setValue(ObjectValue value, std::string_view key, Error* error = nullptr);
  // All or nothing: when one key fails, no value is set. The values are
  // taken, not copied, when the caller gives them up.
  bool setValuesForKeysWithDictionary(ObjectValues values, Error* error = nullptr);

 private:
  friend class ManagedObjectContext;

  // What an object asks of the context that made it; the context's state
  // implements it and outlives its objects' need of it only as long as the
  // context lives (objects hold it weakly).
  struct ContextLink {
    virtual ~ContextLink() = default;
    virtual void objectDidChange(ManagedObject& object) = 0;
    virtual void fireFault(const ManagedObject& object) = 0;
  };

  ManagedObject(std::shared_ptr<const ManagedObjectModel> model, const EntityDescription* entity,
                ManagedObjectId objectID, std::weak_ptr<ContextLink> context);

  // Reads the values from the store the first time they are needed, for an
  // object fetched without them.
  void fireFault() const;
  bool validate(const ObjectValues& values, Error* error) const;
  void store(std::string_view key, ObjectValue value);

  std::shared_ptr<const ManagedObjectModel> model_;  // keeps entity_ alive
  const EntityDescription* entity_;
  ManagedObjectId objectID_;
  std::weak_ptr<ContextLink> context_;
  mutable ObjectValues values_;  // one entry per attribute once not a fault
  mutable bool fault_ = false;
  bool deleted_ = false;
};

}  // namespace platform
