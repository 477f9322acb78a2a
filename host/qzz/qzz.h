// Utility classes: the property reader behind the plug-in's own entry loader.
#pragma once

#include <string>
#include <vector>

class ZUTF8String_7_0_0 {
public:
    ZUTF8String_7_0_0() = default;
    explicit ZUTF8String_7_0_0(const char* text) : m_text(text ? text : "") {}
    const char* getChars() const { return m_text.c_str(); }
    std::size_t getLength() const { return m_text.size(); }

private:
    std::string m_text;
};

class ZArrayList_7_0_0 {
public:
    std::size_t size() const { return m_items.size(); }
    const ZUTF8String_7_0_0& get(std::size_t index) const { return m_items[index]; }
    void add(const char* text) { m_items.emplace_back(text); }

private:
    std::vector<ZUTF8String_7_0_0> m_items;
};

class ZProperties_7_0_0 {
public:
    virtual ~ZProperties_7_0_0() = default;
    // Appends the values of `key` in [stanza] to `values`, in file order; returns how many were added.
    virtual int getValues(const char* stanza, const char* key, ZArrayList_7_0_0& values, int flags) const = 0;
};

// Status of an entry the reader refuses: an obfuscated value that is not base64 of at least one byte.
enum : unsigned int { ZQZ_S_BAD_OBFUSCATED_VALUE = 0x38ad5102 };

// A stanza file read whole at construction. With `obfuscation` non-zero a value written "obf:" followed
// by base64 comes back decoded; otherwise values come back as written.
class ZStanzaFileProperties_7_0_0 : public ZProperties_7_0_0 {
public:
    ZStanzaFileProperties_7_0_0(const char* config_file, int obfuscation);
    ~ZStanzaFileProperties_7_0_0() override;
    ZStanzaFileProperties_7_0_0(const ZStanzaFileProperties_7_0_0&) = delete;
    ZStanzaFileProperties_7_0_0& operator=(const ZStanzaFileProperties_7_0_0&) = delete;
    // -1 when an obfuscated value of the entry does not decode: nothing is added, and problem() says
    // "FILE: [stanza] key: why" (never the value itself, which may hold part of a secret).
    int getValues(const char* stanza, const char* key, ZArrayList_7_0_0& values, int flags) const override;
    // What the last refused entry was, or "".
    const std::string& problem() const;

private:
    struct Impl;
    Impl* m_impl;
};

// "obf:" + base64 of `text`: what an administrator writes for an obfuscated entry.
std::string zqz_obfuscate(const std::string& text);
