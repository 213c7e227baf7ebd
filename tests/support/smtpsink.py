#!/usr/bin/python3
"""SMTP sink for the protocol tests: a real SMTP server (aiosmtpd) on loopback.

Listens on --port (plain; STARTTLS offered with --starttls) and on --ssl-port
(TLS from the first byte). Each accepted message is written to --out as
NNNNNN.json ({"from", "to", "data_b64", "auth_user", "tls", "port"}), first to a
temporary name and then renamed, so a reader never sees half a file.
--ready names a file created once both listeners accept connections.

Refusals are worded as real servers word them, since a client must judge
them by their codes alone:
  --relay-denied ADDR  Postfix's reject_unauth_destination for a client that
                       has not logged in: "554 5.7.1 <ADDR>: Relay access
                       denied" (smtpd_recipient_restrictions =
                       permit_sasl_authenticated, reject_unauth_destination);
  --greylist ADDR      postgrey (--delay=0) behind permit_sasl_authenticated:
                       the first try of each sender/recipient pair gets
                       "450 4.2.0 <ADDR>: Recipient address rejected:
                       Greylisted, see http://postgrey.schweikert.ch/help/
                       DOMAIN.html", a later try passes;
  --refuse ADDR        "550 5.1.1 Recipient refused".
--data-delay-ms N holds the reply to the end of the data back, as a
content scanner does; --data-reply LINE answers the data with LINE instead
of accepting it; --data-size-limit N takes messages up to N bytes instead
of aiosmtpd's default of 32 MiB.
"""

import argparse
import asyncio
import base64
import json
import os
import signal
import ssl
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


class Sink:
    def __init__(self, a):
        self.out = a.out
        self.refused = {r.lower() for r in a.refuse}
        self.relay_denied = {r.lower() for r in a.relay_denied}
        self.greylist = {r.lower() for r in a.greylist}
        self.greylist_seen = set()
        self.data_delay = a.data_delay_ms / 1000.0
        self.data_reply = a.data_reply
        self.count = 0
        self.lock = threading.Lock()

    def refusal(self, session, envelope, address):
        lower = address.lower()
        if lower in self.refused:
            return "550 5.1.1 Recipient refused"
        if session.authenticated:
            return None
        if lower in self.relay_denied:
            return "554 5.7.1 <%s>: Relay access denied" % address
        if lower in self.greylist:
            triplet = ((envelope.mail_from or "").lower(), lower)
            if triplet not in self.greylist_seen:
                self.greylist_seen.add(triplet)
                domain = address.rpartition("@")[2]
                return ("450 4.2.0 <%s>: Recipient address rejected: Greylisted, see "
                        "http://postgrey.schweikert.ch/help/%s.html" % (address, domain))
        return None

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        refusal = self.refusal(session, envelope, address)
        if refusal:
            return refusal
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.data_delay:
            await asyncio.sleep(self.data_delay)
        if self.data_reply:
            return self.data_reply
        data = envelope.original_content
        if data is None:
            data = envelope.content
        if isinstance(data, str):
            data = data.encode("utf-8", "surrogateescape")
        auth_user = None
        if session.authenticated and isinstance(session.auth_data, LoginPassword):
            auth_user = session.auth_data.login.decode("utf-8", "replace")
        record = {
            "from": envelope.mail_from,
            "to": list(envelope.rcpt_tos),
            "data_b64": base64.b64encode(data).decode("ascii"),
            "auth_user": auth_user,
            "tls": server.transport.get_extra_info("ssl_object") is not None,
            "port": server.transport.get_extra_info("sockname")[1],
        }
        with self.lock:
            self.count += 1
            name = "%06d.json" % self.count
        temp = os.path.join(self.out, "." + name + ".tmp")
        with open(temp, "w") as f:
            json.dump(record, f)
            f.flush()
            os.fsync(f.fileno())
        os.rename(temp, os.path.join(self.out, name))
        return "250 Message accepted"


def make_authenticator(user, password):
    def authenticate(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword)
              and auth_data.login == user.encode()
              and auth_data.password == password.encode())
        # handled=False: aiosmtpd then sends "535" itself; with its default
        # (True) a refused login gets no reply at all and the client hangs.
        return AuthResult(success=ok, handled=False, auth_data=auth_data if ok else None)
    return authenticate


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--ssl-port", type=int, required=True)
    p.add_argument("--cert", required=True)
    p.add_argument("--key", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--ready", required=True)
    p.add_argument("--starttls", action="store_true")
    p.add_argument("--user")
    p.add_argument("--password", default="")
    p.add_argument("--require-auth", action="store_true")
    p.add_argument("--refuse", action="append", default=[])
    p.add_argument("--exclude-auth", action="append", default=[])
    p.add_argument("--relay-denied", action="append", default=[])
    p.add_argument("--greylist", action="append", default=[])
    p.add_argument("--data-delay-ms", type=int, default=0)
    p.add_argument("--data-reply")
    p.add_argument("--data-size-limit", type=int, default=0)
    a = p.parse_args()

    def server_context():
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ctx.load_cert_chain(a.cert, a.key)
        return ctx

    smtp_args = {"server_hostname": "localhost", "auth_require_tls": False}
    if a.data_size_limit:
        smtp_args["data_size_limit"] = a.data_size_limit
    if a.user:
        smtp_args["authenticator"] = make_authenticator(a.user, a.password)
        smtp_args["auth_required"] = a.require_auth
        if a.exclude_auth:
            smtp_args["auth_exclude_mechanism"] = a.exclude_auth

    sink = Sink(a)
    plain_args = dict(smtp_args)
    if a.starttls:
        plain_args["tls_context"] = server_context()
    plain = Controller(sink, hostname="127.0.0.1", port=a.port, **plain_args)
    secure = Controller(sink, hostname="127.0.0.1", port=a.ssl_port,
                        ssl_context=server_context(), **smtp_args)
    # A port taken meanwhile by another program: end at once, saying so, so
    # that the fixture starts the sink again on other ports.
    try:
        plain.start()
        secure.start()
    except OSError as e:
        print("smtpsink: cannot listen: %s" % e, file=sys.stderr)
        for c in (plain, secure):
            try:
                c.stop()
            except Exception:
                pass
        return 98

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    with open(a.ready, "w") as f:
        f.write("%d %d\n" % (a.port, a.ssl_port))
    while not stop.wait(0.05):
        pass
    plain.stop()
    secure.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
