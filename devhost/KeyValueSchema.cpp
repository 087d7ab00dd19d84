#include "KeyValueSchema.h"

#include "KeyValueStore.h"
#include "StoreError.h"

KeyValueSchema::KeyValueSchema(boost::shared_ptr<KeyValueStore> store) : store(std::move(store))
{
    if (!this->store)
        throw StoreError("open", "(none)", "no store given");
}

// The copy shares the store; its mutex is its own (a mutex cannot be copied).
KeyValueSchema::KeyValueSchema(const KeyValueSchema& other) : store(other.store) {}

KeyValueSchema::~KeyValueSchema() = default;

void KeyValueSchema::_insert(const std::string& key, const std::string& text)
{
    store->insert(key, text);
}

std::vector<std::string> KeyValueSchema::getRawData(const std::string& key) const
{
    return store->get(key);
}

void KeyValueSchema::remove(const std::string& key)
{
    store->remove(key);
}

void KeyValueSchema::removeLazily(const std::string& key)
{
    store->remove(key, false);
}

void KeyValueSchema::flush()
{
    store->flush();
}

std::vector<std::string> KeyValueSchema::keys() const
{
    return store->keys();
}
