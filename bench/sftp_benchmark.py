#!/usr/bin/python3
"""Times publishing over SFTP and FTP on the same simulated line: rclone's
"sync --transfers 4" and lftp's "mirror -R -P 4" over SFTP, OpenSSH's sftp
putting one large file, VELMORIX over FTP with four connections, and
VELMORIX over SFTP once velmorix-cli takes sftp:// destinations.

Every connection passes through velmorix-delay-relay, which holds each
chunk DELAY milliseconds each way: in front of an sshd of its own (a
configuration, host key and authorized key made in the work folder, on a
free port of 127.0.0.1) and in front of delay_server.py (pyftpdlib on
127.0.0.2 without a delay of its own, whose passive ports the relay also
forwards). The cases: the small web-site-like tree (10 folders, 200 files)
published into an empty folder, its re-run with nothing changed, and one
large file (100 MB unless told) into an empty folder. After each run the
server's copy must equal the local one byte for byte; a re-run that
rewrote or touched files is noted. VELMORIX over SFTP finds the client
key and the host key in the ~/.ssh of a scratch home (and gets the key
file by the option its "add --help" names, if it names one). Prints the
median wall time, CPU time and peak memory of each client process, the
large file's throughput, and the goals. Called by run_sftp_benchmark.sh,
which installs what is missing and builds velmorix-cli and the relay.
"""
import argparse
import os
import pwd
import random
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

# benchmark.py is imported from here; leave no compiled copy in the tree.
sys.dont_write_bytecode = True

from benchmark import (SEED, SITE_TIME, free_port, make_site, measure, medians,  # noqa: E402
                       small_site_file, verdict, wait_for_free_ports, wait_for_greeting)
from delay_benchmark import PASSWORD, USER, add_velmorix_destination, check_tree  # noqa: E402

FOLDERS = 10
FILES = 200
SECTIONS = 5

# The goals: the tree's first publish and re-run at most this share of the
# best SFTP peer's time, the large file at least this share of OpenSSH's
# sftp throughput, and a process below this peak.
SHARE_OF_BEST_PEER = 0.8
SHARE_OF_SFTP_THROUGHPUT = 0.8
PEAK_MB_LIMIT = 16.0

RCLONE = "rclone sync --transfers 4"
LFTP = "lftp mirror -R -P 4"
OPENSSH = "OpenSSH sftp put"
OURS_SFTP = "VELMORIX SFTP, 4 connections"
OURS_FTP = "VELMORIX FTP, 4 connections"
LFTP_FTP = "lftp mirror -R -P 4 (FTP)"
PEERS = (RCLONE, LFTP)
# Where each client publishes on the server, beside the others.
FOLDER_OF = {RCLONE: "rclone", LFTP: "lftp", OPENSSH: "openssh", OURS_SFTP: "velmorix-sftp",
             OURS_FTP: "velmorix-ftp", LFTP_FTP: "lftp-ftp"}

# Passive ports of the FTP server, each forwarded by the relay.
PASSIVE_PORTS = 64
SERVER_ADDRESS = "127.0.0.2"

SSH_OPTIONS = ["-F", "none", "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=no",
               "-o", "UserKnownHostsFile=/dev/null", "-o", "LogLevel=ERROR"]


class Relay:
    """velmorix-delay-relay with the routes given; `ports` are the ports it
    listens on at 127.0.0.1, in the routes' order."""

    def __init__(self, program, delay_ms, routes, log):
        self.process = subprocess.Popen([program, "--delay-ms", str(int(delay_ms))] + routes,
                                        stdout=subprocess.PIPE, stderr=log, text=True)
        line = self.process.stdout.readline().split()
        if not line or line[0] != "ready":
            self.stop()
            sys.exit("the relay did not start; see %s" % log.name)
        self.ports = [int(port) for port in line[1:]]

    def stop(self):
        self.process.kill()
        self.process.wait()


