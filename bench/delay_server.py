#!/usr/bin/python3
"""An FTP server on 127.0.0.1 whose control replies arrive late, as over a
line with a round trip of DELAY milliseconds.

pyftpdlib's threaded server (one thread and one IO loop per connection),
one user with full permissions on ROOT. Every reply on the control
connection, the greeting included, leaves the server DELAY after it would
have left it, in the order it was made; the server goes on reading and
carrying out the commands that arrive meanwhile, so a client that sends
several commands before it waits gains as on a real line. Data connections
are not delayed. A reply made by the end of a transfer (226) queues behind
the 150 of its command, so the two keep their order; a close the server
asks for (after 221, or an idle 421) waits behind the replies before it.

Each command is written to COMMAND_LOG as one line "VERB argument" (the
password left out), so that a caller can count the uploads of a run.

    delay_server.py --root DIR --port N --user U --password P
                    [--delay-ms 20] [--command-log FILE] [--address 127.0.0.1]
                    [--passive-ports FIRST-LAST] [--masquerade ADDRESS]

Behind a relay that delays every byte instead (velmorix-delay-relay), the
server runs with --delay-ms 0 on another loopback address (127.0.0.2),
takes its passive ports from a range the relay also listens on at
127.0.0.1, and announces 127.0.0.1 in its PASV replies (--masquerade), so
that data connections pass through the relay too.
"""
import argparse
import collections
import errno
import logging
import os
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.ioloop import AsyncChat
from pyftpdlib.ioloop import timer
from pyftpdlib.log import config_logging
from pyftpdlib.servers import ThreadedFTPServer

# A reply due within this of a send goes out with it, so that a burst of
# replies needs no timer of its own for each.
_SEND_SLACK = 0.0005


class CommandLog:
    """One line per command, from every connection's thread."""

    def __init__(self, path):
        self._lock = threading.Lock()
        self._out = open(path, "a", encoding="utf-8") if path else None

    def write(self, verb, argument):
        if self._out is None:
            return
        with self._lock:
            self._out.write("%s %s\n" % (verb, argument) if argument else verb + "\n")
            self._out.flush()


class SharedFolderFS(AbstractedFS):
    """Enters folders without moving the process: with one thread per
    connection, CWDs on several connections at once would otherwise leave
    the whole server standing in whatever folder one of them entered."""

    def chdir(self, path):
        if not os.path.isdir(path):
            raise OSError(errno.ENOENT, os.strerror(errno.ENOENT))
        if not os.access(path, os.X_OK):
            raise OSError(errno.EACCES, os.strerror(errno.EACCES))
        self.cwd = self.fs2ftp(path)


class DelayedReplyHandler(FTPHandler):
    """An FTPHandler whose control connection output waits `reply_delay`
    seconds in a queue. Set the class attributes before serving."""

    reply_delay = 0.0
    command_log = CommandLog(None)

    def __init__(self, conn, server, ioloop=None):
        # Before the base class, which may already reply (421 when full).
        self._replies = collections.deque()
        self._reply_timer = None
        self._greeting_pending = False
        super().__init__(conn, server, ioloop=ioloop)

    # The threaded server calls handle() in its accepting thread, before the
    # connection moves to an IO loop of its own; a timer set there would
    # fire in the wrong thread. The greeting is made once the connection is
    # in its own loop (add_channel is called there, on its way in).
    def handle(self):
        self._greeting_pending = True

    def add_channel(self, map=None, events=None):
        super().add_channel(map, events)
        if self._greeting_pending:
            self._greeting_pending = False
            FTPHandler.handle(self)

    def pre_process_command(self, line, cmd, arg):
        self.command_log.write(cmd, "" if cmd == "PASS" else arg)
        super().pre_process_command(line, cmd, arg)

    # Every reply, one line or several, passes through push().
    def push(self, text):
        self._queue(text.encode("utf8"))

    def close_when_done(self):
        self._queue(None)

    def _queue(self, item):
        if not self.reply_delay:
            self._send(item)
            return
        self._replies.append((timer() + self.reply_delay, item))
        if self._reply_timer is None:
            self._reply_timer = self.ioloop.call_later(self.reply_delay, self._send_due,
                                                       _errback=self.handle_error)

    def _send(self, item):
        if item is None:
            AsyncChat.close_when_done(self)
        else:
            AsyncChat.push(self, item)

    def _send_due(self):
        self._reply_timer = None
        if self._closed:
            self._replies.clear()
            return
        now = timer()
        while self._replies and self._replies[0][0] <= now + _SEND_SLACK:
            self._send(self._replies.popleft()[1])
        if self._replies and not self._closed:
            self._reply_timer = self.ioloop.call_later(self._replies[0][0] - now,
                                                       self._send_due,
                                                       _errback=self.handle_error)

    def close(self):
        if self._reply_timer is not None:
            self._reply_timer.cancel()
            self._reply_timer = None
        super().close()


class DelayServer(ThreadedFTPServer):
    # Each connection's thread polls with this timeout at most before it
    # looks at its timers; a timer set before the first poll (the greeting)
    # is looked at only then. Set to the delay before serving.
    poll_timeout = 1.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--delay-ms", type=float, default=20.0)
    parser.add_argument("--command-log", default=None)
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--passive-ports", default=None, help="FIRST-LAST")
    parser.add_argument("--masquerade", default=None,
                        help="the address the PASV replies announce")
    args = parser.parse_args()

    config_logging(level=logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
    DelayedReplyHandler.authorizer = authorizer
    DelayedReplyHandler.abstracted_fs = SharedFolderFS
    DelayedReplyHandler.reply_delay = args.delay_ms / 1000.0
    DelayedReplyHandler.command_log = CommandLog(args.command_log)
    if args.passive_ports:
        first, last = (int(port) for port in args.passive_ports.split("-"))
        DelayedReplyHandler.passive_ports = range(first, last + 1)
    DelayedReplyHandler.masquerade_address = args.masquerade
    if DelayedReplyHandler.reply_delay:
        DelayServer.poll_timeout = min(DelayedReplyHandler.reply_delay, 1.0)
    server = DelayServer((args.address, args.port), DelayedReplyHandler)
    server.max_cons = 64
    server.serve_forever()


if __name__ == "__main__":
    main()
