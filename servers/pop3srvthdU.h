#pragma once
// The holder thread of the local POP3 server (TLocalServerThread): the plain
// listener offers STLS. Its event, (sender, account name, message id), comes
// for every message a client deleted.

#include "servers/pop3srvmdl.h"
#include "servers/srvbasethdU.h"

namespace bm {

class TPOP3ServerThread final
    : public TLocalServerThread<TPOP3ServerThread, TPOP3ServerSettings, TLocalPOP3ServerMdl,
                                &TLocalPOP3ServerMdl::OnMessageDeleted> {
public:
    using TLocalServerThread::TLocalServerThread;
};

} // namespace bm
