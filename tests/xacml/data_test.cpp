// Copying the framework's attribute lists into the decision's plain lists.
#include <cstring>
#include <optional>

#include "xacml/xacml_fixture.h"

using xacml_test::Config;
using xacml_test::FileTail;

namespace {

using ::testing::HasSubstr;

// A framework attribute list filled with (name, value) entries; a null value is a null text.
class AttrList {
public:
    AttrList(std::initializer_list<std::pair<const char*, const char*>> entries) {
        azn_attrlist_create(&m_handle);
        for (const auto& [name, value] : entries) azn_attrlist_add_entry(m_handle, name, value);
    }
    ~AttrList() { azn_attrlist_delete(&m_handle); }
    azn_attrlist_h_t handle() const { return m_handle; }

private:
    azn_attrlist_h_t m_handle = 0;
};

class DataCopy : public ::testing::Test {
protected:
    ~DataCopy() override { zem_clear_failures(); }

    Config config{R"([azn-decision-info]
HTTP_HOST = header:Host
cookie = header:Cookie
cookie2 = header:Cookie
)"};
    KOVAData data;
};

TEST_F(DataCopy, AppContextTakesHeaderNamesAndCredentialsKeepTheirs) {
    // clang-format off
    AttrList context{{"AZN_EAS_POP_ATTRS_ATTRIBUTE", "pop"}, {"cookie", "c1"}, {"HTTP_HOST", "h1"},
                     {"cookie2", "c2"}, {"AZN_EAS_POP_ATTACHMENT_ATTRIBUTE", "/pop"}};
    AttrList creds{{"AZN_CRED_PRINCIPAL_NAME", "alice"}, {"AZN_CRED_GROUPS", "g1"}, {"AZN_CRED_GROUPS", "g2"},
                   {"AZN_CRED_GROUPS", "g3"}, {"AZN_CRED_QOP_INFO", nullptr}};
    EXPECT_EQ(data.loadData(creds.handle(), context.handle()), 0);
    EXPECT_EQ(data.HTTPInfo, (KOVADataList{{"header:Cookie", "c1"}, {"header:Host", "h1"}, {"header:Cookie", "c2"}}));
    EXPECT_EQ(data.creds, (KOVADataList{{"AZN_CRED_PRINCIPAL_NAME", "alice"}, {"AZN_CRED_GROUPS", "g1"},
                                        {"AZN_CRED_GROUPS", "g2"}, {"AZN_CRED_GROUPS", "g3"},
                                        {"AZN_CRED_QOP_INFO", ""}}));
    // clang-format on
}

TEST_F(DataCopy, UnreadableCountEndsOnlyThatList) {
    AttrList context{{"HTTP_HOST", "h1"}, {"cookie", "c1"}};
    AttrList creds{{"AZN_CRED_PRINCIPAL_NAME", "alice"}};
    FileTail messages(xacml_test::messagesPath());
    zem_fail_calls("azn_attrlist_name_get_num", 1, 1);
    EXPECT_EQ(data.loadData(creds.handle(), context.handle()), 0);
    EXPECT_EQ(data.HTTPInfo, (KOVADataList{{"header:Host", "h1"}}));
    EXPECT_EQ(data.creds, (KOVADataList{{"AZN_CRED_PRINCIPAL_NAME", "alice"}}));
    EXPECT_THAT(messages.text(),
                HasSubstr("QLXBA0312W   The cookie attribute could not be extracted from a credential: "
                          "API error: "));
}

TEST_F(DataCopy, UnreadableValueIsSkipped) {
    AttrList creds{{"AZN_CRED_GROUPS", "g1"}, {"AZN_CRED_GROUPS", "g2"}, {"AZN_CRED_GROUPS", "g3"}};
    FileTail messages(xacml_test::messagesPath());
    zem_fail_calls("azn_attrlist_get_entry_string_value", 1, 1);
    data.createData(creds.handle(), data.creds, false);
    EXPECT_EQ(data.creds, (KOVADataList{{"AZN_CRED_GROUPS", "g1"}, {"AZN_CRED_GROUPS", "g3"}}));
    EXPECT_THAT(messages.text(), HasSubstr("QLXBA0312W"));
}

// The list keeps its own copies of the texts in blocks that never move: texts of every size, read back
// whole and NUL-ended after the list grew, after a copy outlived its source, and after a move.
TEST(DataList, TextsStayWholeAcrossGrowthCopiesAndMoves) {
    std::vector<std::string> values;
    for (std::size_t size : {0, 1, 15, 16, 494, 495, 496, 1025, 5000, 3, 70000}) {
        values.push_back(std::string(size, static_cast<char>('a' + values.size())));
    }
    auto expectWhole = [&](const KOVADataList& list) {
        ASSERT_EQ(list.size(), 2 * values.size());
        for (std::size_t i = 0; i < values.size(); ++i) {
            const KOVADataItem& item = list[2 * i];
            EXPECT_EQ(item.first, "name-" + std::to_string(i));
            EXPECT_EQ(item.second, values[i]);
            EXPECT_EQ(std::strlen(item.second.c_str()), values[i].size());
            EXPECT_EQ(list[2 * i + 1].second, "short");
        }
    };
    std::optional<KOVADataList> source(std::in_place);
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::string name = "name-" + std::to_string(i);
        source->emplace_back(name, values[i]);
        name.assign(name.size(), 'x');  // the list must not still point at the caller's text
        source->emplace_back(name, "short");
    }
    expectWhole(*source);
    KOVADataList copy(*source);
    KOVADataList assigned;
    assigned = *source;
    source.reset();
    expectWhole(copy);
    expectWhole(assigned);
    KOVADataList moved(std::move(copy));
    expectWhole(moved);
    assigned = std::move(moved);
    expectWhole(assigned);
}

}  // namespace
