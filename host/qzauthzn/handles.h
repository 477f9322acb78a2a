// The framework's handle table and the objects behind handles (internal to the host library).
#pragma once

#include <shared_mutex>
#include <string>
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

struct HandleObject {
    enum Kind { ATTRLIST, CREDS } kind;
    std::vector<AttrEntry> entries;   // attribute list entries, or the credentials' subject attributes

    AttrEntry* find(const char* name);
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
