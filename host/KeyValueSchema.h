#pragma once

#include "SchemaExceptions.h"

#include <boost/shared_ptr.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>
#include <string>
#include <vector>

class KeyValueStore;

// One named key-value store of the host. Copies share the same store; each copy
// has a mutex of its own, which the reading template holds while it reads.
//
// The templates find the record's text form by argument-dependent lookup:
//   std::string wrapValue(const T&);  bool unwrapValue(const std::string&, T&);
class KeyValueSchema
{
public:
    explicit KeyValueSchema(boost::shared_ptr<KeyValueStore> store);
    KeyValueSchema(const KeyValueSchema& other);
    KeyValueSchema& operator=(const KeyValueSchema&) = delete;
    ~KeyValueSchema();

    // Stores text under key; a second insert under the same key replaces it.
    void _insert(const std::string& key, const std::string& text);
    // Every text stored under key.
    std::vector<std::string> getRawData(const std::string& key) const;
    void remove(const std::string& key);
    // The removal is committed without a sync of its own (a later durable commit carries it).
    void removeLazily(const std::string& key);
    // Makes every change so far durable.
    void flush();
    // Every key, in key order (for listing; the component never lists).
    std::vector<std::string> keys() const;

    template <class T> void insert(const std::string& key, const T& value) { _insert(key, wrapValue(value)); }

    template <class T> void get(const std::string& key, T& value)
    {
        boost::lock_guard<boost::mutex> lock(mutex);
        const std::vector<std::string> texts = getRawData(key);
        if (texts.size() == 1) {
            if (!unwrapValue(texts.front(), value))
                throw Schema::_type_not_match_exception(
                    ("KeyValueSchema error get() due to: Can't unwrap the serialized object: " + texts.front())
                        .c_str());
        } else if (texts.empty()) {
            throw Schema::_key_does_not_exist_exception(
                ("KeyValueSchema error get() due to: invalid key ->" + key).c_str());
        } else {
            throw Schema::_query_exception(
                ("KeyValueSchema error get() due to: there are more than one value for this key ->" + key).c_str());
        }
    }

private:
    boost::shared_ptr<KeyValueStore> store;
    boost::mutex mutex; // guards the read-and-unwrap of get()
};

class PersistentManager
{
public:
    PersistentManager() = default;
    // Opens (creating when needed) the store name within domain. Throws a
    // std::exception-derived error when the store cannot be opened.
    KeyValueSchema initLocal(const std::string& name, const std::string& domain, const std::string& reserved1,
                             const std::string& reserved2);
};
