#!/usr/bin/python3
"""Times publishing over a slow line: VELMORIX with one and with four
connections against lftp's "mirror -R" (one connection, and --parallel=4)
and rclone's "sync" (--transfers 4).

Generates a small web-site-like tree with a fixed seed (10 folders, 200
files of a few KB), starts delay_server.py on 127.0.0.1, which holds back
every control reply by DELAY milliseconds as a network round trip would, and
runs each client RUNS times on two cases: the first publish into an empty
server folder, and a second run with nothing changed. After each run the
server's tree must equal the local one byte for byte, and the server's
command log tells how many files each run uploaded (none in a re-run).
Prints the median wall time, CPU time (user + system) and peak memory of
each client process and whether the goals are met. Called by
run_delay_benchmark.sh, which installs what is missing and builds
velmorix-cli.
"""
import argparse
import collections
import filecmp
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

# benchmark.py is imported from here; leave no compiled copy in the tree.
sys.dont_write_bytecode = True

from benchmark import (SEED, free_port, make_site, measure, medians,  # noqa: E402
                       small_site_file, verdict, wait_for_free_ports, wait_for_greeting)
from gentree import make_tree  # noqa: E402

USER = "velmorixdelay"
PASSWORD = "delay-pass-2024"
FOLDERS = 10
FILES = 200
SECTIONS = 5  # five sections of a folder and one subfolder each

# The goals: with four connections, a publish and a re-run take at most
# this share of the fastest other client's time, and a process stays
# below this peak.
SHARE_OF_BEST_OTHER = 0.8
PEAK_MB_LIMIT = 8.0

ONE = "VELMORIX 1 connection"
FOUR = "VELMORIX 4 connections"
FOUR_TEMPORARY = "VELMORIX 4, temporary names"
LFTP_TEMPORARY = "lftp -P 4, temporary files"
OTHERS = ("lftp", "lftp -P 4", "rclone --transfers 4")

# Uploading under temporary names may cost at most this share more than
# uploading under the real names.
TEMPORARY_SHARE = 1.15

# The nested tree of the re-run that must scale (bench/gentree.py), and the
# share of the best other client's time it may take.
NESTED_FOLDERS = 300
NESTED_FILES = 10
NESTED_SHARE = 0.7
NESTED_OTHERS = ("lftp -P 4", "rclone --transfers 4 --checkers 4")


def tree_files(root):
    """The folders and files beneath `root`, as paths relative to it."""
    folders, files = set(), set()
    for dirpath, dirnames, filenames in os.walk(root):
        relative = os.path.relpath(dirpath, root)
        folders.update(os.path.normpath(os.path.join(relative, d)) for d in dirnames)
        files.update(os.path.normpath(os.path.join(relative, f)) for f in filenames)
    return folders, files


def tree_differences(local, served):
    """What keeps `served` from being a byte-for-byte copy of `local`."""
    local_folders, local_files = tree_files(local)
    served_folders, served_files = tree_files(served)
    differences = ["folder missing: " + f for f in sorted(local_folders - served_folders)]
    differences += ["folder extra: " + f for f in sorted(served_folders - local_folders)]
    differences += ["file missing: " + f for f in sorted(local_files - served_files)]
    differences += ["file extra: " + f for f in sorted(served_files - local_files)]
    for name in sorted(local_files & served_files):
        if not filecmp.cmp(os.path.join(local, name), os.path.join(served, name),
                           shallow=False):
            differences.append("content differs: " + name)
    return differences


def check_tree(client, case, local, served):
    differences = tree_differences(local, served)
    if differences:
        sys.exit("%s, %s: the server's tree is no copy of the local one (%d differences):\n  %s"
                 % (client, case, len(differences), "\n  ".join(differences[:20])))


class CommandLog:
    """Counts the commands the server logged since the last look."""

    def __init__(self, path):
        self._path = path
        self._offset = 0

    def skip(self):
        self._offset = os.path.getsize(self._path)

    def take(self):
        with open(self._path, "rb") as log:
            log.seek(self._offset)
            lines = log.read().decode("utf-8", "replace").splitlines()
            self._offset = log.tell()
        return collections.Counter(line.split(" ", 1)[0] for line in lines if line)


def start_server(work, serve, port, delay_ms, command_log):
    script = os.environ.get("DELAY_SERVER") or os.path.join(os.path.dirname(os.path.abspath(__file__)), "delay_server.py")
    errors = open(os.path.join(work, "server.log"), "wb")
    server = subprocess.Popen(["/usr/bin/python3", script, "--root", serve, "--port", str(port),
                               "--user", USER, "--password", PASSWORD, "--delay-ms",
                               str(delay_ms), "--command-log", command_log],
                              stdout=errors, stderr=errors)
    if not wait_for_greeting(port):
        server.kill()
        server.wait()
        sys.exit("the delay server did not start; see %s" % errors.name)
    return server


