// The framework stand-in: handles, attribute lists, credentials, status words, audit sink, messages, trace.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "nvaudutl/nvaudutl.h"
#include "nvwsoap/nvwsoap.h"
#include "qzauthzn/azn.h"
#include "qzsvc/qzsvc.h"
#include "support/test_support.h"

namespace {

std::vector<std::string> names(azn_attrlist_h_t list) {
    azn_string_t* array = nullptr;
    std::vector<std::string> found;
    EXPECT_EQ(azn_attrlist_get_names(list, &array), 0u);
    for (azn_string_t* name = array; name && *name; ++name) found.emplace_back(*name);
    azn_release_strings(&array);
    return found;
}

// Every value of `name`: its text, "<null>" for a null text, "#N" for a number.
std::vector<std::string> values(azn_attrlist_h_t list, const char* name) {
    unsigned int count = 0;
    std::vector<std::string> found;
    if (azn_attrlist_name_get_num(list, name, &count) != 0) return found;
    for (unsigned int i = 0; i < count; ++i) {
        int type = 0;
        azn_attrlist_get_entry_value_type(list, name, i, &type);
        unsigned long number = 0;
        azn_string_t text = nullptr;
        if (type == AZN_TYPE_ULONG && azn_attrlist_get_entry_ulong_value(list, name, i, &number) == 0) {
            found.push_back("#" + std::to_string(number));
        } else if (azn_attrlist_get_entry_string_value(list, name, i, &text) == 0) {
            found.emplace_back(text ? text : "<null>");
            azn_release_string(&text);
        }
    }
    return found;
}

TEST(StatusWord, KeepsMajorAndMinorInSeparateHalves) {
    azn_status_t status = azn_util_errcode(28, 0);
    EXPECT_NE(status, 0u);
    EXPECT_EQ(static_cast<unsigned int>(status), 0u) << "a 32-bit truncation would read as success";
    EXPECT_EQ(azn_error_major(status), 28u);
    status = azn_util_errcode(1, 0x1005b3a6);
    EXPECT_EQ(azn_error_major(status), 1u);
    EXPECT_EQ(azn_error_minor(status), 0x1005b3a6u);
    azn_string_t text = nullptr;
    ASSERT_EQ(azn_error_get_string(azn_util_errcode(21, 0), &text), 0u);
    EXPECT_NE(std::string(text).find("not found"), std::string::npos);
    azn_release_string(&text);
}

TEST(AttributeList, NamesComeBackInInsertionOrderWithTheirValues) {
    azn_attrlist_h_t list = 0;
    ASSERT_EQ(azn_attrlist_create(&list), 0u);
    EXPECT_TRUE(azn_util_handle_is_valid(list));
    EXPECT_EQ(names(list), std::vector<std::string>{}) << "an empty list's array holds only its end";
    azn_attrlist_add_entry(list, "zeta", "z1");
    azn_attrlist_add_entry(list, "alpha", "a1");
    azn_attrlist_add_entry(list, "zeta", "z2");
    azn_attrlist_add_entry(list, "nothing", nullptr);
    azn_attrlist_add_entry_ulong(list, "HTTP_RESPONSE_CODE", 302);
    EXPECT_EQ(names(list), (std::vector<std::string>{"zeta", "alpha", "nothing", "HTTP_RESPONSE_CODE"}));

    unsigned int count = 0;
    ASSERT_EQ(azn_attrlist_name_get_num(list, "zeta", &count), 0u);
    EXPECT_EQ(count, 2u);
    azn_string_t value = nullptr;
    ASSERT_EQ(azn_attrlist_get_entry_string_value(list, "zeta", 1, &value), 0u);
    EXPECT_STREQ(value, "z2");
    azn_release_string(&value);
    ASSERT_EQ(azn_attrlist_get_entry_string_value(list, "nothing", 0, &value), 0u);
    EXPECT_EQ(value, nullptr);

    unsigned long number = 0;
    EXPECT_EQ(azn_attrlist_get_entry_ulong_value(list, "HTTP_RESPONSE_CODE", 0, &number), 0u);
    EXPECT_EQ(number, 302u);
    EXPECT_EQ(azn_error_major(azn_attrlist_get_entry_string_value(list, "HTTP_RESPONSE_CODE", 0, &value)),
              static_cast<unsigned>(AZN_S_ATTR_VALUE_NOT_STRING_TYPE));
    EXPECT_EQ(azn_error_major(azn_attrlist_get_entry_string_value(list, "absent", 0, &value)),
              static_cast<unsigned>(AZN_S_INVALID_ATTR_NAME));
    EXPECT_EQ(azn_error_major(azn_attrlist_get_entry_string_value(list, "alpha", 1, &value)),
              static_cast<unsigned>(AZN_S_ATTR_INVALID_INDEX));

    EXPECT_EQ(azn_attrlist_delete_entry(list, "zeta"), 0u);
    EXPECT_EQ(names(list), (std::vector<std::string>{"alpha", "nothing", "HTTP_RESPONSE_CODE"}));
    EXPECT_EQ(azn_attrlist_delete(&list), 0u);
    EXPECT_EQ(list, 0u);
}

// Value texts reuse the block of a text released before on the same thread: every text handed out must still be
// a copy of its own, whatever was released before it, held beside it or released on another thread.
TEST(AttributeList, ValueTextsAreSeparateCopiesWhateverWasReleasedBefore) {
    const std::string longValue(100, 'l'), hugeValue(5000, 'h');
    azn_attrlist_h_t list = 0;
    ASSERT_EQ(azn_attrlist_create(&list), 0u);
    azn_attrlist_add_entry(list, "long", longValue.c_str());
    azn_attrlist_add_entry(list, "huge", hugeValue.c_str());
    azn_attrlist_add_entry(list, "short", "ab");
    azn_attrlist_add_entry(list, "short", "");
    auto get = [&](const char* name, unsigned int index) {
        azn_string_t text = nullptr;
        EXPECT_EQ(azn_attrlist_get_entry_string_value(list, name, index, &text), 0u) << name;
        return text;
    };

    for (const char* released : {"long", "huge", "short"}) {
        SCOPED_TRACE(released);
        azn_string_t before = get(released, 0);
        azn_release_string(&before);
        azn_string_t first = get("short", 0), empty = get("short", 1), longText = get("long", 0);
        ASSERT_TRUE(first && empty && longText);
        EXPECT_STREQ(first, "ab");
        EXPECT_STREQ(empty, "");
        EXPECT_EQ(longText, longValue);
        first[0] = 'X';  // the caller's copy: changing it changes neither the list nor another text
        EXPECT_STREQ(empty, "");
        EXPECT_EQ(values(list, "short"), (std::vector<std::string>{"ab", ""}));
        for (azn_string_t* text : {&first, &empty, &longText}) azn_release_string(text);
        EXPECT_EQ(longText, nullptr);
    }

    azn_string_t fromHere = get("long", 0);
    std::thread([&] { azn_release_string(&fromHere); }).join();
    EXPECT_EQ(values(list, "huge"), std::vector<std::string>{hugeValue});
    EXPECT_EQ(values(list, "long"), std::vector<std::string>{longValue});
    azn_attrlist_delete(&list);
}

// Twenty thousand names, each given twice (the second round in reverse order), some deleted and one
// given again: an index by name must keep insertion order, values per name and deletions exact, in the
// list and in its copy through credentials.
TEST(AttributeList, LargeListsKeepInsertionOrderValuesAndDeletions) {
    constexpr int COUNT = 20000;
    auto nameOf = [](int i) { return "attr-" + std::to_string(i); };
    azn_attrlist_h_t list = 0;
    ASSERT_EQ(azn_attrlist_create(&list), 0u);
    for (int i = 0; i < COUNT; ++i)
        azn_attrlist_add_entry(list, nameOf(i).c_str(), ("first-" + std::to_string(i)).c_str());
    for (int i = COUNT - 1; i >= 0; --i)
        azn_attrlist_add_entry(list, nameOf(i).c_str(), ("second-" + std::to_string(i)).c_str());
    for (int i = 0; i < COUNT; i += 2) ASSERT_EQ(azn_attrlist_delete_entry(list, nameOf(i).c_str()), 0u);
    azn_attrlist_add_entry(list, nameOf(0).c_str(), "again");

    std::vector<std::string> expected;
    for (int i = 1; i < COUNT; i += 2) expected.push_back(nameOf(i));
    expected.push_back(nameOf(0));
    EXPECT_EQ(names(list), expected);

    azn_creds_h_t creds = 0;
    ASSERT_EQ(azn_creds_create_from_attrlist(list, &creds), 0u);
    azn_attrlist_h_t copy = 0;
    azn_attrlist_create(&copy);
    ASSERT_EQ(azn_creds_get_attrlist_for_subject(creds, 0, &copy), 0u);
    for (azn_attrlist_h_t target : {list, copy}) {
        unsigned int count = 0;
        ASSERT_EQ(azn_attrlist_name_get_num(target, nameOf(COUNT - 1).c_str(), &count), 0u);
        EXPECT_EQ(count, 2u);
        azn_string_t value = nullptr;
        ASSERT_EQ(azn_attrlist_get_entry_string_value(target, nameOf(COUNT - 1).c_str(), 1, &value), 0u);
        EXPECT_STREQ(value, ("second-" + std::to_string(COUNT - 1)).c_str());
        azn_release_string(&value);
        EXPECT_EQ(azn_attrlist_name_get_num(target, nameOf(0).c_str(), &count), 0u);
        EXPECT_EQ(count, 1u) << "a deleted name comes back as a new entry";
        EXPECT_EQ(azn_error_major(azn_attrlist_name_get_num(target, nameOf(2).c_str(), &count)),
                  static_cast<unsigned>(AZN_S_INVALID_ATTR_NAME));
    }
    EXPECT_EQ(names(copy), expected);
    EXPECT_NE(azn_creds_get_attrlist_for_subject(creds, 1, &copy), 0u) << "credentials hold one subject";
    azn_attrlist_delete(&list);
    azn_attrlist_delete(&copy);
    azn_creds_delete(&creds);
}

// The list a decision gets from credentials is its own: changing it, or the list the credentials were
// made from, changes neither the credentials nor the other. Erasing most entries (which rebuilds the
// list) keeps order, null texts and numbers.
TEST(AttributeList, CopiesThroughCredentialsStayIndependentAndSurviveErasingMost) {
    constexpr int SINGLES = 50;
    auto single = [](int i) { return "e-" + std::to_string(i); };
    azn_attrlist_h_t source = 0;
    ASSERT_EQ(azn_attrlist_create(&source), 0u);
    azn_attrlist_add_entry(source, "multi", "m0");
    for (int i = 0; i < SINGLES; ++i)
        azn_attrlist_add_entry(source, single(i).c_str(), ("v-" + std::to_string(i)).c_str());
    azn_attrlist_add_entry(source, "multi", nullptr);
    azn_attrlist_add_entry_ulong(source, "multi", 7);
    azn_attrlist_add_entry(source, "multi", "");
    azn_attrlist_add_entry_ulong(source, "tail", 9);
    azn_creds_h_t creds = 0;
    ASSERT_EQ(azn_creds_create_from_attrlist(source, &creds), 0u);
    auto subjectList = [&] {
        azn_attrlist_h_t list = 0;
        azn_attrlist_create(&list);
        EXPECT_EQ(azn_creds_get_attrlist_for_subject(creds, 0, &list), 0u);
        return list;
    };
    const std::vector<std::string> original = names(source);
    const std::vector<std::string> multi{"m0", "<null>", "#7", ""};

    azn_attrlist_h_t first = subjectList();
    azn_attrlist_add_entry(source, "multi", "from-source");
    ASSERT_EQ(azn_attrlist_delete_entry(source, "tail"), 0u);
    for (int i = 0; i < SINGLES - 1; ++i) ASSERT_EQ(azn_attrlist_delete_entry(first, single(i).c_str()), 0u);
    azn_attrlist_add_entry(first, "multi", "from-copy");
    azn_attrlist_add_entry(first, "added", "a");
    ASSERT_EQ(azn_attrlist_delete_entry(first, "added"), 0u);
    azn_attrlist_add_entry(first, "added", "again");

    EXPECT_EQ(names(first), (std::vector<std::string>{"multi", single(SINGLES - 1), "tail", "added"}));
    std::vector<std::string> changed = multi;
    changed.push_back("from-copy");
    EXPECT_EQ(values(first, "multi"), changed);
    EXPECT_EQ(values(first, "tail"), std::vector<std::string>{"#9"});
    EXPECT_EQ(values(first, "added"), std::vector<std::string>{"again"});
    EXPECT_EQ(values(first, single(SINGLES - 1).c_str()), std::vector<std::string>{"v-49"});
    EXPECT_EQ(values(source, "tail"), std::vector<std::string>{});

    azn_attrlist_h_t second = subjectList();
    azn_attrlist_delete(&source);
    azn_attrlist_delete(&first);
    EXPECT_EQ(names(second), original) << "the credentials keep what they were made from";
    EXPECT_EQ(values(second, "multi"), multi);
    EXPECT_EQ(values(second, single(0).c_str()), std::vector<std::string>{"v-0"});
    ASSERT_EQ(azn_creds_delete(&creds), 0u);
    EXPECT_EQ(values(second, "tail"), std::vector<std::string>{"#9"}) << "the copy outlives the credentials";
    azn_attrlist_delete(&second);
}

// A header value reaches the proxy as a header line; a line break in it would add lines of the
// requester's choosing. Other entries may hold any text.
TEST(AttributeList, AResponseHeaderWithALineBreakIsRefusedWithOneMessage) {
    kova_test::TempDir dir;
    qz_msg_set_output(dir.file("messages").c_str());
    azn_attrlist_h_t list = 0;
    azn_attrlist_create(&list);
    for (const char* value : {"location: /login?TransactionId=T1\nSet-Cookie: session=evil",
                              "location: /login?TransactionId=T1\r", "location: /a\r\n\r\n<html>"}) {
        EXPECT_EQ(azn_error_major(azn_attrlist_add_entry(list, "HTTP_RESPONSE_HEADERS", value)),
                  static_cast<unsigned>(AZN_S_INVALID_STRING_VALUE))
            << value;
    }
    EXPECT_EQ(azn_attrlist_add_entry(list, "HTTP_RESPONSE_HEADERS", "location: /login?TransactionId=T1"), 0u);
    EXPECT_EQ(azn_attrlist_add_entry(list, "HTTP_RESPONSE_BODY", "line one\nline two\r\n"), 0u);
    unsigned int count = 0;
    azn_attrlist_name_get_num(list, "HTTP_RESPONSE_HEADERS", &count);
    EXPECT_EQ(count, 1u);
    azn_attrlist_delete(&list);
    qz_msg_set_output(nullptr);
    std::string printed = kova_test::readFile(dir.file("messages"));
    EXPECT_NE(
        printed.find("refused a response header holding a line break, after \"location: /login?TransactionId=T1\""),
        std::string::npos)
        << printed;
    EXPECT_EQ(printed.find("Set-Cookie"), std::string::npos) << "the refused text is not echoed past the break";
}

TEST(AttributeList, DeletedOrUnknownHandlesAreInvalidEverywhere) {
    azn_attrlist_h_t list = 0;
    azn_attrlist_create(&list);
    azn_attrlist_h_t stale = list;
    azn_attrlist_delete(&list);
    EXPECT_FALSE(azn_util_handle_is_valid(stale));
    EXPECT_FALSE(azn_util_handle_is_valid(0));
    EXPECT_FALSE(azn_util_handle_is_valid(0xdeadbeef));
    EXPECT_EQ(azn_error_major(azn_attrlist_add_entry(stale, "a", "b")),
              static_cast<unsigned>(AZN_S_INVALID_ATTRLIST_HANDLE));
    EXPECT_NE(azn_attrlist_delete(&stale), 0u);
}

// Lists that stay while thousands more are made and deleted around them, last first: each list still alive
// is found with its own entry and each deleted one is invalid, however the handles crowd their table.
TEST(AttributeList, HandlesMadeAndDeletedAroundLiveOnesLeaveThemIntact) {
    constexpr std::size_t ROUNDS = 200, PER_ROUND = 40;
    std::vector<azn_attrlist_h_t> handles;
    std::vector<bool> live;
    auto checkAll = [&] {
        for (std::size_t i = 0; i < handles.size(); ++i) {
            ASSERT_EQ(azn_util_handle_is_valid(handles[i]) != 0, live[i]) << "list " << i;
            if (!live[i]) continue;
            ASSERT_EQ(values(handles[i], "index"), std::vector<std::string>{std::to_string(i)}) << "list " << i;
        }
    };
    for (std::size_t round = 0; round < ROUNDS; ++round) {
        for (std::size_t i = 0; i < PER_ROUND; ++i) {
            azn_attrlist_h_t list = 0;
            ASSERT_EQ(azn_attrlist_create(&list), 0u);
            azn_attrlist_add_entry(list, "index", std::to_string(handles.size()).c_str());
            handles.push_back(list);
            live.push_back(true);
        }
        for (std::size_t i = handles.size(); i-- > handles.size() - PER_ROUND;) {
            if (i % 5 == 0) continue;
            azn_attrlist_h_t list = handles[i];
            ASSERT_EQ(azn_attrlist_delete(&list), 0u);
            live[i] = false;
        }
        if (round % 50 == 49) checkAll();
    }
    for (std::size_t i = 0; i < handles.size(); ++i) {
        if (live[i]) azn_attrlist_delete(&handles[i]);
    }
}

// A thread reuses what its deleted lists and credentials and released name arrays held: whichever thread
// made them, what comes back holds only what was given to it since, and each name array only its own list's
// names, however many and however long the names of the one released before.
TEST(AttributeList, WhatDeletedListsAndReleasedNamesHeldComesBackEmpty) {
    auto makeList = [](std::initializer_list<std::string> entries) {
        azn_attrlist_h_t list = 0;
        EXPECT_EQ(azn_attrlist_create(&list), 0u);
        for (const std::string& name : entries) azn_attrlist_add_entry(list, name.c_str(), "v");
        return list;
    };
    auto subjectNames = [](azn_creds_h_t creds) {
        azn_attrlist_h_t subject = 0;
        azn_attrlist_create(&subject);
        EXPECT_EQ(azn_creds_get_attrlist_for_subject(creds, 0, &subject), 0u);
        std::vector<std::string> found = names(subject);
        azn_attrlist_delete(&subject);
        return found;
    };
    const std::string longName(300, 'n');
    azn_attrlist_h_t old = makeList({longName, "a", "b"});
    azn_creds_h_t oldCreds = 0;
    ASSERT_EQ(azn_creds_create_from_attrlist(old, &oldCreds), 0u);
    azn_attrlist_h_t fromOtherThread = 0;
    std::thread([&] { fromOtherThread = makeList({"other"}); }).join();
    EXPECT_EQ(names(old), (std::vector<std::string>{longName, "a", "b"}));
    azn_creds_h_t staleCreds = oldCreds;
    for (azn_attrlist_h_t* list : {&old, &fromOtherThread}) ASSERT_EQ(azn_attrlist_delete(list), 0u);
    ASSERT_EQ(azn_creds_delete(&oldCreds), 0u);

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        azn_attrlist_h_t fresh = makeList({});
        EXPECT_TRUE(names(fresh).empty());
        azn_attrlist_add_entry(fresh, "c", "v");
        azn_creds_h_t creds = 0;
        ASSERT_EQ(azn_creds_create_from_attrlist(fresh, &creds), 0u);
        EXPECT_EQ(subjectNames(creds), std::vector<std::string>{"c"});
        EXPECT_FALSE(azn_util_handle_is_valid(staleCreds));
        std::thread([&] {
            EXPECT_EQ(azn_creds_delete(&creds), 0u);
            EXPECT_EQ(azn_attrlist_delete(&fresh), 0u);
        }).join();
    }

