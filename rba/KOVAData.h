// One decision's copy of the framework's attribute lists as plain (name, value) lists.
#pragma once

#include <list>
#include <string>
#include <utility>

#include "qzauthzn/azn.h"

typedef std::pair<std::string, std::string> KOVADataItem;
typedef std::list<KOVADataItem> KOVADataList;

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
