#include "qzauthzn/azn.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

#include "qzauthzn/handles.h"
#include "qzcore/c_boundary.h"
#include "qzcore/thread_spares.h"
#include "qzsvc/qzsvc.h"

const char* azn_svc_version = "azn_svc_version";
const char* azn_perminfo_stepup_level = "azn_perminfo_stepup_level";

namespace zem {

namespace {

// Room for `extra` more elements, growing geometrically so that appending stays amortised constant. The
// first block holds `first` elements: a typical list is built in one block each for entries and texts.
template <class T>
void makeRoom(std::vector<T>& items, std::size_t extra, std::size_t first) {
    if (items.capacity() - items.size() >= extra) return;
    items.reserve(std::max({items.size() + extra, 2 * items.capacity(), first}));
}
constexpr std::size_t FIRST_ENTRIES = 8, FIRST_TEXT_BYTES = 256, FIRST_MORE_VALUES = 3;

// Attribute names are short: they are read eight bytes at a time (the last eight overlapping the ones
// before), each word mixed in by a multiplication, the high bits folded into the low ones that pick a slot.
std::uint64_t wordAt(const char* at) {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

std::size_t hashOf(std::string_view name) {
    constexpr std::uint64_t MULTIPLIER = 0x9E3779B97F4A7C15ULL;
    std::uint64_t hash = name.size() * MULTIPLIER;
    auto mix = [&](std::uint64_t word) {
        hash = (hash ^ word) * MULTIPLIER;
        hash ^= hash >> 29;
    };
    const char* at = name.data();
    std::size_t left = name.size();
    if (left < sizeof(std::uint64_t)) {
        std::uint64_t word = 0;
        for (std::size_t i = 0; i < left; ++i) word = (word << 8) | static_cast<unsigned char>(at[i]);
        mix(word);
    } else {
        for (; left > sizeof(std::uint64_t); at += sizeof(std::uint64_t), left -= sizeof(std::uint64_t))
            mix(wordAt(at));
        mix(wordAt(name.data() + name.size() - sizeof(std::uint64_t)));
    }
    return static_cast<std::size_t>(hash ^ (hash >> 32));
}

// The slot where probing for `name` from its home slot ends: the one holding `matches`, or an empty one.
template <class Matches>
std::size_t probe(const std::vector<std::uint32_t>& slots, std::size_t hash, Matches&& matches) {
    std::size_t mask = slots.size() - 1;
    std::size_t slot = hash & mask;
    while (slots[slot] != 0 && !matches(slots[slot] - 1)) slot = (slot + 1) & mask;
    return slot;
}

constexpr std::size_t MAX_TEXT_BYTES = UINT32_MAX;
constexpr std::size_t MIN_SLOTS = 16;

}  // namespace

AttrStorage& AttrEntries::owned() {
    if (m_sole.load(std::memory_order_relaxed)) return *m_storage;
    // Copied whole before anything changes, so running out of memory leaves every holder as it was.
    m_storage = m_storage ? std::make_shared<AttrStorage>(*m_storage) : std::make_shared<AttrStorage>();
    m_sole.store(true, std::memory_order_relaxed);
    return *m_storage;
}

const AttrEntry* AttrStorage::find(const char* name, std::size_t& hint) const {
    std::size_t position = holdsAt(hint, name) ? hint : holdsAt(hint + 1, name) ? hint + 1 : positionOf(name);
    if (position == NONE) return nullptr;
    hint = position;
    return &m_entries[position];
}

bool AttrStorage::holdsAt(std::size_t position, const char* name) const {
    if (position >= m_entries.size()) return false;
    const AttrEntry& entry = m_entries[position];
    return !entry.erased && std::strcmp(text(entry.name), name) == 0;
}

std::size_t AttrStorage::positionOf(std::string_view name) const { return positionOf(name, hashOf(name)); }

std::size_t AttrStorage::positionOf(std::string_view name, std::size_t hash) const {
    if (m_slots.empty()) return NONE;
    std::size_t slot = probe(m_slots, hash, [&](std::size_t position) {
        const AttrEntry& entry = m_entries[position];
        return !entry.erased && std::string_view(text(entry.name), entry.name.length) == name;
    });
    return m_slots[slot] == 0 ? NONE : m_slots[slot] - 1;
}

void AttrStorage::add(const char* name, const AttrValue& value, const char* valueText) {
    std::string_view valueChars = valueText ? std::string_view(valueText) : std::string_view();
    std::size_t valueBytes = valueText ? valueChars.size() + 1 : 0;
    AttrValue added = value;
    std::string_view nameText(name);
    std::size_t hash = hashOf(nameText);
    std::size_t position = positionOf(nameText, hash);
    if (position != NONE) {
        AttrEntry& entry = m_entries[position];
        reserveText(valueBytes);
        makeRoom(entry.more, 1, FIRST_MORE_VALUES);
        if (valueText) added.text = appendText(valueChars);
        entry.more.push_back(added);
        return;
    }
    reserveText(nameText.size() + 1 + valueBytes);
    makeRoom(m_entries, 1, FIRST_ENTRIES);
    reserveIndex(m_entries.size() + 1);
    TextRef nameRef = appendText(nameText);
    if (valueText) added.text = appendText(valueChars);
    m_slots[probe(m_slots, hash, [](std::size_t) { return false; })] = static_cast<std::uint32_t>(m_entries.size() + 1);
    m_entries.push_back(AttrEntry{nameRef, false, added, {}});
    ++m_live;
}

bool AttrStorage::erase(const char* name) {
    std::size_t position = positionOf(name);
    if (position == NONE) return false;
    // Erased entries stay in place until they would outnumber the others; then the list is rebuilt.
    if (m_entries.size() - m_live + 1 > m_live - 1) {
        rebuildWithout(position);
    } else {
        m_entries[position].erased = true;
        --m_live;
    }
    return true;
}

void AttrStorage::rebuildWithout(std::size_t position) {
    AttrStorage rebuilt;
    rebuilt.m_entries.reserve(m_live - 1);
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const AttrEntry& entry = m_entries[i];
        if (entry.erased || i == position) continue;
        for (std::size_t index = 0; index < entry.count(); ++index) {
            const AttrValue& value = entry.value(index);
            bool hasText = value.type == AZN_TYPE_STRING && !value.isNull;
            rebuilt.add(text(entry.name), value, hasText ? text(value.text) : nullptr);
        }
    }
    *this = std::move(rebuilt);
}

TextRef AttrStorage::appendText(std::string_view chars) {
    TextRef ref{static_cast<std::uint32_t>(m_texts.size()), static_cast<std::uint32_t>(chars.size())};
    m_texts.insert(m_texts.end(), chars.begin(), chars.end());
    m_texts.push_back('\0');
    return ref;
}

void AttrStorage::reserveText(std::size_t length) {
    if (length > MAX_TEXT_BYTES - m_texts.size()) throw std::length_error("attribute list texts past 4 GiB");
    makeRoom(m_texts, length, FIRST_TEXT_BYTES);
}

// At most half the slots in use, so that probing stays short.
void AttrStorage::reserveIndex(std::size_t entries) {
    if (entries >= UINT32_MAX / 2) throw std::length_error("attribute list entries past 2^31");
    std::size_t slotCount = std::max(m_slots.size(), MIN_SLOTS);
    while (slotCount < 2 * entries) slotCount *= 2;
    if (slotCount != m_slots.size()) reindex(slotCount);
}

void AttrStorage::reindex(std::size_t slotCount) {
    std::vector<std::uint32_t> slots(slotCount, 0);
    for (std::size_t position = 0; position < m_entries.size(); ++position) {
        const AttrEntry& entry = m_entries[position];
        if (entry.erased) continue;
        std::string_view name(text(entry.name), entry.name.length);
        slots[probe(slots, hashOf(name), [](std::size_t) { return false; })] = static_cast<std::uint32_t>(position + 1);
    }
    m_slots = std::move(slots);
}

void HandleSlots::add(unsigned long handle, HandleObject* object) {
    if (2 * (m_count + 1) > m_slots.size()) grow();
    m_slots[slotOf(handle)] = Slot{handle, object};
    ++m_count;
}

// Each handle after the removed one in its run of used slots moves back into the hole unless its home
// lies between the hole and where it stands, so that no probe stops early at the hole.
HandleObject* HandleSlots::remove(unsigned long handle) {
    if (m_slots.empty() || handle == 0) return nullptr;
    std::size_t hole = slotOf(handle);
    if (m_slots[hole].handle != handle) return nullptr;
    HandleObject* object = m_slots[hole].object;
    std::size_t mask = m_slots.size() - 1;
    for (std::size_t next = (hole + 1) & mask; m_slots[next].handle != 0; next = (next + 1) & mask) {
        if (((next - homeOf(m_slots[next].handle)) & mask) >= ((next - hole) & mask)) {
            m_slots[hole] = m_slots[next];
            hole = next;
        }
    }
    m_slots[hole] = Slot{};
    --m_count;
    return object;
}

void HandleSlots::grow() {
    std::vector<Slot> old(std::max(m_slots.size() * 2, MIN_SLOTS));
    old.swap(m_slots);
    for (const Slot& slot : old)
        if (slot.handle != 0) m_slots[slotOf(slot.handle)] = slot;
}

namespace {
// Constant-initialized: no guard to check on every call.
constinit HandleTable g_handleTable;
}  // namespace

HandleTable& HandleTable::instance() { return g_handleTable; }

unsigned long HandleTable::homeShard() {
    static thread_local const unsigned long shard =
        g_handleTable.m_threadsSeen.fetch_add(1, std::memory_order_relaxed) % SHARD_COUNT;
    return shard;
}

unsigned long HandleTable::add(HandleObject* object) {
    unsigned long shardIndex = homeShard();
    Shard& shard = m_shards[shardIndex];
    std::lock_guard guard(shard.lock);
    unsigned long handle = (shard.serial + 1) << SHARD_BITS | shardIndex;
    shard.objects.add(handle, object);
    ++shard.serial;
    return handle;
}

HandleObject* HandleTable::find(unsigned long handle) {
    Shard& shard = shardOf(handle);
    std::lock_guard guard(shard.lock);
    return shard.objects.find(handle);
}

// An object's kind never changes while it lives.
HandleObject* HandleTable::find(unsigned long handle, HandleObject::Kind kind) {
    HandleObject* object = find(handle);
    return object && object->kind == kind ? object : nullptr;
}

HandleObject* HandleTable::remove(unsigned long handle, HandleObject::Kind kind) {
    Shard& shard = shardOf(handle);
    std::lock_guard guard(shard.lock);
    HandleObject* object = shard.objects.find(handle);
    if (!object || object->kind != kind) return nullptr;
    return shard.objects.remove(handle);
}

}  // namespace zem

