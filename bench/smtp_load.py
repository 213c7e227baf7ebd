#!/usr/bin/env python3
"""Sends COUNT messages of SIZE MiB at once, one smtplib client each, to
127.0.0.1:PORT and prints one line per message with the reply to its data.
Exits 1 unless every message got 250. The text is sent a MiB at a time, so
the clients themselves stay small whatever SIZE is.

usage: smtp_load.py PORT COUNT SIZE_MIB
"""

import smtplib
import sys
import threading

LINE = b"A line of the ordinary length of mail text, nothing to stuff in it.\r\n"
PIECE = LINE * (1024 * 1024 // len(LINE))


def send(port, number, size_mib, results):
    try:
        with smtplib.SMTP("127.0.0.1", port, timeout=900) as client:
            client.ehlo("load.example")
            client.mail("joe@home.example")
            client.rcpt("ann@x.example")
            code, text = client.docmd("DATA")
            if code != 354:
                results[number] = (code, text)
                return
            header = ("From: joe@home.example\r\nTo: ann@x.example\r\n"
                      "Subject: load %d\r\n\r\n" % number).encode()
            client.sock.sendall(header)
            for _ in range(size_mib):
                client.sock.sendall(PIECE)
            client.sock.sendall(b".\r\n")
            results[number] = client.getreply()
    except Exception as e:  # reported, and the run fails
        results[number] = (0, str(e).encode())


def main():
    port, count, size_mib = (int(a) for a in sys.argv[1:4])
    results = [None] * count
    threads = [threading.Thread(target=send, args=(port, n, size_mib, results)) for n in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for n, (code, text) in enumerate(results):
        print("message %d: %d %s" % (n, code, text.decode("utf-8", "replace")))
    return 0 if all(code == 250 for code, _ in results) else 1


if __name__ == "__main__":
    sys.exit(main())