    std::vector<std::string> many;
    for (int i = 0; i < 40; ++i) many.push_back("name-" + std::to_string(i) + std::string(i, 'x'));
    azn_attrlist_h_t small = makeList({"x"}), large = makeList({});
    for (const std::string& name : many) azn_attrlist_add_entry(large, name.c_str(), "v");
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(names(small), std::vector<std::string>{"x"});
        EXPECT_EQ(names(large), many);
    }
    azn_attrlist_delete(&small);
    azn_attrlist_delete(&large);
}

// Lists made on more threads than the table has shards, and deleted on another: every handle is its own,
// and each list is found from any thread with its own entry.
TEST(AttributeList, HandlesMadeOnManyThreadsAreDistinctAndFoundEverywhere) {
    constexpr std::size_t THREADS = 40, PER_THREAD = 50;
    std::vector<std::vector<azn_attrlist_h_t>> made(THREADS);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < THREADS; ++t) {
        threads.emplace_back([&made, t] {
            for (std::size_t i = 0; i < PER_THREAD; ++i) {
                azn_attrlist_h_t list = 0;
                azn_attrlist_create(&list);
                azn_attrlist_add_entry(list, "index", std::to_string(t * PER_THREAD + i).c_str());
                made[t].push_back(list);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::set<azn_attrlist_h_t> distinct;
    for (std::size_t t = 0; t < THREADS; ++t) {
        for (std::size_t i = 0; i < PER_THREAD; ++i) {
            distinct.insert(made[t][i]);
            EXPECT_EQ(values(made[t][i], "index"), std::vector<std::string>{std::to_string(t * PER_THREAD + i)});
        }
    }
    EXPECT_EQ(distinct.size(), THREADS * PER_THREAD);
    std::thread([&made] {
        for (auto& lists : made)
            for (azn_attrlist_h_t& list : lists) EXPECT_EQ(azn_attrlist_delete(&list), 0u);
    }).join();
    for (azn_attrlist_h_t handle : distinct) EXPECT_FALSE(azn_util_handle_is_valid(handle));
}

// A reader asks by name in any order, also for a name it has just deleted or given again; each answer is
// the list's as it stands then, in the list and in its copy through credentials.
TEST(AttributeList, LookupsInAnyOrderFollowDeletionsAndNewEntries) {
    azn_attrlist_h_t list = 0;
    ASSERT_EQ(azn_attrlist_create(&list), 0u);
    const std::vector<std::string> keys = {"a", "b", "c", "d", "e"};
    for (const std::string& key : keys) azn_attrlist_add_entry(list, key.c_str(), ("v-" + key).c_str());
    for (auto order : {keys, std::vector<std::string>{"e", "c", "a", "d", "b"}})
        for (const std::string& key : order) EXPECT_EQ(values(list, key.c_str()), std::vector<std::string>{"v-" + key});

    EXPECT_EQ(values(list, "c"), std::vector<std::string>{"v-c"});
    ASSERT_EQ(azn_attrlist_delete_entry(list, "c"), 0u);
    EXPECT_EQ(values(list, "c"), std::vector<std::string>{}) << "the entry found last was deleted";
    EXPECT_EQ(values(list, "d"), std::vector<std::string>{"v-d"});
    azn_attrlist_add_entry(list, "c", "again");
    EXPECT_EQ(values(list, "c"), std::vector<std::string>{"again"});

    azn_creds_h_t creds = 0;
    ASSERT_EQ(azn_creds_create_from_attrlist(list, &creds), 0u);
    for (const char* key : {"a", "b", "d", "e"}) ASSERT_EQ(azn_attrlist_delete_entry(list, key), 0u);
    EXPECT_EQ(names(list), std::vector<std::string>{"c"});
    EXPECT_EQ(values(list, "c"), std::vector<std::string>{"again"});
    EXPECT_EQ(values(list, "e"), std::vector<std::string>{});
    azn_attrlist_h_t copy = 0;
    azn_attrlist_create(&copy);
    ASSERT_EQ(azn_creds_get_attrlist_for_subject(creds, 0, &copy), 0u);
    EXPECT_EQ(values(copy, "e"), std::vector<std::string>{"v-e"});
    EXPECT_EQ(values(copy, "c"), std::vector<std::string>{"again"});
    azn_attrlist_delete(&list);
    azn_attrlist_delete(&copy);
    azn_creds_delete(&creds);
}

TEST(FaultInjection, FailsTheNamedCallAfterSkippingAndOnlyOnThisThread) {
    azn_attrlist_h_t list = 0;
    azn_attrlist_create(&list);
    zem_fail_calls("azn_attrlist_add_entry", 1, 1);
    std::thread([&] { EXPECT_EQ(azn_attrlist_add_entry(list, "other-thread", "v"), 0u); }).join();
    EXPECT_EQ(azn_attrlist_add_entry(list, "first", "v"), 0u);
    EXPECT_NE(azn_attrlist_add_entry(list, "second", "v"), 0u);
    EXPECT_EQ(azn_attrlist_add_entry(list, "third", "v"), 0u);
    EXPECT_EQ(names(list), (std::vector<std::string>{"other-thread", "first", "third"}));
    zem_clear_failures();
    azn_attrlist_delete(&list);
}

// Faults that other threads arm, use up, clear or leave behind when they end do not disarm this thread's.
TEST(FaultInjection, OtherThreadsFaultsComingAndGoingLeaveThisThreadsArmed) {
    azn_attrlist_h_t list = 0;
    azn_attrlist_create(&list);
    zem_fail_calls("azn_attrlist_add_entry", 0, 1);
    std::thread([&] {
        zem_fail_calls("azn_attrlist_add_entry", 0, 1);
        zem_fail_calls("azn_attrlist_delete_entry", 0, 2);
        EXPECT_NE(azn_attrlist_add_entry(list, "used-up", "v"), 0u);
        zem_clear_failures();
        zem_fail_calls("azn_attrlist_create", 0, 1);
    }).join();
    EXPECT_NE(azn_attrlist_add_entry(list, "armed", "v"), 0u);
    EXPECT_EQ(azn_attrlist_add_entry(list, "after", "v"), 0u);
    azn_attrlist_h_t other = 0;
    EXPECT_EQ(azn_attrlist_create(&other), 0u) << "a fault left by an ended thread is not this thread's";
    EXPECT_EQ(names(list), std::vector<std::string>{"after"});
    azn_attrlist_delete(&other);
    azn_attrlist_delete(&list);
}

TEST(NativeDecision, IsIndifferentWithoutAPolicyAndAsksTheInstalledOne) {
    int permission = 99;
    EXPECT_EQ(azn_decision_access_allowed_ext(0, "/a", "r", 0, &permission, nullptr), 0u);
    EXPECT_EQ(permission, AZN_C_INDIFFERENT);
    zem_set_native_decision([](azn_creds_h_t, const char* resource, const char*, azn_attrlist_h_t, int* out,
                               azn_attrlist_h_t*) -> azn_status_t {
        *out = std::string(resource) == "/deny" ? AZN_C_NOT_PERMITTED : AZN_C_PERMITTED;
        return 0;
    });
    azn_decision_access_allowed_ext(0, "/deny", "r", 0, &permission, nullptr);
    EXPECT_EQ(permission, AZN_C_NOT_PERMITTED);
    zem_set_native_decision(nullptr);
}

namespace audit {

// An agent and its sink on `configuration`, released at the end of the scope.
struct Agent {
    void* agent;
    void* sink;
    explicit Agent(const std::string& configuration)
        : agent(QZLogConfigureAgent("kova.audit", configuration.c_str())), sink(QZLogAttachSink("kova.audit")) {}
    ~Agent() {
        QZLogDestroyAgent(&agent);
        QZLogDetachSink(&sink);
    }
    int commit(const std::string& record) const {
        nv_log_event_t event = NVLogEventStart(sink);
        NVLogEventAddText(event, record.size(), record.c_str());
        int result = -1;
        NVLogEventCommit(&event, 0, &result);
        EXPECT_EQ(event, nullptr) << "a commit releases the event";
        return result;
    }
};

}  // namespace audit

TEST(AuditSink, AppendsEachCommittedRecordWholeAcrossThreads) {
    kova_test::TempDir dir;
    std::string path = dir.file("audit.log");
    const std::string record = "<kova-event>\n    <user>alice</user>\n</kova-event>\n";
    {
        audit::Agent agent("file path=" + path);
        ASSERT_NE(agent.sink, nullptr);
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t) {
            writers.emplace_back([&] {
                for (int i = 0; i < 200; ++i) EXPECT_EQ(agent.commit(record), 0);
            });
        }
        for (std::thread& writer : writers) writer.join();
    }
    std::string expected;
    for (int i = 0; i < 800; ++i) expected += record;
    EXPECT_EQ(kova_test::readFile(path), expected);
}

TEST(AuditSink, UnopenableFileLosesRecordsButNeverFails) {
    void* agent = QZLogConfigureAgent("kova.audit", "file path=/nonexistent-dir/audit.log");
    void* sink = QZLogAttachSink("kova.audit");
    nv_log_event_t event = NVLogEventStart(sink);
    NVLogEventAddText(event, 3, "abc");
    int result = 0;
    NVLogEventCommit(&event, 0, &result);
    EXPECT_NE(result, 0);
    QZLogDestroyAgent(&agent);
    QZLogDetachSink(&sink);
    EXPECT_EQ(agent, nullptr);
    EXPECT_EQ(sink, nullptr);
}

TEST(AuditSink, AQuotedPathMayHoldBlanksAndToolsReadItTheSameWay) {
    kova_test::TempDir dir;
    std::string folder = dir.file("audit logs");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    std::string path = folder + "/kova audit.log";
    std::string configuration = "file path=\"" + path + "\" buffer=0";
    EXPECT_EQ(zem_audit_file_path(configuration.c_str()), path);
    EXPECT_EQ(zem_audit_file_path("file path=/var/log/a.log buffer=0"), "/var/log/a.log");
    EXPECT_EQ(zem_audit_file_path("file path=\"/var/log/unterminated"), "");
    EXPECT_EQ(zem_audit_file_path("file mypath=/x"), "");
    {
        audit::Agent agent(configuration);
        EXPECT_EQ(agent.commit("<kova-event/>\n"), 0);
    }
    EXPECT_EQ(kova_test::readFile(path), "<kova-event/>\n");
}

// The sink's file behind a symbolic link that the test points at a full disk or at a file.
TEST(AuditSink, AWriteFailureIsReportedOnceUntilAWriteSucceedsAgain) {
    kova_test::TempDir dir;
    std::string link = dir.file("audit.log"), file = dir.file("real.log");
    auto pointAt = [&](const std::string& target) {
        unlink(link.c_str());
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    };
    qz_msg_set_output(dir.file("messages").c_str());
    pointAt("/dev/full");
    {
        audit::Agent agent("file path=" + link);
        EXPECT_NE(agent.commit("lost one\n"), 0);
        EXPECT_NE(agent.commit("lost two\n"), 0);
        pointAt(file);
        zem_audit_reopen();
        EXPECT_EQ(agent.commit("kept\n"), 0);
        pointAt("/dev/full");
        zem_audit_reopen();
        EXPECT_NE(agent.commit("lost three\n"), 0);
    }
    qz_msg_set_output(nullptr);
    std::string printed = kova_test::readFile(dir.file("messages"));
    EXPECT_EQ(
        kova_test::countOf(printed, "audit: agent kova.audit: cannot write to " + link + ": No space left on device"),
        2u)
        << printed;
    EXPECT_EQ(kova_test::readFile(file), "kept\n");
}

TEST(Messages, PrintWithTimestampAndFormatWithoutIt) {
    static const qz_msg_entry_t table[] = {{0x7000, "TEST0001I   value %s and %d"}};
    unsigned int status = 1;
    qz_msg_define_msg_table(table, 1, &status);
    EXPECT_EQ(status, 0u);
    kova_test::TempDir dir;
    qz_msg_set_output(dir.file("messages").c_str());
    auto print = [](unsigned int id, ...) {
        va_list args;
        va_start(args, id);
        qz_vprintf_utf8(id, args);
        va_end(args);
    };
    auto format = [](unsigned int id, ...) {
        va_list args;
        va_start(args, id);
        char* text = qz_vsprintf_utf8(id, args);
        va_end(args);
        std::string copy = text ? text : "(null)";
        qz_free(text);
        return copy;
    };
    print(0x7000u, "x", 42);
    qz_msg_set_output(nullptr);
    std::string printed = kova_test::readFile(dir.file("messages"));
    EXPECT_NE(printed.find(" UTC TEST0001I   value x and 42\n"), std::string::npos) << printed;
    EXPECT_EQ(format(0x7000u, "y", 7), "TEST0001I   value y and 7");
    EXPECT_EQ(format(0x7001u), "(null)");
}

TEST(Trace, DropsLinesAboveTheLevelAndNamesUnitAndLine) {
    kova_test::TempDir dir;
    zem_trace_configure(5, dir.file("trace").c_str());
    NVWSOAPTrace trace;
    EXPECT_EQ(trace.level(), -1);
    trace.trace(1, "rba/unit", 1, "before start");
    ASSERT_EQ(trace.initialize("kova"), 0);
    EXPECT_EQ(trace.level(), 5);
    trace.trace(5, "rba/unit", 12, "kept %d", 5);
    trace.trace(6, "rba/unit", 13, "dropped %d", 6);
    trace.shutdown();
    trace.trace(1, "rba/unit", 14, "after stop");
    zem_trace_configure(-1, nullptr);
    std::string text = kova_test::readFile(dir.file("trace"));
    EXPECT_NE(text.find(" 5 kova rba/unit:12 kept 5\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("dropped"), std::string::npos);
    EXPECT_EQ(text.find("before start"), std::string::npos);
    EXPECT_EQ(text.find("after stop"), std::string::npos);
}

}  // namespace