using zem::AttrEntry;
using zem::AttrValue;
using zem::HandleObject;
using zem::HandleTable;

namespace {

// ---- fault injection (per thread) -------------------------------------------------------------------
struct Fault {
    int skip;
    int count;
};

// Faults armed on any thread, so that every call on a thread without one costs a single load.
std::atomic<long> g_armedFaults{0};

// The calling thread's armed faults by operation; a thread that ends with faults still armed disarms them.
class ThreadFaults {
public:
    ~ThreadFaults() { clear(); }
    bool empty() const { return m_faults.empty(); }
    void arm(const char* operation, Fault fault) {
        auto [it, added] = m_faults.insert_or_assign(std::string(operation), fault);
        if (added) g_armedFaults.fetch_add(1, std::memory_order_relaxed);
    }
    bool fire(const char* operation) {
        auto it = m_faults.find(operation);
        if (it == m_faults.end()) return false;
        if (it->second.skip > 0) {
            --it->second.skip;
            return false;
        }
        if (--it->second.count == 0) {
            m_faults.erase(it);
            g_armedFaults.fetch_sub(1, std::memory_order_relaxed);
        }
        return true;
    }
    void clear() {
        g_armedFaults.fetch_sub(static_cast<long>(m_faults.size()), std::memory_order_relaxed);
        m_faults.clear();
    }

private:
    std::map<std::string, Fault, std::less<>> m_faults;
};
thread_local ThreadFaults t_faults;

[[gnu::noinline]] bool armedFailure(const char* operation) { return !t_faults.empty() && t_faults.fire(operation); }

// Inlined into every entry point: a call with no fault armed anywhere costs one load.
inline bool injectedFailure(const char* operation) {
    return g_armedFaults.load(std::memory_order_relaxed) != 0 && armedFailure(operation);
}

#define ZEM_INJECT(operation) \
    if (injectedFailure(operation)) return azn_util_errcode(AZN_S_FAILURE, 0)

// ---- blocks handed out ----------------------------------------------------------------------------
// The block of the last text (or name array) a thread released, handed out again for the next one that fits
// in it: a reader going through a list value by value, releasing each before asking for the next, then copies
// every value into one block instead of allocating and freeing one per value, and a reader that takes a
// list's names after releasing another list's reuses their block. Blocks past MAX_SPARE_BYTES are freed.
// Every block comes from malloc, so a caller that frees one itself frees it rightly.
class SpareBlock {
public:
    SpareBlock() = default;
    SpareBlock(const SpareBlock&) = delete;
    SpareBlock& operator=(const SpareBlock&) = delete;
    // A release during the thread's exit, after this is gone, frees the block at once.
    ~SpareBlock() {
        free(std::exchange(m_block, nullptr));
        m_size = 0;
        m_closed = true;
    }

