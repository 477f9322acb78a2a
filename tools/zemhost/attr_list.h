// Owned framework handles for one decision: attribute lists and credentials, released on destruction.
#pragma once

#include <vector>

#include "decision.h"

namespace zemhost {

class AttrList {
public:
    // A new, empty list.
    AttrList();
    // Takes over a handle the plug-in filled in (0 or an invalid handle is allowed).
    static AttrList adopt(azn_attrlist_h_t handle);
    ~AttrList();
    AttrList(AttrList&& other) noexcept;
    AttrList(const AttrList&) = delete;
    AttrList& operator=(const AttrList&) = delete;
    AttrList& operator=(AttrList&&) = delete;

    void add(const NameValues& entries);
    azn_attrlist_h_t handle() const { return m_handle; }
    // Every value of every entry in list order; text and unsigned-long values keep their kind.
    std::vector<InfoEntry> values() const;

private:
    explicit AttrList(azn_attrlist_h_t handle) : m_handle(handle) {}
    azn_attrlist_h_t m_handle = 0;
};

class Creds {
public:
    explicit Creds(const NameValues& attributes);
    ~Creds();
    Creds(const Creds&) = delete;
    Creds& operator=(const Creds&) = delete;
    azn_creds_h_t handle() const { return m_handle; }

private:
    azn_creds_h_t m_handle = 0;
};

}  // namespace zemhost
