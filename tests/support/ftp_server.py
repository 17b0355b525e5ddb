"""A throw-away FTP server for the tests, on pyftpdlib.

Binds to the given address on a free port, prints "LISTENING <port>" on its
standard output once it accepts connections, and serves until killed.
"""
import argparse
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--read-only", action="store_true")
    parser.add_argument("--no-mlsd", action="store_true",
                        help="offer neither MLSD nor MLST, so clients fall back on LIST")
    parser.add_argument("--active-delay", type=float, default=0.0,
                        help="seconds to wait before connecting back after PORT/EPRT")
    parser.add_argument("--log", default=None)
    args = parser.parse_args()

    logging.basicConfig(filename=args.log, level=logging.INFO if args.log else logging.CRITICAL)

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root,
                        perm="elr" if args.read_only else "elradfmwMT")

    class Handler(FTPHandler):
        if args.active_delay > 0:
            def _make_eport(self, ip, port):
                # Connect back later, leaving the client's port open to others
                # meanwhile (tests of stray data connections).
                self.call_later(args.active_delay, FTPHandler._make_eport, self, ip, port)

    Handler.authorizer = authorizer
    Handler.banner = "VELMORIX test server ready."
    if args.no_mlsd:
        Handler.proto_cmds = {name: info for name, info in FTPHandler.proto_cmds.items()
                              if name not in ("MLSD", "MLST")}

    server = FTPServer((args.host, 0), Handler)
    port = server.socket.getsockname()[1]
    sys.stdout.write("LISTENING %d\n" % port)
    sys.stdout.flush()
    server.serve_forever()


if __name__ == "__main__":
    main()
