#!/usr/bin/env python3
"""A pyftpdlib server for tests and benchmarks.

usage: pyftpd_server.py ROOT USER PASSWORD [PORT]
Prints "PORT <n>" once it listens on 127.0.0.1, then serves until killed.
"""
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    root, user, password = sys.argv[1:4]
    port = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    logging.basicConfig(level=logging.CRITICAL)
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = authorizer
    handler.auth_failed_timeout = 0  # no 3 s penalty per wrong password in tests
    # Large buffers, so the server is not the slowest part of a benchmark.
    handler.dtp_handler.ac_in_buffer_size = 262144
    handler.dtp_handler.ac_out_buffer_size = 262144
    server = FTPServer(("127.0.0.1", port), handler)
    print("PORT %d" % server.address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