    // A block of at least `bytes`; null when memory runs out.
    void* get(std::size_t bytes) {
        if (bytes > m_size) return malloc(bytes);
        m_size = 0;
        return std::exchange(m_block, nullptr);
    }
    void release(void* block) {
        std::size_t size = block ? malloc_usable_size(block) : 0;
        if (m_closed || size <= m_size || size > MAX_SPARE_BYTES) {
            free(block);
            return;
        }
        free(std::exchange(m_block, block));
        m_size = size;
    }

private:
    static constexpr std::size_t MAX_SPARE_BYTES = 4096;
    void* m_block = nullptr;
    std::size_t m_size = 0;  // usable bytes of m_block
    bool m_closed = false;
};
thread_local SpareBlock t_spareText, t_spareNames;

// A copy of `text` in a block the caller releases with azn_release_string; null when memory runs out.
char* copyText(const char* text, std::size_t length) {
    auto* block = static_cast<char*>(t_spareText.get(length + 1));
    if (block) std::memcpy(block, text, length + 1);
    return block;
}

// ---- handle objects -------------------------------------------------------------------------------------
// The objects behind handles a thread deleted, made again for its next lists and credentials: a decision
// makes and deletes a few, which then cost no heap block. A deleted object holds no entries; one deleted on
// another thread than the one that made it joins that thread's spares. At most 8 are kept.
void deleteObject(HandleObject* object) { delete object; }
thread_local zem::ThreadSpares<HandleObject, 8, deleteObject> t_spareObjects;

HandleObject* makeObject(HandleObject::Kind kind, const zem::AttrEntries& entries) {
    HandleObject* object = t_spareObjects.take();
    if (!object) return new HandleObject{kind, entries};
    object->kind = kind;
    object->entries = entries;
    return object;
}

void releaseObject(HandleObject* object) noexcept {
    object->entries = zem::AttrEntries();  // the entries go now, not at the object's next use
    t_spareObjects.keep(object);
}

// A new handle of that kind; raises std::bad_alloc, leaving nothing behind, when memory runs out.
unsigned long addHandle(HandleObject::Kind kind, const zem::AttrEntries& entries) {
    HandleObject* object = makeObject(kind, entries);
    try {
        return HandleTable::instance().add(object);
    } catch (...) {
        releaseObject(object);
        throw;
    }
}

// ---- native policy hook -----------------------------------------------------------------------------
zem_native_decision_fn g_nativeDecision = nullptr;

HandleObject* attrlist(azn_attrlist_h_t list) { return HandleTable::instance().find(list, HandleObject::ATTRLIST); }

azn_status_t invalidList() { return azn_util_errcode(AZN_S_INVALID_ATTRLIST_HANDLE, 0); }

azn_status_t addValue(azn_attrlist_h_t list, const char* name, const AttrValue& value, const char* text) {
    HandleObject* object = attrlist(list);
    if (!object) return invalidList();
    if (!name) return azn_util_errcode(AZN_S_INVALID_STRING_VALUE, 0);
    object->entries.add(name, value, text);
    return 0;
}

// A value of a list, with the list that holds its text.
struct FoundValue {
    const zem::AttrEntries* list = nullptr;
    const AttrValue* value = nullptr;
};

// The value at `index` of entry `name`, or the status that says why there is none.
azn_status_t findValue(azn_attrlist_h_t list, const char* name, unsigned int index, FoundValue& found) {
    HandleObject* object = attrlist(list);
    if (!object) return invalidList();
    const AttrEntry* entry = name ? object->entries.find(name) : nullptr;
    if (!entry) return azn_util_errcode(AZN_S_INVALID_ATTR_NAME, 0);
    if (index >= entry->count()) return azn_util_errcode(AZN_S_ATTR_INVALID_INDEX, 0);
    found = FoundValue{&object->entries, &entry->value(index)};
    return 0;
}

// The body of an entry point that allocates: running out of memory is a general failure, never an
// exception in the caller's C code.
template <typename Body>
azn_status_t guarded(const char* entry, Body&& body) noexcept {
    return zem::cBoundary(entry, azn_util_errcode(AZN_S_FAILURE, 0), std::forward<Body>(body));
}

// A header entry of permission information reaches the proxy as one header line; a value with a line
// break would add lines of the requester's choosing (a Set-Cookie, a second response). Such a value is
// refused, so the decision that wanted it cannot complete it (a redirect then ends not permitted).
const char* const RESPONSE_HEADERS_ENTRY = "HTTP_RESPONSE_HEADERS";

bool breaksHeaderLine(const char* name, const char* value) {
    return name && value && strcmp(name, RESPONSE_HEADERS_ENTRY) == 0 && strpbrk(value, "\r\n") != nullptr;
}

azn_status_t refuseHeader(const char* value) {
    std::string shown(value, strcspn(value, "\r\n"));
    zem::cBoundary("azn_attrlist_add_entry", [&] {
        qz_msg_print_text(("framework: refused a response header holding a line break, after \"" + shown +
                           "\": the request is not served")
                              .c_str());
    });
    return azn_util_errcode(AZN_S_INVALID_STRING_VALUE, 0);
}

// The names of a list as one block: the null-terminated pointer array, then the texts it points at, so
// that handing out and releasing the names costs one heap block however many there are.
azn_string_t* nameArray(const zem::AttrEntries& entries) {
    std::size_t pointerBytes = (entries.size() + 1) * sizeof(azn_string_t), textBytes = 0;
    entries.forEach([&](const AttrEntry& entry) { textBytes += entry.name.length + 1; });
    auto* array = static_cast<azn_string_t*>(t_spareNames.get(pointerBytes + textBytes));
    if (!array) return nullptr;
    char* text = reinterpret_cast<char*>(array) + pointerBytes;
    std::size_t i = 0;
    entries.forEach([&](const AttrEntry& entry) {
        array[i++] = text;
        std::memcpy(text, entries.text(entry.name), entry.name.length + 1);
        text += entry.name.length + 1;
    });
    array[i] = nullptr;
    return array;
}

const char* majorText(unsigned int major) {
    switch (major) {
        case AZN_S_COMPLETE: return "success";
        case AZN_S_FAILURE: return "general failure";
        case AZN_S_INVALID_ATTRLIST_HANDLE: return "invalid attribute list handle";
        case AZN_S_INVALID_CREDS_HANDLE: return "invalid credentials handle";
        case AZN_S_INVALID_STRING_VALUE: return "invalid string value";
        case AZN_S_INVALID_ATTR_NAME: return "attribute name not found";
        case AZN_S_ATTR_INVALID_INDEX: return "no value at that index";
        case AZN_S_ATTR_VALUE_NOT_STRING_TYPE: return "value is not a string";
        case AZN_S_ATTR_VALUE_NOT_ULONG_TYPE: return "value is not an unsigned long";
        case AZN_S_INVALID_PERMISSION_REF: return "invalid permission reference";
        default: return "unknown error";
    }
}

}  // namespace