def round_trip_ms(relay_program, delay_ms, log, pings=20):
    """The median round trip through a relay like the benchmark's, to an
    echo on loopback: the delay asked for plus what this machine adds."""
    echo = socket.create_server(("127.0.0.1", 0))

    def serve():
        connection, _ = echo.accept()
        with connection:
            while data := connection.recv(64):
                connection.sendall(data)

    threading.Thread(target=serve, daemon=True).start()
    relay = Relay(relay_program, delay_ms, ["127.0.0.1:0=127.0.0.1:%d" % echo.getsockname()[1]],
                  log)
    times = []
    try:
        with socket.create_connection(("127.0.0.1", relay.ports[0])) as client:
            client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            for _ in range(pings):
                start = time.monotonic()
                client.sendall(b"x")
                if client.recv(1) != b"x":
                    sys.exit("the relay's echo came back wrong")
                times.append((time.monotonic() - start) * 1000)
    finally:
        relay.stop()
        echo.close()
    return statistics.median(times)


def start_sshd(work, port):
    """An sshd on 127.0.0.1:`port` that lets this user in with a key made
    here and serves SFTP in-process. Returns the process and the client's
    key file."""
    host_key = os.path.join(work, "ssh_host_ed25519_key")
    client_key = os.path.join(work, "client_ed25519_key")
    for key in (host_key, client_key):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", key], check=True)
    authorized = os.path.join(work, "authorized_keys")
    shutil.copyfile(client_key + ".pub", authorized)
    config = os.path.join(work, "sshd_config")
    with open(config, "w") as out:
        out.write("\n".join([
            "Port %d" % port, "ListenAddress 127.0.0.1", "HostKey " + host_key,
            "PidFile none", "AuthorizedKeysFile " + authorized, "StrictModes no",
            "UsePAM no", "PasswordAuthentication no", "KbdInteractiveAuthentication no",
            "PubkeyAuthentication yes", "PermitRootLogin prohibit-password",
            "Subsystem sftp internal-sftp", "MaxStartups 100:30:200", "MaxSessions 64",
            "LogLevel ERROR", ""]))
    if os.getuid() == 0:
        os.makedirs("/run/sshd", mode=0o755, exist_ok=True)  # privilege separation
    errors = open(os.path.join(work, "sshd.log"), "wb")
    server = subprocess.Popen(["/usr/sbin/sshd", "-D", "-e", "-f", config], stdout=errors,
                              stderr=errors)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
                if s.recv(100).startswith(b"SSH-"):
                    return server, client_key, host_key
        except OSError:
            time.sleep(0.1)
    server.kill()
    server.wait()
    sys.exit("sshd did not start; see %s" % errors.name)


def free_passive_range(count):
    """A range of `count` ports free on both 127.0.0.1 and the server's
    address, below the kernel's range of ephemeral ports."""
    rng = random.Random()
    for _ in range(50):
        first = rng.randrange(20000, 32000 - count)
        sockets = []
        try:
            for port in range(first, first + count):
                for address in ("127.0.0.1", SERVER_ADDRESS):
                    s = socket.socket()
                    sockets.append(s)
                    s.bind((address, port))
            return first, first + count - 1
        except OSError:
            pass
        finally:
            for s in sockets:
                s.close()
    sys.exit("no free range of %d ports for passive data connections" % count)


def start_ftp_server(work, serve, relay_program, delay_ms, relay_log):
    """delay_server.py on the server's address behind the relay. Returns the
    server, the relay and the port clients connect to."""
    port = free_port()
    first, last = free_passive_range(PASSIVE_PORTS)
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "delay_server.py")
    errors = open(os.path.join(work, "ftp-server.log"), "wb")
    server = subprocess.Popen(["/usr/bin/python3", script, "--root", serve, "--port", str(port),
                               "--user", USER, "--password", PASSWORD, "--delay-ms", "0",
                               "--command-log", os.path.join(work, "commands.log"),
                               "--address", SERVER_ADDRESS, "--passive-ports",
                               "%d-%d" % (first, last), "--masquerade", "127.0.0.1"],
                              stdout=errors, stderr=errors)
    relay = Relay(relay_program, delay_ms,
                  ["127.0.0.1:0=%s:%d" % (SERVER_ADDRESS, port),
                   "127.0.0.1:%d-%d=%s:%d" % (first, last, SERVER_ADDRESS, first)], relay_log)
    if not wait_for_greeting(relay.ports[0]):
        relay.stop()
        server.kill()
        server.wait()
        sys.exit("the FTP server did not start behind the relay; see %s" % errors.name)
    return server, relay, relay.ports[0]


