#include "rba/KOVAData.h"

#include <string_view>

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

}  // namespace

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
        const char* name = *cursor;
        KOVA_TRACE(9, "azn_attr_name = %s", name);
        if (isPOPAttribute(name)) continue;

        unsigned int count = 0;
        azn_status_t status = azn_attrlist_name_get_num(list, name, &count);
        if (status != 0) {
            reportUnreadable(name, status);
            KOVA_EXIT_STATUS(traceName, azn_error_major(status));
            return;
        }
        const std::string* headerName = nullptr;  // looked up at the first value read
        for (unsigned int index = 0; index < count; ++index) {
            FrameworkText value;
            status = azn_attrlist_get_entry_string_value(list, name, index, &value.text);
            if (status != 0) {
                reportUnreadable(name, status);
                continue;
            }
            const char* text = value.text ? value.text : "";
            if (mapNames && !headerName) headerName = &kova_config->getHeaderName(name);
            const KOVADataItem& item =
                mapNames ? target.emplace_back(*headerName, text) : target.emplace_back(name, text);
            KOVA_TRACE(9, "Just pushed back data item named %s with value %s:", item.first.c_str(),
                       item.second.c_str());
        }
    }
    KOVA_EXIT_STATUS(traceName, 0);
}
