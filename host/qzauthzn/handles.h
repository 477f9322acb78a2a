// The framework's handle table and the objects behind handles (internal to the host library).
#pragma once

#include <list>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zem {

struct AttrValue {
    int type;           // AZN_TYPE_STRING or AZN_TYPE_ULONG
    bool isNull;        // a string value given as a null text
    std::string text;
    unsigned long number;
};

struct AttrEntry {
    std::string name;
    std::vector<AttrValue> values;
};

// Entries in insertion order with an index by name beside them, so that finding an entry costs the
// same for the first and the twenty-thousandth name: reading a whole list stays linear.
class AttrEntries {
public:
    AttrEntries() = default;
    AttrEntries(const AttrEntries& other) : m_entries(other.m_entries) { reindex(); }
    AttrEntries& operator=(const AttrEntries& other);

    AttrEntry* find(const char* name);
    // The entry of that name, appended when there is none yet.
    AttrEntry& findOrAdd(const char* name);
    bool erase(const char* name);
    const std::list<AttrEntry>& inOrder() const { return m_entries; }
    std::size_t size() const { return m_entries.size(); }

private:
    void reindex();

    std::list<AttrEntry> m_entries;
    // Keys view the names inside m_entries, whose nodes never move.
    std::unordered_map<std::string_view, std::list<AttrEntry>::iterator> m_index;
};

struct HandleObject {
    enum Kind { ATTRLIST, CREDS } kind;
    AttrEntries entries;   // attribute list entries, or the credentials' subject attributes
};

// Process-wide registry of live handles. Lookups take a shared lock; the object behind a handle
// belongs to whoever holds the handle (a decision's list is used by one thread at a time).
class HandleTable {
public:
    static HandleTable& instance();
    unsigned long add(HandleObject* object);
    HandleObject* find(unsigned long handle, HandleObject::Kind kind);
    HandleObject* remove(unsigned long handle, HandleObject::Kind kind);

private:
    std::shared_mutex m_mutex;
    std::unordered_map<unsigned long, HandleObject*> m_objects;
    unsigned long m_next = 0x10000;
};

}  // namespace zem