def empty_folder(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)


def file_states(root):
    """Each file's inode, size and change time beneath `root`: a file
    written or touched again shows another."""
    states = {}
    for dirpath, _, filenames in os.walk(root):
        for name in filenames:
            path = os.path.join(dirpath, name)
            info = os.stat(path)
            states[path] = (info.st_ino, info.st_size, info.st_ctime_ns)
    return states


def make_large_file(folder, megabytes):
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "large.bin")
    rng = random.Random(SEED)
    with open(path, "wb") as out:
        for _ in range(megabytes):
            out.write(rng.randbytes(1_000_000))
    os.utime(path, (SITE_TIME, SITE_TIME))
    os.utime(folder, (SITE_TIME, SITE_TIME))
    return path


def velmorix_sftp(cli, port, key, local, remote, destination, log):
    """Adds an SFTP destination when this velmorix-cli takes one, as
    --url sftp://user@host:port/folder, or else as --protocol sftp with the
    host, port, user and folder apart when its "add --help" names that
    option; returns None, or why not."""
    user = pwd.getpwuid(os.getuid()).pw_name
    help_run = subprocess.run([cli, "add", "--help"], capture_output=True, text=True)
    help_text = help_run.stdout + help_run.stderr
    extra = []
    for option in ("--key-file", "--identity-file", "--identity", "--private-key"):
        if option in help_text:
            extra = [option, key]
            break
    ways = [["--url", "sftp://%s@127.0.0.1:%d%s" % (user, port, remote)]]
    if "--protocol" in help_text:
        ways.append(["--url", "127.0.0.1", "--port", str(port), "--user", user, "--remote",
                     remote, "--protocol", "sftp"])
    for way in ways:
        trial = subprocess.run([cli, "add", destination] + way + extra, capture_output=True,
                               text=True, stdin=subprocess.DEVNULL)
        if trial.returncode == 0:
            break
    else:
        said = (trial.stderr or trial.stdout).strip().splitlines()
        return "not available yet: velmorix-cli add refused an SFTP destination%s" % (
            ": " + said[0] if said else " (exit %d)" % trial.returncode)
    subprocess.run([cli, "set", destination, "--local", local, "--only-newer", "on",
                    "--skip-underscore-folders", "off", "--skip-images-folder", "off",
                    "--ignore-exe", "off", "--delete-on-server", "off"], check=True,
                   stdout=log, stderr=log)
    trial = subprocess.run([cli, "set", destination, "--connections", "4"], stdout=log,
                           stderr=log)
    if trial.returncode != 0:
        return "not available yet: velmorix-cli set --connections 4 refused an SFTP destination"
    return None


def ssh_home(work, key, host_key, port):
    """A home folder whose ~/.ssh holds the client key and the relay's host
    key, for an SFTP client that looks there."""
    home = os.path.join(work, "home")
    dot_ssh = os.path.join(home, ".ssh")
    os.makedirs(dot_ssh, mode=0o700, exist_ok=True)
    shutil.copyfile(key, os.path.join(dot_ssh, "id_ed25519"))
    os.chmod(os.path.join(dot_ssh, "id_ed25519"), 0o600)
    shutil.copyfile(key + ".pub", os.path.join(dot_ssh, "id_ed25519.pub"))
    with open(host_key + ".pub") as public, open(os.path.join(dot_ssh, "known_hosts"),
                                                  "w") as out:
        out.write("[127.0.0.1]:%d %s\n" % (port, " ".join(public.read().split()[:2])))
    return home


