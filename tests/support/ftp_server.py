"""A throw-away FTP server for the tests, on pyftpdlib.

Binds to the given address on a free port, prints "LISTENING <port>" on its
standard output once it accepts connections, and serves until killed.
"""
import argparse
import codecs
import logging
import os
import socket
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


# Python's codecs for the --name-encoding values; Shift_JIS servers are
# code page 932 ones, with its extra characters.
NAME_CODECS = {"shift_jis": "cp932", "euc_jp": "euc_jp"}


def _names_on_the_wire(error):
    # Bytes of a disk name that are no UTF-8 go out as they are, as servers
    # pass them through; a character the encoding lacks goes out as "?".
    chunk = error.object[error.start:error.end]
    if all(0xDC80 <= ord(c) <= 0xDCFF for c in chunk):
        return bytes(ord(c) - 0xDC00 for c in chunk), error.end
    return b"?" * len(chunk), error.end


codecs.register_error("names-on-the-wire", _names_on_the_wire)


def speak_names_in(handler_class, encoding):
    """Returns a handler that reads and writes names in `encoding` on the wire:
    commands, replies and listings. The files on disk keep their UTF-8 names,
    and FEAT offers no UTF8, as on such servers."""
    codec = NAME_CODECS[encoding]

    class NamesFS(handler_class.abstracted_fs):
        def format_list(self, basedir, listing, ignore_err=True):
            for line in super().format_list(basedir, listing, ignore_err):
                yield line.decode("utf8", "surrogateescape").encode(codec, "names-on-the-wire")

        def format_mlsx(self, basedir, listing, perms, facts, ignore_err=True):
            for line in super().format_mlsx(basedir, listing, perms, facts, ignore_err):
                yield line.decode("utf8", "surrogateescape").encode(codec, "names-on-the-wire")

    class NamesHandler(handler_class):
        abstracted_fs = NamesFS
        # Disk names that are no UTF-8 reach the listing lines intact.
        unicode_errors = "surrogateescape"

        def decode(self, data):
            return data.decode(codec, "surrogateescape")

        def push(self, s):
            # Past FTPHandler.push, which would write UTF-8.
            super(FTPHandler, self).push(s.encode(codec, "names-on-the-wire"))

        def ftp_FEAT(self, line):
            push = self.push
            self.push = lambda s: push(s.replace(" UTF8\r\n", ""))
            try:
                handler_class.ftp_FEAT(self, line)
            finally:
                del self.push

    return NamesHandler


