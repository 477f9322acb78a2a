#include "qzz/qzz.h"

#include <openssl/evp.h>

#include <memory>

#include "nvwebrte/stanza_file.h"

namespace {

constexpr const char* OBFUSCATED_PREFIX = "obf:";

bool isObfuscated(const std::string& value) { return value.rfind(OBFUSCATED_PREFIX, 0) == 0; }

// Decodes the base64 after "obf:"; a value that does not decode is returned as written.
std::string reveal(const std::string& value) {
    std::string encoded = value.substr(4);
    if (encoded.empty() || encoded.size() % 4 != 0) return value;
    std::string decoded(encoded.size() / 4 * 3, '\0');
    int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                 reinterpret_cast<const unsigned char*>(encoded.data()), static_cast<int>(encoded.size()));
    if (length < 0) return value;
    std::size_t padding = encoded.size() - encoded.find_last_not_of('=') - 1;
    decoded.resize(static_cast<std::size_t>(length) - padding);
    return decoded;
}

}  // namespace

struct ZStanzaFileProperties_7_0_0::Impl {
    std::shared_ptr<const zem::StanzaFile> file;
    bool obfuscation;
};

ZStanzaFileProperties_7_0_0::ZStanzaFileProperties_7_0_0(const char* config_file, int obfuscation)
    : m_impl(new Impl{zem::loadStanzaFile(config_file ? config_file : ""), obfuscation != 0}) {}

ZStanzaFileProperties_7_0_0::~ZStanzaFileProperties_7_0_0() { delete m_impl; }

int ZStanzaFileProperties_7_0_0::getValues(const char* stanza, const char* key, ZArrayList_7_0_0& values,
                                           int flags) const {
    if (!m_impl->file || !stanza || !key) return 0;
    int added = 0;
    for (const std::string& value : m_impl->file->values(stanza, key)) {
        values.add(m_impl->obfuscation && isObfuscated(value) ? reveal(value).c_str() : value.c_str());
        ++added;
    }
    return added;
}

std::string zqz_obfuscate(const std::string& text) {
    std::string encoded(4 * ((text.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                 reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    encoded.resize(static_cast<std::size_t>(length));
    return OBFUSCATED_PREFIX + encoded;
}
