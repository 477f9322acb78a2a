#include "rba/KOVAData.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "rba/KOVAConfig.h"
#include "rba/kova_eas.h"

static constexpr const char* KOVA_UNIT = "rba/KOVAData";

namespace {

// Framework attributes that describe the protected object's POP, not the HTTP request.
bool isPOPAttribute(std::string_view name) {
    return name == "AZN_EAS_POP_ATTRS_ATTRIBUTE" || name == "AZN_EAS_POP_ATTACHMENT_ATTRIBUTE";
}

// Framework texts are released on every path, also when a missing header name raises.
struct FrameworkText {
    azn_string_t text = nullptr;
    ~FrameworkText() { azn_release_string(&text); }
};
struct FrameworkTexts {
    azn_string_t* texts = nullptr;
    ~FrameworkTexts() { azn_release_strings(&texts); }
};

std::size_t nameCount(const azn_string_t* names) {
    std::size_t count = 0;
    for (; names && names[count]; ++count) {
    }
    return count;
}

void reportUnreadable(const char* name, azn_status_t status) {
    FrameworkText error;
    azn_error_get_string(status, &error.text);
    KOVAServiceability::printMessage(QLXBA0312W, name, error.text ? error.text : "", azn_error_major(status),
                                     azn_error_minor(status));
}

// The first block holds a typical decision's list and stays small enough for the allocator's per-thread
// cache of recently freed blocks.
constexpr std::size_t FIRST_BLOCK_BYTES = 512;

// A decision copies two lists. The blocks a thread's lists release (first text blocks, item arrays up to
// MAX_SPARE_ITEMS) wait here for the thread's next lists instead of going back to the allocator.
constexpr std::size_t SPARE_COUNT = 2, MAX_SPARE_ITEMS = 256;

struct SpareBlocks {
    std::array<void*, SPARE_COUNT> texts{};
    std::array<std::vector<KOVADataItem>, SPARE_COUNT> items;
    ~SpareBlocks() {
        for (void* block : texts) ::operator delete(block);
    }
};
thread_local SpareBlocks t_spares;

}  // namespace

KOVATextStore::KOVATextStore(KOVATextStore&& other) noexcept
    : m_last(std::exchange(other.m_last, nullptr)),
      m_free(std::exchange(other.m_free, nullptr)),
      m_left(std::exchange(other.m_left, 0)) {}

KOVATextStore& KOVATextStore::operator=(KOVATextStore&& other) noexcept {
    if (this != &other) {
        release();
        m_last = std::exchange(other.m_last, nullptr);
        m_free = std::exchange(other.m_free, nullptr);
        m_left = std::exchange(other.m_left, 0);
    }
    return *this;
}

KOVATextStore::~KOVATextStore() { release(); }

void KOVATextStore::release() noexcept {
    while (m_last) {
        Block* previous = m_last->previous;
        auto spare = std::find(t_spares.texts.begin(), t_spares.texts.end(), nullptr);
        if (!previous && m_last->capacity == FIRST_BLOCK_BYTES - sizeof(Block) && spare != t_spares.texts.end()) {
            *spare = m_last;
        } else {
            ::operator delete(m_last);
        }
        m_last = previous;
    }
    m_free = nullptr;
    m_left = 0;
}

// Each block at least doubles the last one, so that a list of any length costs few blocks.
void KOVATextStore::addBlock(std::size_t atLeast) {
    std::size_t capacity = std::max(atLeast, m_last ? 2 * m_last->capacity : FIRST_BLOCK_BYTES - sizeof(Block));
    void* spare = nullptr;
    if (capacity == FIRST_BLOCK_BYTES - sizeof(Block)) {
        auto lent = std::find_if(t_spares.texts.begin(), t_spares.texts.end(), [](void* text) { return text; });
        if (lent != t_spares.texts.end()) spare = std::exchange(*lent, nullptr);
    }
    Block* block = static_cast<Block*>(spare ? spare : ::operator new(sizeof(Block) + capacity));
    *block = Block{m_last, capacity};
    m_last = block;
    m_free = reinterpret_cast<char*>(block + 1);
    m_left = capacity;
}

KOVADataList::~KOVADataList() {
    if (m_items.capacity() == 0 || m_items.capacity() > MAX_SPARE_ITEMS) return;
    for (std::vector<KOVADataItem>& spare : t_spares.items) {
        if (spare.capacity() == 0) {
            m_items.clear();
            spare.swap(m_items);
            return;
        }
    }
}

// The smallest spare array that holds `count` items: a decision's two lists differ in size, so the larger
// array is left for the larger list, which would otherwise allocate a new one every decision.
void KOVADataList::reserve(std::size_t count) {
    if (m_items.capacity() == 0) {
        std::vector<KOVADataItem>* fit = nullptr;
        for (std::vector<KOVADataItem>& spare : t_spares.items) {
            if (spare.capacity() >= count && (!fit || spare.capacity() < fit->capacity())) fit = &spare;
        }
        if (fit) m_items.swap(*fit);
    }
    m_items.reserve(count);
}

KOVADataList& KOVADataList::operator=(const KOVADataList& other) {
    if (this != &other) *this = KOVADataList(other);
    return *this;
}

int KOVAData::loadData(azn_attrlist_h_t credentials, azn_attrlist_h_t app_context) {
    static const char* const name = "KOVAData::loadData";
    KOVA_ENTER(name);
    createData(app_context, HTTPInfo, true);
    createData(credentials, creds, false);
    KOVA_EXIT_STATUS(name, 0);
    return 0;
}

void KOVAData::createData(azn_attrlist_h_t list, KOVADataList& target, bool mapNames) {
    static const char* const traceName = "KOVAData::createData";
    KOVA_ENTER(traceName);
    FrameworkTexts names;
    azn_attrlist_get_names(list, &names.texts);
    target.reserve(target.size() + nameCount(names.texts));

    for (azn_string_t* cursor = names.texts; cursor && *cursor; ++cursor) {
        const KOVAText name = *cursor;  // measured once for the checks and the copy
        KOVA_TRACE(9, "azn_attr_name = %s", name.c_str());
        if (isPOPAttribute(name)) continue;

        unsigned int count = 0;
        azn_status_t status = azn_attrlist_name_get_num(list, name.c_str(), &count);
        if (status != 0) {
            reportUnreadable(name.c_str(), status);
            KOVA_EXIT_STATUS(traceName, azn_error_major(status));
            return;
        }
        KOVAText storedName;  // copied, after a header-name lookup, at the first value read
        bool named = false;
        for (unsigned int index = 0; index < count; ++index) {
            FrameworkText value;
            status = azn_attrlist_get_entry_string_value(list, name.c_str(), index, &value.text);
            if (status != 0) {
                reportUnreadable(name.c_str(), status);
                continue;
            }
            if (!named) {
                named = true;
                std::string_view storedText = mapNames ? kova_config->getHeaderName(name) : name;
                storedName = target.m_texts.copy(storedText);
            }
            const KOVADataItem& item = target.emplaceValue(storedName, value.text ? value.text : "");
            KOVA_TRACE(9, "Just pushed back data item named %s with value %s:", item.first.c_str(),
                       item.second.c_str());
        }
    }
    KOVA_EXIT_STATUS(traceName, 0);
}