def add_velmorix_destination(cli, port, destination, site, remote):
    """A destination, plain FTP in passive mode, uploading what is newer or
    missing and deleting nothing, as lftp's mirror -R does."""
    subprocess.run([cli, "add", destination, "--url", "127.0.0.1", "--port", str(port),
                    "--user", USER, "--password-stdin", "--remote", remote,
                    "--data-mode", "passive", "--security", "none"],
                   input=(PASSWORD + "\n").encode(), check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cli, "set", destination, "--local", site, "--only-newer", "on",
                    "--skip-underscore-folders", "off", "--skip-images-folder", "off",
                    "--ignore-exe", "off", "--delete-on-server", "off"], check=True)


def add_velmorix_destinations(cli, port, site):
    """The destinations of the small tree. Returns {client name:
    destination}; without a --connections setting in this velmorix-cli,
    only the one-connection client, and without --temp-upload none with
    temporary names."""
    destinations = {ONE: "delay-1", FOUR: "delay-4", FOUR_TEMPORARY: "delay-4t"}
    for destination in destinations.values():
        add_velmorix_destination(cli, port, destination, site, "/site")
    trial = subprocess.run([cli, "set", destinations[ONE], "--connections", "1"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if trial.returncode != 0:
        print("velmorix-cli takes no --connections: VELMORIX runs with one connection only")
        del destinations[FOUR]
        del destinations[FOUR_TEMPORARY]
        return destinations
    subprocess.run([cli, "set", destinations[FOUR], "--connections", "4"], check=True)
    subprocess.run([cli, "set", destinations[FOUR_TEMPORARY], "--connections", "4"], check=True)
    temporary = {destinations[ONE]: "off", destinations[FOUR]: "off",
                 destinations[FOUR_TEMPORARY]: "on"}
    for destination, setting in temporary.items():
        trial = subprocess.run([cli, "set", destination, "--temp-upload", setting],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if trial.returncode != 0:
            print("velmorix-cli takes no --temp-upload: no run with temporary names")
            del destinations[FOUR_TEMPORARY]
            break
    return destinations


def nested_rerun(args, cli, work, port, command_log, log):
    """Publishes the nested tree once with each client, then times its
    re-run with nothing changed; returns {client: [(wall, cpu, peak)]}."""
    nested = os.path.join(work, "nested")
    shutil.rmtree(nested, ignore_errors=True)
    folders, files, size = make_tree(nested, NESTED_FOLDERS, NESTED_FILES)
    print("nested tree: %d folders, %d files, %.2f MB" % (folders, files, size / 1e6))
    target = os.path.join(work, "served", "nested")
    add_velmorix_destination(cli, port, "delay-nested", nested, "/nested")
    subprocess.run([cli, "set", "delay-nested", "--connections", "4"], check=True)
    lftp_open = ("set ftp:passive-mode on; set ftp:ssl-allow no; set net:max-retries 1; "
                 "set net:timeout 30; open -u %s,%s -p %d 127.0.0.1; " % (USER, PASSWORD, port))
    obscured = subprocess.run(["rclone", "obscure", PASSWORD], check=True,
                              capture_output=True, text=True).stdout.strip()
    remote = ":ftp,host=127.0.0.1,port=%d,user=%s,pass=%s:/nested" % (port, USER, obscured)
    commands = {
        FOUR: [cli, "transfer", "delay-nested"],
        "lftp -P 4": ["lftp", "--norc", "-c", lftp_open +
                      "mirror -R --no-perms --parallel=4 --only-newer %s /nested" % nested],
        "rclone --transfers 4 --checkers 4": ["rclone", "sync", nested, remote,
                                              "--transfers", "4", "--checkers", "4"],
    }
    results = {client: [] for client in commands}
    counter = CommandLog(command_log)
    for client, command in commands.items():
        shutil.rmtree(target, ignore_errors=True)
        os.makedirs(target)
        wait_for_free_ports()
        measure(command, log)  # the first publish
        for _ in range(args.runs):
            counter.skip()
            results[client].append(measure(command, log))
            uploaded = counter.take()
            if uploaded["STOR"] + uploaded["APPE"]:
                print("  NOTE: %s uploaded in a re-run of the nested tree" % client)
        check_tree(client, "nested tree", nested, target)
    return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True, help="the velmorix-cli program")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--delay-ms", type=float, default=20.0)
    parser.add_argument("--baseline-one-first", type=float, default=None,
                        help="an earlier median wall time of the first publish with one "
                        "connection, to compare with")
    parser.add_argument("--baseline-one-again", type=float, default=None,
                        help="the same for the re-run")
    parser.add_argument("--work", default=None)
    args = parser.parse_args()

    work = args.work or tempfile.mkdtemp(prefix="velmorix-delay-bench-")
    os.makedirs(work, exist_ok=True)
    site = os.path.join(work, "site")
    serve = os.path.join(work, "served")
    target = os.path.join(serve, "site")
    log = os.path.join(work, "clients.log")
    command_log = os.path.join(work, "commands.log")
    os.makedirs(target, exist_ok=True)
    open(command_log, "w").close()

    shutil.rmtree(site, ignore_errors=True)
    folders, files, size = make_site(site, FOLDERS, FILES, sections=SECTIONS,
                                     site_file=small_site_file)
    print("tree: %d folders, %d files, %.2f MB (seed %d)" % (folders, files, size / 1e6, SEED))

    port = free_port()
    server = start_server(work, serve, port, args.delay_ms, command_log)
    print("server: pyftpdlib, one thread per connection, on 127.0.0.1:%d; every control "
          "reply %g ms late, data connections not; %d runs each" % (port, args.delay_ms,
                                                                    args.runs))

    # The clients' own settings stay out of it: velmorix-cli keeps its
    # destinations in a scratch settings folder, rclone reads an empty
    # configuration, lftp no rc file of the user.
    os.environ["XDG_CONFIG_HOME"] = os.path.join(work, "config")
    rclone_config = os.path.join(work, "rclone.conf")
    open(rclone_config, "w").close()
    os.environ["RCLONE_CONFIG"] = rclone_config

    commands = {}  # client: (first publish, re-run)
    try:
        for client, destination in add_velmorix_destinations(args.cli, port, site).items():
            commands[client] = ([args.cli, "transfer", destination],) * 2
        lftp_open = ("set ftp:passive-mode on; set ftp:ssl-allow no; set net:max-retries 1; "
                     "set net:timeout 30; open -u %s,%s -p %d 127.0.0.1; "
                     % (USER, PASSWORD, port))
        for client, parallel, temporary in (("lftp", 1, False), ("lftp -P 4", 4, False),
                                            (LFTP_TEMPORARY, 4, True)):
            mirror = "mirror -R --no-perms --parallel=%d" % parallel
            opening = lftp_open + ("set xfer:use-temp-file yes; " if temporary else "")
            commands[client] = tuple(
                ["lftp", "--norc", "-c", opening + "%s%s %s /site" % (mirror, extra, site)]
                for extra in ("", " --only-newer"))
        # rclone's own check, size and modification time, finds nothing to
        # do in the re-run: after each upload it sets the file's time with
        # MFMT, and reads it back from MLSD.
        obscured = subprocess.run(["rclone", "obscure", PASSWORD], check=True,
                                  capture_output=True, text=True).stdout.strip()
        remote = ":ftp,host=127.0.0.1,port=%d,user=%s,pass=%s:/site" % (port, USER, obscured)
        commands["rclone --transfers 4"] = (["rclone", "sync", site, remote,
                                             "--transfers", "4"],) * 2
        print("rclone: sync --transfers 4 with its default check (size and modification "
              "time, which it sets with MFMT)")
        clients = list(commands)

        results = {(c, k): [] for c in clients for k in ("first", "again")}
        uploads = {(c, k): [] for c in clients for k in ("first", "again")}
        sent = {(c, k): [] for c in clients for k in ("first", "again")}
        counter = CommandLog(command_log)
        for run in range(args.runs):
            # Each run starts with another client, so that none always meets
            # a warmer cache or a quieter machine.
            order = clients[run % len(clients):] + clients[:run % len(clients)]
            for client in order:
                for case, title in (("first", "first publish"), ("again", "re-run")):
                    if case == "first":
                        # Emptied, not replaced: pyftpdlib's CWD asks the
                        # process for its current folder, which may be this one.
                        for entry in os.listdir(target):
                            path = os.path.join(target, entry)
                            if os.path.isdir(path) and not os.path.islink(path):
                                shutil.rmtree(path)
                            else:
                                os.remove(path)
                        wait_for_free_ports()
                    counter.skip()
                    results[(client, case)].append(
                        measure(commands[client][case == "again"], log))
                    counted = counter.take()
                    uploads[(client, case)].append(counted["STOR"] + counted["APPE"])
                    sent[(client, case)].append(sum(counted.values()))
                    check_tree(client, title, site, target)
            print("run %d of %d done" % (run + 1, args.runs))
        nested = nested_rerun(args, args.cli, work, port, command_log, log)
    finally:
        server.kill()
        server.wait()

    figures = {key: medians(samples) for key, samples in results.items()}
    print()
    print("%-29s%8s %8s %9s %9s" % ("medians of %d runs, %g ms" % (args.runs, args.delay_ms),
                                    "wall s", "CPU s", "peak MB", "commands"))
    for case, title in (("first", "first publish, empty folder"),
                        ("again", "re-run, nothing changed")):
        print(title)
        for client in clients:
            wall, cpu, peak = figures[(client, case)]
            print("  %-27s %8.2f %8.2f %9.1f %9d" % (client, wall, cpu, peak,
                                                     statistics.median_low(sent[(client, case)])))
        print("  each run")
        for client in clients:
            print("    %-25s wall %s  STOR %s" % (
                client, " ".join("%.2f" % r[0] for r in results[(client, case)]),
                " ".join("%d" % n for n in uploads[(client, case)])))

    print()
    print("goals")
    for case, title in (("first", "first publish"), ("again", "re-run")):
        best = min(OTHERS, key=lambda c: figures[(c, case)][0])
        limit = SHARE_OF_BEST_OTHER * figures[(best, case)][0]
        label = "%s, 4 connections <= %.1f x %s (%.2f s):" % (title, SHARE_OF_BEST_OTHER, best,
                                                             figures[(best, case)][0])
        if FOUR in clients:
            wall = figures[(FOUR, case)][0]
            print("  %-62s %6.2f s  %s" % (label, wall, verdict(wall <= limit)))
        else:
            print("  %-62s not measured" % label)
    for case, title, baseline in (("first", "first publish", args.baseline_one_first),
                                  ("again", "re-run", args.baseline_one_again)):
        if baseline is not None:
            wall = figures[(ONE, case)][0]
            label = "%s, 1 connection <= earlier %.2f s:" % (title, baseline)
            print("  %-62s %6.2f s  %s" % (label, wall, verdict(wall <= baseline)))
    if FOUR_TEMPORARY in clients:
        wall = figures[(FOUR_TEMPORARY, "first")][0]
        lftp_temporary = figures[(LFTP_TEMPORARY, "first")][0]
        real = figures[(FOUR, "first")][0]
        label = "first publish, temporary names <= %.1f x %s (%.2f s):" % (
            SHARE_OF_BEST_OTHER, LFTP_TEMPORARY, lftp_temporary)
        print("  %-62s %6.2f s  %s" % (label, wall, verdict(wall <= SHARE_OF_BEST_OTHER *
                                                            lftp_temporary)))
        label = "first publish, temporary names <= %.2f x real names (%.2f s):" % (
            TEMPORARY_SHARE, real)
        print("  %-62s %6.2f s  %s" % (label, wall, verdict(wall <= TEMPORARY_SHARE * real)))
    nested_figures = {client: medians(samples) for client, samples in nested.items()}
    print("nested tree, re-run with nothing changed (%d folders, %d files each)" % (
        NESTED_FOLDERS, NESTED_FILES))
    for client, (wall, cpu, peak) in nested_figures.items():
        print("  %-27s %8.2f %8.2f %9.1f   each run %s" % (
            client, wall, cpu, peak, " ".join("%.2f" % r[0] for r in nested[client])))
    best = min(NESTED_OTHERS, key=lambda c: nested_figures[c][0])
    label = "nested re-run, 4 connections <= %.1f x %s (%.2f s):" % (
        NESTED_SHARE, best, nested_figures[best][0])
    wall = nested_figures[FOUR][0]
    print("  %-62s %6.2f s  %s" % (label, wall, verdict(wall <= NESTED_SHARE *
                                                        nested_figures[best][0])))
    label = "peak memory, 4 connections, highest run < %.0f MB:" % PEAK_MB_LIMIT
    if FOUR in clients:
        peak = max(r[2] for case in ("first", "again") for r in results[(FOUR, case)])
        print("  %-62s %6.1f MB %s" % (label, peak, verdict(peak < PEAK_MB_LIMIT)))
    else:
        print("  %-62s not measured" % label)
    again_uploads = {c: sum(uploads[(c, "again")]) for c in clients}
    if any(again_uploads.values()):
        print("  NOTE: a re-run uploaded files: %s" % ", ".join(
            "%s %d" % (c, n) for c, n in again_uploads.items() if n))
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
