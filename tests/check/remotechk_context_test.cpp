// The Mail check's context: a check works only on the lists its starter
// gives, never on the program's by default.
#include "check/remotechkmdl.h"
#include "config/acctU.h"
#include "config/addrlistU.h"
#include "config/badmailreplyU.h"
#include "config/filtersU.h"
#include "config/optionsU.h"
#include "store/msgsU.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace bm {
namespace {

TEST(RemoteChkContext, EachListLeftOutIsRefusedByName)
{
    TOptions options;
    TAccountList accounts(options);
    TWhiteList friends;
    TBlackList blacklist;
    TFilterList filters;
    TBadMailReplies replies;
    TMessageList inbox;
    TMessageList known;
    const auto full = [&] {
        TCheckContext c;
        c.Options = &options;
        c.Accounts = &accounts;
        c.Friends = &friends;
        c.Blacklist = &blacklist;
        c.Filters = &filters;
        c.Replies = &replies;
        c.Inbox = &inbox;
        c.Known = &known;
        c.Database = "quarantine.db";
        return c;
    };
    struct Case {
        const char* name;
        void (*clear)(TCheckContext&);
    };
    const Case cases[] = {
        {"options", [](TCheckContext& c) { c.Options = nullptr; }},
        {"accounts", [](TCheckContext& c) { c.Accounts = nullptr; }},
        {"Friends list", [](TCheckContext& c) { c.Friends = nullptr; }},
        {"blacklist", [](TCheckContext& c) { c.Blacklist = nullptr; }},
        {"filters", [](TCheckContext& c) { c.Filters = nullptr; }},
        {"reply templates", [](TCheckContext& c) { c.Replies = nullptr; }},
        {"inbox list", [](TCheckContext& c) { c.Inbox = nullptr; }},
        {"known list", [](TCheckContext& c) { c.Known = nullptr; }},
    };
    for (const Case& k : cases) {
        TCheckContext c = full();
        k.clear(c);
        try {
            (void)c.Completed();
            ADD_FAILURE() << k.name << " left out was accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), std::string("A Mail check needs its ") + k.name);
        }
    }
    const TCheckContext completed = full().Completed();
    EXPECT_EQ(completed.Options, &options);
    EXPECT_EQ(completed.Known, &known);
    EXPECT_TRUE(completed.Pop3.has_value());
    EXPECT_TRUE(completed.Smtp.has_value());
}

} // namespace
} // namespace bm
