#include "attr_list.h"

#include "host_error.h"

namespace zemhost {

namespace {

void check(azn_status_t status, const char* what) {
    if (status != 0) throw HostError(std::string(what) + " failed with status " + statusHex(status));
}

InfoEntry readValue(azn_attrlist_h_t list, const char* name, unsigned int index) {
    int type = 0;
    check(azn_attrlist_get_entry_value_type(list, name, index, &type), "azn_attrlist_get_entry_value_type");
    if (type == AZN_TYPE_ULONG) {
        unsigned long number = 0;
        check(azn_attrlist_get_entry_ulong_value(list, name, index, &number), "azn_attrlist_get_entry_ulong_value");
        return {name, number};
    }
    azn_string_t text = nullptr;
    check(azn_attrlist_get_entry_string_value(list, name, index, &text), "azn_attrlist_get_entry_string_value");
    InfoEntry entry{name, std::string(text ? text : "")};
    azn_release_string(&text);
    return entry;
}

// The framework's array of entry names, released on every path.
struct NameArray {
    azn_string_t* texts = nullptr;
    ~NameArray() { azn_release_strings(&texts); }
};

}  // namespace

AttrList::AttrList() { check(azn_attrlist_create(&m_handle), "azn_attrlist_create"); }

AttrList AttrList::adopt(azn_attrlist_h_t handle) { return AttrList(handle); }

AttrList::~AttrList() {
    if (m_handle && azn_util_handle_is_valid(m_handle)) azn_attrlist_delete(&m_handle);
}

AttrList::AttrList(AttrList&& other) noexcept : m_handle(other.m_handle) { other.m_handle = 0; }

void AttrList::add(const NameValues& entries) {
    for (const auto& [name, value] : entries) {
        check(azn_attrlist_add_entry(m_handle, name.c_str(), value.c_str()), "azn_attrlist_add_entry");
    }
}

std::vector<InfoEntry> AttrList::values() const {
    std::vector<InfoEntry> entries;
    if (!m_handle || !azn_util_handle_is_valid(m_handle)) return entries;
    NameArray names;
    check(azn_attrlist_get_names(m_handle, &names.texts), "azn_attrlist_get_names");
    for (azn_string_t* name = names.texts; name && *name; ++name) {
        unsigned int count = 0;
        if (azn_attrlist_name_get_num(m_handle, *name, &count) != 0) continue;
        for (unsigned int index = 0; index < count; ++index) entries.push_back(readValue(m_handle, *name, index));
    }
    return entries;
}

Creds::Creds(const NameValues& attributes) {
    AttrList list;
    list.add(attributes);
    check(azn_creds_create_from_attrlist(list.handle(), &m_handle), "azn_creds_create_from_attrlist");
}

Creds::~Creds() {
    if (m_handle) azn_creds_delete(&m_handle);
}

}  // namespace zemhost
