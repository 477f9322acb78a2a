#include "qzz/qzz.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "nvwebrte/stanza_file.h"

namespace {

constexpr const char* OBFUSCATED_PREFIX = "obf:";

bool isObfuscated(const std::string& value) { return value.rfind(OBFUSCATED_PREFIX, 0) == 0; }

bool isBase64Letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// Base64 letters before the padding ('=' at the end).
std::size_t letterCount(const std::string& encoded) { return encoded.find_last_not_of('=') + 1; }  // npos + 1 == 0

// Why `encoded` is no usable base64 text, or "" when it is: whole groups of four letters, at most two
// '=' and only at the end, and at least one byte.
std::string base64Problem(const std::string& encoded) {
    if (encoded.empty()) return "nothing follows obf:";
    std::size_t letters = letterCount(encoded);
    bool wellFormed = encoded.size() % 4 == 0 && encoded.size() - letters <= 2 &&
                      std::all_of(encoded.begin(), encoded.begin() + static_cast<long>(letters), isBase64Letter);
    if (!wellFormed) return "the text after obf: is not base64";
    if (letters * 6 / 8 == 0) return "the text after obf: decodes to nothing";
    return "";
}

// Decodes the base64 after "obf:"; false with `problem` set when it cannot be used. A NUL byte is
// refused too: the value travels on as a C string and would arrive cut short.
bool reveal(const std::string& value, std::string& decoded, std::string& problem) {
    std::string encoded = value.substr(std::strlen(OBFUSCATED_PREFIX));
    problem = base64Problem(encoded);
    if (!problem.empty()) return false;
    decoded.assign(encoded.size() / 4 * 3, '\0');
    EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                    reinterpret_cast<const unsigned char*>(encoded.data()), static_cast<int>(encoded.size()));
    decoded.resize(letterCount(encoded) * 6 / 8);
    if (decoded.find('\0') == std::string::npos) return true;
    problem = "the text after obf: decodes to a NUL byte";
    return false;
}

}  // namespace

struct ZStanzaFileProperties_7_0_0::Impl {
    std::string path;
    std::shared_ptr<const zem::StanzaFile> file;
    bool obfuscation;
    std::string problem;
};

ZStanzaFileProperties_7_0_0::ZStanzaFileProperties_7_0_0(const char* config_file, int obfuscation)
    : m_impl(new Impl{config_file ? config_file : "", nullptr, obfuscation != 0, {}}) {
    m_impl->file = zem::loadStanzaFile(m_impl->path);
}

ZStanzaFileProperties_7_0_0::~ZStanzaFileProperties_7_0_0() { delete m_impl; }

int ZStanzaFileProperties_7_0_0::getValues(const char* stanza, const char* key, ZArrayList_7_0_0& values,
                                           int flags) const {
    if (!m_impl->file || !stanza || !key) return 0;
    std::vector<std::string> found = m_impl->file->values(stanza, key);
    for (std::string& value : found) {
        if (!m_impl->obfuscation || !isObfuscated(value)) continue;
        std::string decoded, why;
        if (!reveal(value, decoded, why)) {
            m_impl->problem = m_impl->path + ": [" + stanza + "] " + key + ": " + why;
            return -1;
        }
        value = decoded;
    }
    for (const std::string& value : found) values.add(value.c_str());
    return static_cast<int>(found.size());
}

const std::string& ZStanzaFileProperties_7_0_0::problem() const { return m_impl->problem; }

std::string zqz_obfuscate(const std::string& text) {
    std::string encoded(4 * ((text.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                 reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    encoded.resize(static_cast<std::size_t>(length));
    return OBFUSCATED_PREFIX + encoded;
}
