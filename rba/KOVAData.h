// One decision's copy of the framework's attribute lists as plain (name, value) lists.
#pragma once

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "qzauthzn/azn.h"

// A text owned by a KOVADataList; its bytes are followed by a NUL, so it also serves as a C text.
class KOVAText : public std::string_view {
public:
    constexpr KOVAText() : std::string_view("") {}
    // Views of texts that end in a NUL already; a list copies them when they go into it.
    constexpr KOVAText(const char* text) : std::string_view(text) {}
    KOVAText(const std::string& text) : std::string_view(text) {}
    const char* c_str() const { return data(); }

private:
    friend class KOVATextStore;
    constexpr KOVAText(const char* text, std::size_t size) : std::string_view(text, size) {}
};

struct KOVADataItem {
    KOVAText first;   // name
    KOVAText second;  // value
    bool operator==(const KOVADataItem& other) const = default;
};

// Texts copied into blocks that never move, so that the views handed out stay valid while the store
// lives: one heap block for a typical decision's texts instead of one per text longer than a short string.
class KOVATextStore {
public:
    KOVATextStore() = default;
    KOVATextStore(KOVATextStore&& other) noexcept;
    KOVATextStore& operator=(KOVATextStore&& other) noexcept;
    KOVATextStore(const KOVATextStore&) = delete;
    KOVATextStore& operator=(const KOVATextStore&) = delete;
    ~KOVATextStore();

    // Inline: a decision copies every name and value it reads through here, nearly always into room left.
    KOVAText copy(std::string_view text) {
        if (text.size() >= m_left) addBlock(text.size() + 1);
        char* start = m_free;
        std::memcpy(start, text.data(), text.size());
        start[text.size()] = '\0';
        m_free += text.size() + 1;
        m_left -= text.size() + 1;
        return KOVAText(start, text.size());
    }

private:
    struct Block {
        Block* previous;
        std::size_t capacity;
    };
    void addBlock(std::size_t atLeast);
    void release() noexcept;

    Block* m_last = nullptr;
    char* m_free = nullptr;
    std::size_t m_left = 0;
};

// (name, value) items in insertion order; the list owns the texts of its items.
// Contiguous: a decision may carry tens of thousands of items, read in order once each.
class KOVADataList {
public:
    using const_iterator = std::vector<KOVADataItem>::const_iterator;

    KOVADataList() = default;
    KOVADataList(std::initializer_list<KOVADataItem> items) { append(items.begin(), items.end()); }
    KOVADataList(const KOVADataList& other) { append(other.begin(), other.end()); }
    KOVADataList(KOVADataList&&) noexcept = default;
    KOVADataList& operator=(const KOVADataList& other);
    KOVADataList& operator=(KOVADataList&&) noexcept = default;
    // Leaves its item array to the thread's next list.
    ~KOVADataList();
    bool operator==(const KOVADataList& other) const { return m_items == other.m_items; }

    const KOVADataItem& emplace_back(std::string_view name, std::string_view value) {
        return emplaceValue(m_texts.copy(name), value);
    }
    void reserve(std::size_t count);
    template <class Iterator>
    void append(Iterator first, Iterator last) {
        for (; first != last; ++first) emplace_back(first->first, first->second);
    }

    const_iterator begin() const { return m_items.begin(); }
    const_iterator end() const { return m_items.end(); }
    std::size_t size() const { return m_items.size(); }
    bool empty() const { return m_items.empty(); }
    const KOVADataItem& operator[](std::size_t index) const { return m_items[index]; }

private:
    friend class KOVAData;
    // The values of one name share one copy of the name.
    const KOVADataItem& emplaceValue(KOVAText name, std::string_view value) {
        return m_items.emplace_back(KOVADataItem{name, m_texts.copy(value)});
    }

    std::vector<KOVADataItem> m_items;
    KOVATextStore m_texts;
};

class KOVAData {
public:
    // The application context, names mapped to configured header names; raises
    // HeaderNameMissingException for a name without a mapping.
    KOVADataList HTTPInfo;
    // The credential attributes, names as the framework gives them.
    KOVADataList creds;

    int loadData(azn_attrlist_h_t credentials, azn_attrlist_h_t app_context);
    void createData(azn_attrlist_h_t list, KOVADataList& target, bool mapNames);
};
