#!/usr/bin/python3
"""FTP server for the integration tests: 127.0.0.1 only, port chosen by the system.

Usage: ftp_server.py ROOT BYTES_PER_SECOND (0 = unlimited). Prints "PORT <n>" once
listening, then serves until killed.
"""
import logging
import os
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer


def exit_when_parent_goes():
    # The test keeps our stdin open; EOF means it ended, even by abort, so no server is left behind.
    sys.stdin.buffer.read()
    os._exit(0)


class Handler(FTPHandler):
    def ftp_SIZE(self, path):
        # A file named *.twice is announced at twice its size: a transfer that stops short.
        if path.endswith(".twice"):
            self.respond("213 %d" % (2 * os.path.getsize(path)))
            return
        return FTPHandler.ftp_SIZE(self, path)


def main():
    root, rate = sys.argv[1], int(sys.argv[2])
    logging.basicConfig(level=logging.WARNING, stream=sys.stderr)

    authorizer = DummyAuthorizer()
    authorizer.add_user("haul", "secret", root, perm="elradfmwMT")
    authorizer.add_anonymous(root, perm="elr")

    handler = Handler
    if rate > 0:
        # sendfile() would bypass the throttle, so the transfer goes through the handler's own writes.
        dtp = ThrottledDTPHandler
        dtp.read_limit = rate
        dtp.write_limit = rate
        handler.dtp_handler = dtp
        handler.use_sendfile = False
    handler.authorizer = authorizer
    # The default 3 s pause after a failed login would slow down every test of a wrong password.
    handler.auth_failed_timeout = 0.1
    handler.passive_ports = None
    handler.permit_foreign_addresses = False

    threading.Thread(target=exit_when_parent_goes, daemon=True).start()
    server = FTPServer(("127.0.0.1", 0), handler)
    server.max_cons = 256
    print("PORT %d" % server.socket.getsockname()[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