def rclone_sftp_remote(config, port, user, key, log):
    """A remote of rclone's configuration, as a user keeps one: rclone stores
    there what it learns of the server's shell on its first connection, and
    a remote given on the command line would learn it again in every run.
    Its first connection is made here, before any run is measured. With a
    shell, rclone checks every upload by running md5sum on the server."""
    with open(config, "w") as out:
        out.write("[bench]\ntype = sftp\nhost = 127.0.0.1\nport = %d\nuser = %s\n"
                  "key_file = %s\n" % (port, user, key))
    subprocess.run(["rclone", "lsf", "--max-depth", "1", "bench:/"], check=True,
                   stdout=subprocess.DEVNULL, stderr=log)
    return "bench:"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True, help="the velmorix-cli program")
    parser.add_argument("--relay", required=True, help="the velmorix-delay-relay program")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--delay-ms", type=float, default=20.0)
    parser.add_argument("--large-mb", type=int, default=100)
    parser.add_argument("--work", default=None)
    parser.add_argument("--only", action="append", default=None, metavar="CLIENT",
                        help="measure only this client (a row's name; may be repeated)")
    args = parser.parse_args()

    work = args.work or tempfile.mkdtemp(prefix="velmorix-sftp-bench-")
    os.makedirs(work, exist_ok=True)
    work = os.path.abspath(work)
    site = os.path.join(work, "site")
    large = os.path.join(work, "large")
    serve = os.path.join(work, "served")
    log_path = os.path.join(work, "clients.log")
    log = open(log_path, "ab")
    relay_log = open(os.path.join(work, "relay.log"), "ab")
    for folder in (site, large, serve):
        shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(serve)

    folders, files, size = make_site(site, FOLDERS, FILES, sections=SECTIONS,
                                     site_file=small_site_file)
    print("tree: %d folders, %d files, %.2f MB (seed %d); large file: %d MB"
          % (folders, files, size / 1e6, SEED, args.large_mb))
    large_file = make_large_file(large, args.large_mb)

    rtt = round_trip_ms(args.relay, args.delay_ms, relay_log)
    print("line: velmorix-delay-relay, %g ms each way; a round trip through it takes %.1f ms "
          "here (median of 20)" % (args.delay_ms, rtt))

    # The clients' own settings stay out of it.
    os.environ["XDG_CONFIG_HOME"] = os.path.join(work, "config")
    os.environ["RCLONE_CONFIG"] = os.path.join(work, "rclone.conf")

    sshd_port = free_port()
    sshd, key, host_key = start_sshd(work, sshd_port)
    processes = []
    try:
        ssh_relay = Relay(args.relay, args.delay_ms, ["127.0.0.1:0=127.0.0.1:%d" % sshd_port],
                          relay_log)
        processes.append(ssh_relay)
        port = ssh_relay.ports[0]
        ftp_server, ftp_relay, ftp_port = start_ftp_server(work, serve, args.relay, args.delay_ms,
                                                           relay_log)
        processes += [ftp_relay, ftp_server]
        user = pwd.getpwuid(os.getuid()).pw_name
        print("servers: OpenSSH sshd (internal-sftp) and pyftpdlib, both behind the relay; "
              "%d runs each" % args.runs)

        # Each client's target folder: {client: {case: folder on the server}}.
        targets = {}
        commands = {}  # {client: {case: command}}
        ssh = " ".join(["ssh", "-a", "-x", "-i", key] + SSH_OPTIONS)
        lftp_sftp = ('set sftp:connect-program "%s"; set net:max-retries 1; set net:timeout 30; '
                     "open -u %s, -p %d sftp://127.0.0.1; " % (ssh, user, port))
        rclone_remote = rclone_sftp_remote(os.environ["RCLONE_CONFIG"], port, user, key, log)
        with open(os.environ["RCLONE_CONFIG"]) as config:
            learned = [line.strip() for line in config if "_command" in line or "shell" in line]
        print("rclone: a configured remote; what it learned of the server: %s"
              % ("; ".join(learned) or "nothing"))
        lftp_ftp = ("set ftp:passive-mode on; set ftp:ssl-allow no; set net:max-retries 1; "
                    "set net:timeout 30; open -u %s,%s -p %d 127.0.0.1; "
                    % (USER, PASSWORD, ftp_port))
        for client, folder in FOLDER_OF.items():
            targets[client] = {case: os.path.join(serve, "%s-%s" % (folder, case))
                               for case in ("tree", "large")}
        for client, folders_of in targets.items():
            commands[client] = {}
            for case, local in (("tree", site), ("large", large)):
                remote = folders_of[case]
                ftp_remote = "/" + os.path.relpath(remote, serve)
                if client == RCLONE:
                    command = ["rclone", "sync", local, rclone_remote + remote,
                               "--transfers", "4"]
                    commands[client][case] = (command, command)
                elif client == LFTP:
                    mirror = "mirror -R --no-perms --parallel=4"
                    commands[client][case] = tuple(
                        ["lftp", "--norc", "-c", lftp_sftp + "%s%s %s %s" % (
                            mirror, extra, local, remote)] for extra in ("", " --only-newer"))
                elif client == LFTP_FTP:
                    mirror = "mirror -R --no-perms --parallel=4"
                    commands[client][case] = tuple(
                        ["lftp", "--norc", "-c", lftp_ftp + "%s%s %s %s" % (
                            mirror, extra, local, ftp_remote)] for extra in ("", " --only-newer"))
                elif client == OPENSSH and case == "large":
                    batch = os.path.join(work, "sftp-batch")
                    with open(batch, "w") as out:
                        out.write("put %s %s/\n" % (large_file, remote))
                    command = ["sftp", "-q", "-b", batch, "-i", key, "-P", str(port)] + \
                        SSH_OPTIONS + ["%s@127.0.0.1" % user]
                    commands[client][case] = (command, None)
                elif client == OURS_FTP:
                    destination = "ftp-%s" % case
                    add_velmorix_destination(args.cli, ftp_port, destination, local, ftp_remote)
                    subprocess.run([args.cli, "set", destination, "--connections", "4"],
                                   check=True)
                    command = [args.cli, "transfer", destination]
                    commands[client][case] = (command, command)

        skipped = {OPENSSH: "large file only"}
        home = ssh_home(work, key, host_key, port)
        for case, local in (("tree", site), ("large", large)):
            destination = "sftp-%s" % case
            why = velmorix_sftp(args.cli, port, key, local, targets[OURS_SFTP][case],
                                destination, log)
            if why:
                skipped[OURS_SFTP] = why
                break
            command = ["env", "-u", "SSH_AUTH_SOCK", "HOME=" + home, args.cli, "transfer",
                       destination]
            commands[OURS_SFTP][case] = (command, command)
        if OURS_SFTP in skipped:
            print("%s: %s" % (OURS_SFTP, skipped[OURS_SFTP]))

        clients = [c for c in (OURS_SFTP, RCLONE, LFTP, OPENSSH, OURS_FTP, LFTP_FTP)
                   if commands.get(c) and (not args.only or c in args.only)]
        cases = [("tree", "first"), ("tree", "again"), ("large", "first")]
        results = {(c, k, r): [] for c in clients for k, r in cases}
        touched = {(c, k, r): [] for c in clients for k, r in cases}
        for run in range(args.runs):
            order = clients[run % len(clients):] + clients[:run % len(clients)]
            for client in order:
                for case, round_ in cases:
                    pair = commands[client].get(case)
                    if pair is None or pair[round_ == "again"] is None:
                        continue
                    target = targets[client][case]
                    local = site if case == "tree" else large
                    if round_ == "first":
                        empty_folder(target)
                        wait_for_free_ports()
                    before = file_states(target)
                    try:
                        sample = measure(pair[round_ == "again"], log_path)
                        check_tree(client, "%s %s" % (case, round_), local, target)
                    except SystemExit as failure:
                        if client != OURS_SFTP:
                            raise
                        # Our SFTP client is new: its failure leaves the peers' figures.
                        skipped[OURS_SFTP] = "failed: %s" % failure
                        commands[OURS_SFTP] = {}
                        break
                    results[(client, case, round_)].append(sample)
                    after = file_states(target)
                    touched[(client, case, round_)].append(
                        sum(1 for path, state in after.items() if before.get(path) != state))
            print("run %d of %d done" % (run + 1, args.runs))
    finally:
        for process in reversed(processes):
            if isinstance(process, Relay):
                process.stop()
            else:
                process.kill()
                process.wait()
        sshd.kill()
        sshd.wait()

    report(args, clients, cases, results, touched, skipped, rtt)
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)


