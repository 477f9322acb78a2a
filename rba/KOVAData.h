// One decision's copy of the framework's attribute lists as plain (name, value) lists.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "qzauthzn/azn.h"

typedef std::pair<std::string, std::string> KOVADataItem;
// Contiguous: a decision may carry tens of thousands of items, read in order once each.
typedef std::vector<KOVADataItem> KOVADataList;

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
