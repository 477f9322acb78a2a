// The framework's handle table and the objects behind handles (internal to the host library).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

// Hidden: nothing outside the library may stand in for these, so calls among them are direct and inlined,
// which counts on every framework call a decision makes.
#pragma GCC visibility push(hidden)

namespace zem {

// A text in a list's text block: where it starts there and how long it is (a NUL follows it).
struct TextRef {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
};

struct AttrValue {
    int type;      // AZN_TYPE_STRING or AZN_TYPE_ULONG
    bool isNull;   // a string value given as a null text
    TextRef text;  // string values only
    unsigned long number;
};

// An entry keeps its first value inline, so the usual single-valued entry costs no heap block of its own.
struct AttrEntry {
    TextRef name;
    bool erased = false;
    AttrValue first;
    std::vector<AttrValue> more;

    std::size_t count() const { return 1 + more.size(); }
    const AttrValue& value(std::size_t index) const { return index == 0 ? first : more[index - 1]; }
};

// Entries in insertion order, their names and texts in one text block and an open-addressing index by
// name beside them: building, copying, reading and freeing a list of twenty thousand entries touches a
// few contiguous blocks, and finding an entry costs the same for the first and the last name.
// Every change either completes or, when memory runs out (std::bad_alloc, or std::length_error past
// 4 GiB of text), leaves the list as it was.
class AttrStorage {
public:
    AttrStorage() = default;
    AttrStorage(const AttrStorage&) = default;
    AttrStorage& operator=(const AttrStorage&) = delete;
    AttrStorage& operator=(AttrStorage&&) noexcept = default;

    // The entry of that name, or null. `hint` is where the entry found last was: the entries there and after it
    // are tried before the index, as a reader going through a list by its names asks for them in order; it is
    // set to where this one is.
    const AttrEntry* find(const char* name, std::size_t& hint) const;
    // Appends a value to the entry of that name, or a new entry holding it. `valueText` is the string
    // value's text: null for a number and for a null string value.
    void add(const char* name, const AttrValue& value, const char* valueText);
    bool erase(const char* name);

    std::size_t size() const { return m_live; }
    // Calls visit(entry) for each entry in insertion order.
    template <class Visit>
    void forEach(Visit&& visit) const {
        for (const AttrEntry& entry : m_entries)
            if (!entry.erased) visit(entry);
    }
    const char* text(TextRef ref) const { return m_texts.data() + ref.offset; }

private:
    static constexpr std::size_t NONE = static_cast<std::size_t>(-1);

    std::size_t positionOf(std::string_view name) const;
    std::size_t positionOf(std::string_view name, std::size_t hash) const;
    bool holdsAt(std::size_t position, const char* name) const;
    TextRef appendText(std::string_view chars);
    void reserveText(std::size_t length);
    void reserveIndex(std::size_t entries);
    void reindex(std::size_t slotCount);
    void rebuildWithout(std::size_t position);

    std::vector<AttrEntry> m_entries;    // erased entries stay until they outnumber the others
    std::vector<char> m_texts;           // names and string values, each followed by a NUL
    std::vector<std::uint32_t> m_slots;  // position + 1 of an entry in m_entries, 0 for an empty slot
    std::size_t m_live = 0;
};

// An attribute list's entries, shared between copies until one of them changes (credentials and the
// lists taken from them share one storage; a decision only reads its list, so taking it copies nothing).
// A storage that has once been shared is never changed again: a holder that changes its list first
// takes a copy of its own, so reading a shared storage from several threads at once is safe.
class AttrEntries {
public:
    AttrEntries() = default;
    AttrEntries(const AttrEntries& other) : m_storage(other.share()) {}
    AttrEntries& operator=(const AttrEntries& other) {
        if (this == &other) return *this;
        m_storage = other.share();
        m_sole.store(false, std::memory_order_relaxed);
        return *this;
    }

    const AttrEntry* find(const char* name) const {
        if (!m_storage) return nullptr;
        std::size_t hint = m_lastFound.load(std::memory_order_relaxed);
        const AttrEntry* entry = m_storage->find(name, hint);
        m_lastFound.store(hint, std::memory_order_relaxed);
        return entry;
    }
    void add(const char* name, const AttrValue& value, const char* valueText) { owned().add(name, value, valueText); }
    bool erase(const char* name) { return find(name) && owned().erase(name); }
    std::size_t size() const { return m_storage ? m_storage->size() : 0; }
    template <class Visit>
    void forEach(Visit&& visit) const {
        if (m_storage) m_storage->forEach(std::forward<Visit>(visit));
    }
    const char* text(TextRef ref) const { return m_storage->text(ref); }

private:
    AttrStorage& owned();
    std::shared_ptr<AttrStorage> share() const {
        m_sole.store(false, std::memory_order_relaxed);
        return m_storage;
    }