def report(args, clients, cases, results, touched, skipped, rtt):
    figures = {key: medians(samples) for key, samples in results.items() if samples}
    megabytes = args.large_mb
    print()
    print("%-36s%8s %8s %9s %9s %8s" % ("medians of %d runs, %g ms each way" % (
        args.runs, args.delay_ms), "wall s", "CPU s", "peak MB", "MB/s", "written"))
    for (case, round_), title in zip(cases, ("tree, first publish into an empty folder",
                                             "tree, re-run with nothing changed",
                                             "large file (%d MB) into an empty folder"
                                             % megabytes)):
        print(title)
        for client in clients + [c for c in skipped if c not in clients]:
            key = (client, case, round_)
            if key not in figures:
                # The reason in full follows the goals.
                print("  %-34s %s" % (client, skipped.get(client, "-").split(":")[0]))
                continue
            wall, cpu, peak = figures[key]
            rate = "%8.1f" % (megabytes / wall) if case == "large" else "%8s" % "-"
            print("  %-34s %8.2f %8.2f %9.1f %s %8d   each run %s" % (
                client, wall, cpu, peak, rate, statistics.median_low(touched[key]),
                " ".join("%.2f" % sample[0] for sample in results[key])))

    print()
    print("goals (a round trip through the relay measured %.1f ms)" % rtt)
    for case, round_, title in (("tree", "first", "first publish"), ("tree", "again", "re-run")):
        measured = [c for c in PEERS if (c, case, round_) in figures]
        if not measured:
            print("  %s: no peer measured" % title)
            continue
        best = min(measured, key=lambda c: figures[(c, case, round_)][0])
        best_wall = figures[(best, case, round_)][0]
        label = "%s <= %.1f x %s (%.2f s):" % (title, SHARE_OF_BEST_PEER, best, best_wall)
        if (OURS_SFTP, case, round_) in figures:
            wall = figures[(OURS_SFTP, case, round_)][0]
            print("  %-66s %6.2f s  %s" % (label, wall, verdict(wall <= SHARE_OF_BEST_PEER *
                                                                best_wall)))
        else:
            print("  %-66s not measured" % label)
    openssh = figures.get((OPENSSH, "large", "first"))
    openssh_rate = megabytes / openssh[0] if openssh else float("nan")
    label = "large file >= %.1f x OpenSSH sftp's %.1f MB/s:" % (SHARE_OF_SFTP_THROUGHPUT,
                                                                openssh_rate)
    if (OURS_SFTP, "large", "first") in figures:
        rate = megabytes / figures[(OURS_SFTP, "large", "first")][0]
        print("  %-66s %6.1f MB/s %s" % (label, rate, verdict(
            rate >= SHARE_OF_SFTP_THROUGHPUT * openssh_rate)))
    else:
        print("  %-66s not measured" % label)
    label = "peak memory, SFTP, highest run < %.0f MB:" % PEAK_MB_LIMIT
    peaks = [sample[2] for key, samples in results.items() if key[0] == OURS_SFTP
             for sample in samples]
    if peaks:
        print("  %-66s %6.1f MB %s" % (label, max(peaks), verdict(max(peaks) < PEAK_MB_LIMIT)))
    else:
        print("  %-66s not measured" % label)
    if OURS_SFTP in skipped:
        print("  %s: %s" % (OURS_SFTP, skipped[OURS_SFTP]))
    rewritten = {c: sum(touched[(c, "tree", "again")]) for c in clients
                 if (c, "tree", "again") in touched}
    if any(rewritten.values()):
        print("  NOTE: a re-run wrote or touched files: %s" % ", ".join(
            "%s %d" % (c, n) for c, n in rewritten.items() if n))


if __name__ == "__main__":
    main()