extern "C" {

azn_status_t azn_util_errcode(unsigned int major, unsigned int minor) {
    return (static_cast<azn_status_t>(major) << 32) | minor;
}

unsigned int azn_error_major(azn_status_t status) { return static_cast<unsigned int>(status >> 32); }

unsigned int azn_error_minor(azn_status_t status) { return static_cast<unsigned int>(status & 0xffffffffUL); }

azn_status_t azn_error_get_string(azn_status_t status, azn_string_t* text) {
    if (!text) return azn_util_errcode(AZN_S_INVALID_STRING_VALUE, 0);
    char buffer[128];
    snprintf(buffer, sizeof buffer, "%s (major %u, minor 0x%x)", majorText(azn_error_major(status)),
             azn_error_major(status), azn_error_minor(status));
    *text = strdup(buffer);
    return 0;
}

int azn_util_handle_is_valid(unsigned long handle) { return HandleTable::instance().find(handle) != nullptr; }

azn_status_t azn_attrlist_create(azn_attrlist_h_t* new_list) {
    ZEM_INJECT("azn_attrlist_create");
    if (!new_list) return invalidList();
    return guarded("azn_attrlist_create", [&] {
        *new_list = addHandle(HandleObject::ATTRLIST, zem::AttrEntries());
        return azn_status_t{0};
    });
}

azn_status_t azn_attrlist_delete(azn_attrlist_h_t* list) {
    ZEM_INJECT("azn_attrlist_delete");
    if (!list) return invalidList();
    HandleObject* object = HandleTable::instance().remove(*list, HandleObject::ATTRLIST);
    if (!object) return invalidList();
    releaseObject(object);
    *list = 0;
    return 0;
}

azn_status_t azn_attrlist_add_entry(azn_attrlist_h_t list, const char* name, const char* value) {
    ZEM_INJECT("azn_attrlist_add_entry");
    if (breaksHeaderLine(name, value)) return refuseHeader(value);
    return guarded("azn_attrlist_add_entry", [&] {
        return addValue(list, name, AttrValue{AZN_TYPE_STRING, value == nullptr, {}, 0}, value);
    });
}

azn_status_t azn_attrlist_add_entry_ulong(azn_attrlist_h_t list, const char* name, unsigned long value) {
    ZEM_INJECT("azn_attrlist_add_entry_ulong");
    return guarded("azn_attrlist_add_entry_ulong", [&] {
        return addValue(list, name, AttrValue{AZN_TYPE_ULONG, false, {}, value}, nullptr);
    });
}

azn_status_t azn_attrlist_get_names(azn_attrlist_h_t list, azn_string_t** names) {
    ZEM_INJECT("azn_attrlist_get_names");
    HandleObject* object = attrlist(list);
    if (!object) return invalidList();
    if (!names) return azn_util_errcode(AZN_S_INVALID_STRING_VALUE, 0);
    azn_string_t* array = nameArray(object->entries);
    if (!array) return azn_util_errcode(AZN_S_FAILURE, 0);
    *names = array;
    return 0;
}

azn_status_t azn_attrlist_name_get_num(azn_attrlist_h_t list, const char* name, unsigned int* count) {
    ZEM_INJECT("azn_attrlist_name_get_num");
    HandleObject* object = attrlist(list);
    if (!object) return invalidList();
    const AttrEntry* entry = name ? object->entries.find(name) : nullptr;
    if (!entry) return azn_util_errcode(AZN_S_INVALID_ATTR_NAME, 0);
    if (count) *count = static_cast<unsigned int>(entry->count());
    return 0;
}

azn_status_t azn_attrlist_get_entry_string_value(azn_attrlist_h_t list, const char* name, unsigned int index,
                                                 azn_string_t* value) {
    ZEM_INJECT("azn_attrlist_get_entry_string_value");
    FoundValue found;
    azn_status_t status = findValue(list, name, index, found);
    if (status) return status;
    if (found.value->type != AZN_TYPE_STRING) return azn_util_errcode(AZN_S_ATTR_VALUE_NOT_STRING_TYPE, 0);
    if (!value) return 0;
    if (found.value->isNull) {
        *value = nullptr;
        return 0;
    }
    *value = copyText(found.list->text(found.value->text), found.value->text.length);
    return *value ? 0 : azn_util_errcode(AZN_S_FAILURE, 0);
}

azn_status_t azn_attrlist_get_entry_ulong_value(azn_attrlist_h_t list, const char* name, unsigned int index,
                                                unsigned long* value) {
    FoundValue found;
    azn_status_t status = findValue(list, name, index, found);
    if (status) return status;
    if (found.value->type != AZN_TYPE_ULONG) return azn_util_errcode(AZN_S_ATTR_VALUE_NOT_ULONG_TYPE, 0);
    if (value) *value = found.value->number;
    return 0;
}

azn_status_t azn_attrlist_get_entry_value_type(azn_attrlist_h_t list, const char* name, unsigned int index, int* type) {
    FoundValue found;
    azn_status_t status = findValue(list, name, index, found);
    if (status) return status;
    if (type) *type = found.value->type;
    return 0;
}

azn_status_t azn_attrlist_delete_entry(azn_attrlist_h_t list, const char* name) {
    ZEM_INJECT("azn_attrlist_delete_entry");
    HandleObject* object = attrlist(list);
    if (!object) return invalidList();
    return guarded("azn_attrlist_delete_entry", [&] {
        if (!name || !object->entries.erase(name)) return azn_util_errcode(AZN_S_INVALID_ATTR_NAME, 0);
        return azn_status_t{0};
    });
}

azn_status_t azn_creds_create_from_attrlist(azn_attrlist_h_t attributes, azn_creds_h_t* creds) {
    HandleObject* source = attrlist(attributes);
    if (!source) return invalidList();
    if (!creds) return azn_util_errcode(AZN_S_INVALID_CREDS_HANDLE, 0);
    return guarded("azn_creds_create_from_attrlist", [&] {
        *creds = addHandle(HandleObject::CREDS, source->entries);
        return azn_status_t{0};
    });
}

azn_status_t azn_creds_delete(azn_creds_h_t* creds) {
    HandleObject* object = creds ? HandleTable::instance().remove(*creds, HandleObject::CREDS) : nullptr;
    if (!object) return azn_util_errcode(AZN_S_INVALID_CREDS_HANDLE, 0);
    releaseObject(object);
    *creds = 0;
    return 0;
}

azn_status_t azn_creds_get_attrlist_for_subject(azn_creds_h_t creds, unsigned int subject_index,
                                                azn_attrlist_h_t* list) {
    ZEM_INJECT("azn_creds_get_attrlist_for_subject");
    HandleObject* subject = HandleTable::instance().find(creds, HandleObject::CREDS);
    if (!subject || subject_index != 0) return azn_util_errcode(AZN_S_INVALID_CREDS_HANDLE, 0);
    HandleObject* target = list ? attrlist(*list) : nullptr;
    if (!target) return invalidList();
    return guarded("azn_creds_get_attrlist_for_subject", [&] {
        target->entries = subject->entries;
        return azn_status_t{0};
    });
}

void azn_release_string(azn_string_t* text) {
    if (!text) return;
    t_spareText.release(*text);
    *text = nullptr;
}

// The only arrays handed out are name arrays, whose texts live in the array's own block.
void azn_release_strings(azn_string_t** texts) {
    if (!texts) return;
    t_spareNames.release(*texts);
    *texts = nullptr;
}

azn_status_t azn_decision_access_allowed_ext(azn_creds_h_t creds, const char* protected_resource, const char* operation,
                                             azn_attrlist_h_t app_context, int* permission,
                                             azn_attrlist_h_t* permission_info) {
    ZEM_INJECT("azn_decision_access_allowed_ext");
    if (!permission) return azn_util_errcode(AZN_S_INVALID_PERMISSION_REF, 0);
    if (!g_nativeDecision) {
        *permission = AZN_C_INDIFFERENT;
        return 0;
    }
    return g_nativeDecision(creds, protected_resource, operation, app_context, permission, permission_info);
}

void zem_set_native_decision(zem_native_decision_fn decide) { g_nativeDecision = decide; }

void zem_fail_calls(const char* operation, int after, int count) {
    if (operation && count > 0) zem::cBoundary("zem_fail_calls", [&] { t_faults.arm(operation, Fault{after, count}); });
}

void zem_clear_failures(void) { t_faults.clear(); }

int zem_injected_failure(const char* operation) { return operation && injectedFailure(operation); }

}  // extern "C"
