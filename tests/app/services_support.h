#pragma once
// What the tests of the command services share: a running core over lists
// and a store of the test's own, with messages put into its quarantine and
// its inbox as a Mail check would leave them.
#include "tests/app/appcore_support.h"

#include "app/checksvc.h"
#include "app/inboxsvc.h"
#include "app/listsvc.h"
#include "app/quarantinesvc.h"
#include "app/replysvc.h"
#include "app/searchsvc.h"
#include "app/statussvc.h"
#include "core/mailmsgU.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <string>

namespace bm::test {

// A message as a client wrote it (no stored form): header lines, an empty
// line, the body.
inline std::string RawMessage(const std::string& from, const std::string& subject, const std::string& body,
                              const std::string& moreHeaders = {})
{
    return "From: " + from + "\r\n" + moreHeaders + "Subject: " + subject + "\r\n\r\n" + body + "\r\n";
}

class ServiceTest : public AppCoreTest {
protected:
    // Each test's own account, so that message files of tests that ran
    // before in this process (one data folder) never meet.
    std::string account = "Svc" + std::to_string(++Serial());

    void SetUp() override
    {
        options.SetCheckOnStartup(false);
        AddAccount(account);
        Create();
        // The start-up's local-only pass ends; the loader has handed over.
        checker.Last().Finish();
        QDeadlineTimer deadline(30000);
        while (!core->QuarantineLoaded() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
        ASSERT_TRUE(core->QuarantineLoaded());
    }

    TFFData& Db() { return *TAppCoreTestAccess::Database(*core); }

    // A challenged key of the sender set, with its challenge queued.
    int Key(const std::string& code)
    {
        const int key = Db().AppendKey(code, "ann@example.com ", false);
        Db().AppendQueueRow(account, key, "challenge of " + code);
        return key;
    }
    // A quarantined message: its file, its table row and the core's row, as
    // a check leaves them. Gives its ID.
    int Quarantine(const std::string& uidl, int key, const std::string& raw)
    {
        TMailMessage m;
        m.LoadFromRaw(raw);
        SaveMessageFile(account, uidl, true, m);
        TQuarantinedMessage row;
        row.KeyID = key;
        row.Account = account;
        row.UIDL = uidl;
        row.From = m.FromList.Count() ? m.FromList[0].Address : "";
        row.Subject = m.Subject;
        row.ID = Db().AppendQuarantinedMessage(row);
        TAppCoreTestAccess::AddQuarantineRows(*core, {TrashRowOf(*Db().FindQuarantinedMessage(row.ID))});
        return row.ID;
    }
    // An inbox message: its file, its record and the core's row.
    TInboxRow Deliver(const std::string& id, const std::string& raw, std::vector<std::string> lines = {})
    {
        TMailMessage m;
        m.LoadFromRaw(raw);
        SaveMessageFile(account, id, false, m);
        auto record = std::make_unique<TKnownMessage>();
        record->SetId(id);
        record->SetAccount(account);
        record->SetFrom(m.FromList.Count() ? m.FromList[0].Address : "");
        record->SetSubject(m.Subject);
        record->TextLines = std::move(lines);
        const TKnownMessage& r = *inbox.Add(std::move(record));
        TAppCoreTestAccess::AddInboxRow(*core, r);
        return core->InboxRows().back();
    }
    // The inbox rebuild that a command started ends (a later one may start).
    void EndRefresh()
    {
        if (core->Checking())
            checker.Last().Finish();
    }

private:
    static int& Serial()
    {
        static int n = 0;
        return n;
    }
};

} // namespace bm::test