    std::shared_ptr<AttrStorage> m_storage;
    // Whether this holder made its storage and never handed it out. Atomic because two threads may copy
    // the same credentials at once.
    mutable std::atomic<bool> m_sole{false};
    // Where the entry found last was; only ever a hint, checked before use. Atomic because two threads may
    // read the same credentials at once.
    mutable std::atomic<std::size_t> m_lastFound{0};
};

struct HandleObject {
    enum Kind { ATTRLIST, CREDS } kind;
    AttrEntries entries;  // attribute list entries, or the credentials' subject attributes
};

// The live handles of one shard and their objects: open addressing with linear probing, at most half the
// slots in use, no heap block per handle. A handle's low SHARD_BITS name its shard and the bits above them
// count up within the shard, so the number without its shard bits picks the slot.
inline constexpr unsigned SHARD_BITS = 4;

class HandleSlots {
public:
    HandleObject* find(unsigned long handle) const {
        if (m_slots.empty()) return nullptr;
        const Slot& slot = m_slots[slotOf(handle)];
        return slot.handle == handle ? slot.object : nullptr;
    }
    // Raises std::bad_alloc, leaving the slots as they were, when they cannot grow.
    void add(unsigned long handle, HandleObject* object);
    // The object that was behind the handle, or null.
    HandleObject* remove(unsigned long handle);

private:
    struct Slot {
        unsigned long handle = 0;  // 0: empty (no handle has that number)
        HandleObject* object = nullptr;
    };
    std::size_t homeOf(unsigned long handle) const { return (handle >> SHARD_BITS) & (m_slots.size() - 1); }
    // The slot holding the handle, or the empty one where its probe ends.
    std::size_t slotOf(unsigned long handle) const {
        std::size_t mask = m_slots.size() - 1;
        std::size_t slot = homeOf(handle);
        while (m_slots[slot].handle != 0 && m_slots[slot].handle != handle) slot = (slot + 1) & mask;
        return slot;
    }
    void grow();

    std::vector<Slot> m_slots;
    std::size_t m_count = 0;
};

// A lock for sections of a few instructions: taking and releasing it is one atomic exchange and one store,
// where a mutex costs several times that. A thread that finds it taken yields until it is free.
class ShardLock {
public:
    void lock() noexcept {
        while (m_taken.exchange(true, std::memory_order_acquire))
            while (m_taken.load(std::memory_order_relaxed)) std::this_thread::yield();
    }
    void unlock() noexcept { m_taken.store(false, std::memory_order_release); }

private:
    std::atomic<bool> m_taken{false};
};

// Process-wide registry of live handles, in shards by handle number, each with its own lock on its own
// cache line. A thread makes its handles in a shard of its own (threads beyond the shard count share), so
// request threads that make and look up their own lists neither contend for a lock nor pass its cache
// line between processors. A lookup holds
// the lock for a few instructions; the object behind a handle belongs to whoever holds the handle (a
// decision's list is used by one thread at a time).
class HandleTable {
public:
    static HandleTable& instance();
    unsigned long add(HandleObject* object);
    HandleObject* find(unsigned long handle);  // of either kind
    HandleObject* find(unsigned long handle, HandleObject::Kind kind);
    HandleObject* remove(unsigned long handle, HandleObject::Kind kind);

private:
    static constexpr unsigned long SHARD_COUNT = 1UL << SHARD_BITS;
    struct alignas(64) Shard {
        ShardLock lock;
        unsigned long serial = 0x1000;  // of the shard's last handle; never reused
        HandleSlots objects;
    };

    Shard& shardOf(unsigned long handle) { return m_shards[handle % SHARD_COUNT]; }

    static unsigned long homeShard();

    std::array<Shard, SHARD_COUNT> m_shards;
    std::atomic<unsigned long> m_threadsSeen{0};
};

}  // namespace zem

#pragma GCC visibility pop
