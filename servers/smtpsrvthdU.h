#pragma once
// The holder thread of the local SMTP server (TLocalServerThread): the plain
// listener offers STARTTLS. Its event, (sender, address), comes for every
// recipient the relay added to the Friends list; the main window adds the
// address, lower-cased, as a checked row of its Friends list view.

#include "servers/smtpsrvmdl.h"
#include "servers/srvbasethdU.h"

namespace bm {

class TSMTPServerThread final
    : public TLocalServerThread<TSMTPServerThread, TSMTPServerSettings, TLocalSMTPServerMdl,
                                &TLocalSMTPServerMdl::OnAddressWhitelisted> {
public:
    using TLocalServerThread::TLocalServerThread;
};

} // namespace bm