def misbehave(handler_class, args):
    """Returns a handler with the faults the arguments ask for (the --idle-timeout,
    --drop-stor, --refuse-stor, --truncate-stor, --renames, --fail-listing and
    --greet-only options), which also logs every
    command as "COMMAND <login> <line>" (login 0 before the login; passwords
    left out). Sessions are counted in the order they come, logins in the
    order they succeed: the run's own connection logs in first."""
    sessions = {"count": 0}
    logins = {"count": 0}
    dropped = set()

    base_dtp = handler_class.dtp_handler

    class CuttingDTP(base_dtp):
        def handle_read(self):
            base_dtp.handle_read(self)
            control = self.cmd_channel
            if getattr(control, "_cut_upload", False) and self.get_transmitted_bytes() >= 16384:
                # The host's session ends under the upload: both connections
                # are simply closed.
                control._cut_upload = False
                control.close()

        # The plain handler reads through this other name.
        if base_dtp.handle_read_event is base_dtp.handle_read:
            handle_read_event = handle_read

    class Faulty(handler_class):
        dtp_handler = CuttingDTP
        timeout = args.idle_timeout or handler_class.timeout

        def _shutdown_connecting_dtp(self):
            # pyftpdlib closes the connector of the last active data
            # connection again at the next PORT, long after it handed its
            # socket on; closing unregisters whatever holds that descriptor
            # number by then, maybe another session's new data connection,
            # whose PORT then never gets its answer.
            connector = self._dtp_connector
            if connector is not None and self.ioloop.socket_map.get(connector._fileno) is not connector:
                connector._fileno = None
            handler_class._shutdown_connecting_dtp(self)

        def __init__(self, conn, server, ioloop=None):
            sessions["count"] += 1
            self._greeted = not args.greet_only or sessions["count"] <= args.greet_only
            self._login = 0
            handler_class.__init__(self, conn, server, ioloop)

        def handle(self):
            if self._greeted:
                handler_class.handle(self)

        def on_login(self, username):
            logins["count"] += 1
            self._login = logins["count"]
            if args.idle_timeout and self._login == 1:
                # The run's own session: a run whose own connection is gone
                # fails, which is not what these faults are about.
                self.timeout = None
                if self._idler is not None and not self._idler.cancelled:
                    self._idler.cancel()
            handler_class.on_login(self, username)

        def on_file_received(self, file):
            name = os.path.basename(file)
            # The file itself, or a client's temporary name for it.
            if args.truncate_stor and (name == args.truncate_stor or name.startswith(
                    "." + args.truncate_stor + ".velmorix-")):
                with open(file, "r+b") as received:
                    received.truncate(os.path.getsize(file) // 2)
            handler_class.on_file_received(self, file)

        def ftp_RNFR(self, path):
            if args.renames == "none":
                self.respond("502 Command not implemented.")
                return None
            if args.renames == "denied":
                self.respond("550 %s: Operation not permitted" % os.path.basename(path))
                return None
            return handler_class.ftp_RNFR(self, path)

        def ftp_RNTO(self, path):
            if args.renames == "none":
                self.respond("502 Command not implemented.")
                return None
            if args.renames == "rnto-denied":
                self._rnfr = None
                self.respond("550 %s: Operation not permitted" % os.path.basename(path))
                return None
            if args.renames == "not-onto-files" and os.path.isfile(path):
                self._rnfr = None
                self.respond("553 Can't rename onto an existing file.")
                return None
            return handler_class.ftp_RNTO(self, path)

        def pre_process_command(self, line, cmd, arg):
            logging.info("COMMAND %d %s", self._login, "PASS" if cmd == "PASS" else line)
            if args.fail_listing and cmd in ("MLSD", "LIST"):
                listed = arg if cmd == "MLSD" and arg else self.fs.cwd
                self._fail_listing = os.path.basename(listed.rstrip("/")) == args.fail_listing
            handler_class.pre_process_command(self, line, cmd, arg)

        def respond(self, resp, *rest, **named):
            if getattr(self, "_fail_listing", False) and resp.startswith("226"):
                self._fail_listing = False
                resp = "451 Requested action aborted: local error in processing."
            handler_class.respond(self, resp, *rest, **named)

        def ftp_STOR(self, file, mode="w"):
            name = os.path.basename(file)
            if name == args.refuse_stor:
                self.respond("553 Could not create file.")
                return None
            if name == args.drop_stor and self._login > 1 and name not in dropped:
                dropped.add(name)
                self._cut_upload = True
            return handler_class.ftp_STOR(self, file, mode)

    return Faulty


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
    parser.add_argument("--passive", choices=["normal", "pasv-only", "refused", "silent"],
                        default="normal",
                        help="pasv-only: EPSV answers 500; refused: EPSV and PASV answer 500 "
                             "and are not offered; silent: they name a port whose connections "
                             "are never accepted")
    parser.add_argument("--masquerade", default=None,
                        help="the address PASV names instead of the server's own, as a server "
                             "behind NAT does")
    parser.add_argument("--no-connect-back", action="store_true",
                        help="never connect back after PORT/EPRT, as behind a router")
    parser.add_argument("--name-encoding", choices=["utf8"] + sorted(NAME_CODECS),
                        default="utf8",
                        help="the encoding of names on the wire (shift_jis is code page 932); "
                             "the files on disk keep UTF-8 names")
    parser.add_argument("--tls-cert", default=None,
                        help="a PEM file with the certificate (chain) and its key: offer "
                             "AUTH TLS, PBSZ and PROT")
    parser.add_argument("--tls-required", action="store_true",
                        help="refuse the login without TLS, and data without PROT P")
    parser.add_argument("--tls-require-reuse", action="store_true",
                        help="refuse a data connection that does not resume a TLS session, "
                             "as vsftpd does by default")
    parser.add_argument("--max-connections", type=int, default=0,
                        help="turn away connections beyond this many with 421")
    parser.add_argument("--upload-rate", type=int, default=0,
                        help="take uploads at this many bytes a second")
    parser.add_argument("--idle-timeout", type=float, default=0.0,
                        help="close every session but the first to log in (the run's own) "
                             "when it has been idle this many seconds, with 421, as hosts do")
    parser.add_argument("--drop-stor", default=None,
                        help="cut the first upload of a file of this name on a session other "
                             "than the first to log in, with the session, once some bytes "
                             "have come")
    parser.add_argument("--refuse-stor", default=None,
                        help="answer every upload of a file of this name with 553")
    parser.add_argument("--truncate-stor", default=None,
                        help="answer 226 to uploads of a file of this name but keep only "
                             "half of it, as a server that loses data says nothing")
    parser.add_argument("--renames",
                        choices=["normal", "not-onto-files", "none", "denied", "rnto-denied"],
                        default="normal",
                        help="not-onto-files: RNTO onto an existing file answers 553; none: "
                             "RNFR and RNTO answer 502; denied: RNFR answers 550, "
                             "rnto-denied: RNTO answers 550 (proftpd's <Limit> DenyAll)")
    parser.add_argument("--fail-listing", default=None,
                        help="send the whole listing of a folder of this name, then answer 451 "
                             "instead of 226")
    parser.add_argument("--greet-only", type=int, default=0,
                        help="greet only this many sessions; later ones are let in and never "
                             "hear a word")
    parser.add_argument("--log", default=None)
    args = parser.parse_args()

    logging.basicConfig(filename=args.log, level=logging.INFO if args.log else logging.CRITICAL)

    base_handler = FTPHandler
    if args.tls_cert:
        from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler
        from OpenSSL._util import lib as openssl

        class ReuseDTPHandler(TLS_DTPHandler):
            def handle_ssl_established(self):
                if args.tls_require_reuse and not openssl.SSL_session_reused(self.socket._ssl):
                    self.cmd_channel.respond("522 SSL connection failed: session reuse required")
                    self.close()
                    return
                TLS_DTPHandler.handle_ssl_established(self)

        class TlsHandler(TLS_FTPHandler):
            certfile = args.tls_cert
            tls_control_required = args.tls_required
            tls_data_required = args.tls_required
            dtp_handler = ReuseDTPHandler

        base_handler = TlsHandler

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root,
                        perm="elr" if args.read_only else "elradfmwMT")

    class Handler(base_handler):
        if args.active_delay > 0:
            def _make_eport(self, ip, port):
                # Connect back later, leaving the client's port open to others
                # meanwhile (tests of stray data connections).
                self.call_later(args.active_delay, base_handler._make_eport, self, ip, port)

    if args.no_connect_back:
        def _no_connect_back(self, ip, port):
            # Accepted, then nothing: the client waits for a connection
            # that a router in between would never let through.
            self.respond("200 Active data connection established.")
        Handler._make_eport = _no_connect_back

    if args.passive == "silent":
        # A listener whose queue is full drops every further connection
        # attempt, so a client's connect neither succeeds nor is refused.
        silent = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        silent.bind((args.host, 0))
        silent.listen(0)
        fillers = []
        for _ in range(4):
            filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            filler.setblocking(False)
            try:
                filler.connect(silent.getsockname())
            except BlockingIOError:
                pass
            fillers.append(filler)
        silent_port = silent.getsockname()[1]

        def ftp_PASV(self, line):
            h = args.host.split(".")
            self.respond("227 Entering passive mode (%s,%d,%d)." % (
                ",".join(h), silent_port >> 8, silent_port & 255))

        def ftp_EPSV(self, line):
            self.respond("229 Entering extended passive mode (|||%d|)." % silent_port)
        Handler.ftp_PASV = ftp_PASV
        Handler.ftp_EPSV = ftp_EPSV

    if args.masquerade:
        Handler.masquerade_address = args.masquerade

    if args.name_encoding != "utf8":
        Handler = speak_names_in(Handler, args.name_encoding)

    if args.upload_rate > 0 and not args.tls_cert:
        from pyftpdlib.handlers import ThrottledDTPHandler

        class SlowDTPHandler(ThrottledDTPHandler):
            read_limit = args.upload_rate
        Handler.dtp_handler = SlowDTPHandler

    if args.max_connections > 0:
        # Counts control connections only (the server's own limit counts
        # data connections too), as hosts limit the sessions of a user.
        sessions = {"open": 0}
        limited_base = Handler

        class Limited(limited_base):
            def handle(self):
                if sessions["open"] >= args.max_connections:
                    self.respond_w_warning("421 Too many connections for this user.")
                    self.close_when_done()
                    return
                sessions["open"] += 1
                self._counted = True
                limited_base.handle(self)

            def close(self):
                if getattr(self, "_counted", False):
                    self._counted = False
                    sessions["open"] -= 1
                limited_base.close(self)
        Handler = Limited

    Handler = misbehave(Handler, args)
    Handler.authorizer = authorizer
    Handler.banner = "VELMORIX test server ready."
    left_out = set()
    if args.no_mlsd:
        left_out |= {"MLSD", "MLST"}
    if args.passive == "refused":
        left_out |= {"PASV", "EPSV"}
    if args.passive == "pasv-only":
        left_out |= {"EPSV"}
    if left_out:
        Handler.proto_cmds = {name: info for name, info in base_handler.proto_cmds.items()
                              if name not in left_out}

    server = FTPServer((args.host, 0), Handler)
    port = server.socket.getsockname()[1]
    sys.stdout.write("LISTENING %d\n" % port)
    sys.stdout.flush()
    # With no time-out of its own, pyftpdlib's loop can sleep until the next
    # byte arrives although a scheduled call (an idle time-out) is due: it
    # waits for ever when the next call's delay comes out as 0.
    server.serve_forever(timeout=0.1)


if __name__ == "__main__":
    main()
