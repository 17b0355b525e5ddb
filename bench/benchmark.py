#!/usr/bin/python3
"""Times a publish by VELMORIX against lftp's "mirror -R" on the same tree.

Generates a web-site-like tree with a fixed seed, starts vsftpd on 127.0.0.1
(pyftpdlib when vsftpd cannot start), and runs each client RUNS times on two
cases: the first publish into an empty server folder, and a second run with
nothing changed (VELMORIX with onlyNewer, lftp with --only-newer). Prints the
median wall time, CPU time (user + system) and peak memory of each client
process and the ratios. vsftpd also offers FTPS with a certificate made for
the run, and VELMORIX publishes once more over TLS (every data connection
encrypted), so that the cost of TLS shows beside the plain figures. Called by
run_benchmark.sh, which installs what is missing, builds velmorix-cli and
creates the FTP user; run as root.
"""
import argparse
import os
import random
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

SEED = 20240601
SITE_TIME = 1704067200  # 2024-01-01 00:00 UTC: older than any upload


SECTIONS = ["news", "products", "support", "about", "blog", "docs", "gallery", "shop",
            "events", "press"]
WORDS = [w.encode() for w in ("lorem ipsum dolor sit amet consectetur adipiscing elit "
                              "sed do eiusmod tempor incididunt ut labore et dolore magna "
                              "aliqua").split()]


def page_text(rng, size):
    """`size` bytes of words and line breaks, as a page, style sheet or
    script holds."""
    body = bytearray()
    while len(body) < size:
        body += rng.choice(WORDS) + (b"\n" if rng.random() < 0.1 else b" ")
    return bytes(body[:size])


def large_site_file(rng):
    """Pages, style sheets and scripts of a few KB, images of tens of KB,
    and a few large downloads: an extension and the content."""
    kind = rng.random()
    if kind < 0.60:
        ext = rng.choice(["html", "html", "html", "css", "js"])
        return ext, page_text(rng, rng.randint(1_000, 20_000))
    if kind < 0.95:
        ext = rng.choice(["jpg", "png", "gif"])
        return ext, rng.randbytes(rng.randint(20_000, 120_000))
    ext = rng.choice(["pdf", "zip"])
    return ext, rng.randbytes(rng.randint(200_000, 600_000))


def small_site_file(rng):
    """Pages, style sheets and scripts of 1 to 8 KB and icons of 1 to 12 KB."""
    if rng.random() < 0.75:
        ext = rng.choice(["html", "html", "html", "css", "js"])
        return ext, page_text(rng, rng.randint(1_000, 8_000))
    ext = rng.choice(["png", "gif", "jpg"])
    return ext, rng.randbytes(rng.randint(1_000, 12_000))


def make_site(root, folders=100, files=2000, seed=SEED, sections=10, site_file=large_site_file):
    """A web-site-like tree with a fixed seed: `folders` folders in
    `sections` sections (a section's folder and the subfolders beneath it),
    `files` files spread over the root and the folders, each made by
    `site_file`, all dated SITE_TIME. The defaults make about 100 MB.
    Returns the counts of folders and files and the bytes written."""
    rng = random.Random(seed)
    dirs = [root]
    for section in SECTIONS[:sections]:
        top = os.path.join(root, section)
        dirs.append(top)
        for j in range(folders // sections - 1):
            dirs.append(os.path.join(top, "%s-%02d" % (section, j)))
    dirs = dirs[:folders + 1]
    for d in dirs:
        os.makedirs(d, exist_ok=True)
    total = 0
    for i in range(files):
        d = dirs[i % len(dirs)]
        ext, data = site_file(rng)
        name = os.path.join(d, "item-%04d.%s" % (i, ext))
        with open(name, "wb") as out:
            out.write(data)
        os.utime(name, (SITE_TIME, SITE_TIME))
        total += len(data)
    for d in dirs:
        os.utime(d, (SITE_TIME, SITE_TIME))
    return len(dirs) - 1, files, total


def tree_summary(root):
    count = 0
    size = 0
    folders = 0
    for _, dirnames, filenames in os.walk(root):
        folders += len(dirnames)
        for f in filenames:
            count += 1
    for dirpath, _, filenames in os.walk(root):
        for f in filenames:
            size += os.path.getsize(os.path.join(dirpath, f))
    return folders, count, size


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_greeting(port, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
                if s.recv(100).startswith(b"220"):
                    return True
        except OSError:
            time.sleep(0.1)
    return False


def make_certificate(work):
    """A self-signed RSA certificate for 127.0.0.1 (vsftpd 3.0.3 takes RSA
    keys only) and its SHA-256 fingerprint in the form velmorix-cli takes."""
    key = os.path.join(work, "server.key")
    cert = os.path.join(work, "server.crt")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    printed = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-fingerprint",
                              "-sha256"], check=True, capture_output=True, text=True).stdout
    return cert, key, "SHA256:" + printed.strip().split("=", 1)[1].upper()


def start_vsftpd(work, serve, port, user, tls):
    empty = "/var/run/vsftpd/empty"
    os.makedirs(empty, exist_ok=True)
    conf = os.path.join(work, "vsftpd.conf")
    with open(conf, "w") as out:
        out.write("\n".join([
            "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1",
            "listen_port=%d" % port, "background=NO", "anonymous_enable=NO",
            "local_enable=YES", "write_enable=YES", "local_umask=022",
            "pam_service_name=vsftpd", "secure_chroot_dir=" + empty,
            "utf8_filesystem=YES", "chroot_local_user=YES", "allow_writeable_chroot=YES",
            "local_root=" + serve, "seccomp_sandbox=NO", "isolate=NO", "isolate_network=NO",
            "connect_from_port_20=NO", "port_enable=YES", "xferlog_enable=NO",
            "userlist_enable=NO", "max_clients=0", "max_per_ip=0"] +
            # FTPS offered, plain FTP still allowed; data connections must
            # resume the control connection's TLS session (its default).
            ["ssl_enable=YES", "rsa_cert_file=" + tls[0], "rsa_private_key_file=" + tls[1],
             "ssl_ciphers=HIGH", "force_local_logins_ssl=NO", "force_local_data_ssl=NO",
             "require_ssl_reuse=YES", ""]))
    server = subprocess.Popen(["/usr/sbin/vsftpd", conf], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    if wait_for_greeting(port):
        return server, "vsftpd"
    server.kill()
    server.wait()
    return None, None


def start_pyftpdlib(work, serve, port, user, password):
    script = os.path.join(work, "server.py")
    with open(script, "w") as out:
        out.write(
            "from pyftpdlib.authorizers import DummyAuthorizer\n"
            "from pyftpdlib.handlers import FTPHandler\n"
            "from pyftpdlib.servers import FTPServer\n"
            "a = DummyAuthorizer()\n"
            "a.add_user(%r, %r, %r, perm='elradfmwMT')\n"
            "FTPHandler.authorizer = a\n"
            "FTPServer(('127.0.0.1', %d), FTPHandler).serve_forever()\n"
            % (user, password, serve, port))
    server = subprocess.Popen(["/usr/bin/python3", script], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    if wait_for_greeting(port):
        return server, "pyftpdlib"
    server.kill()
    server.wait()
    sys.exit("neither vsftpd nor pyftpdlib could be started")


def measure(command, log):
    """Runs `command`; returns wall seconds, CPU seconds (user + system) and
    peak resident memory in MB of that process. GNU time reports them: the
    rusage of a child forked from this Python would count Python's own pages
    in its peak."""
    figures = log + ".time"
    # What the last run left in the page cache is written out now, not
    # during this run.
    os.sync()
    with open(log, "ab") as out:
        status = subprocess.call(["/usr/bin/time", "-o", figures, "-f", "%e %U %S %M"] + command,
                                 stdout=out, stderr=out)
    if status != 0:
        sys.exit("%s failed (exit %d); see %s" % (command[0], status, log))
    with open(figures) as f:
        wall, user, system, peak_kb = f.read().split()[-4:]
    return float(wall), float(user) + float(system), int(peak_kb) / 1024.0


def medians(samples):
    """The medians of wall seconds, CPU seconds and peak MB over the
    (wall, CPU, peak) triples that measure() returned."""
    return tuple(statistics.median(sample[index] for sample in samples) for index in range(3))


def verdict(ok):
    return "met" if ok else "NOT met"


def time_wait_count():
    count = 0
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                count += sum(1 for line in f if line.split()[3] == "06")
        except OSError:
            pass
    return count


def wait_for_free_ports(limit=6000, seconds=90):
    """Every transfer leaves a connection in TIME_WAIT for a minute, and
    vsftpd binds each active-mode data connection to a port of its own: after
    a few thousand uploads the ports run out and the server refuses with
    "vsf_sysutil_bind". Waiting for them to drain keeps that out of the
    measurements."""
    deadline = time.monotonic() + seconds
    while time_wait_count() > limit and time.monotonic() < deadline:
        time.sleep(1)


def reset_target(target, uid, gid):
    shutil.rmtree(target, ignore_errors=True)
    os.makedirs(target)
    os.chown(target, uid, gid)


# The large tree: a run holds every listing it read until it ends.
LARGE_FOLDERS = 1000
LARGE_FILES = 20


def large_tree_rerun(args, work, serve, account, log):
    """Re-runs of a 20,000-file tree with nothing to do, 4 connections
    (the server's copy is made here, not uploaded, which would take
    vsftpd's ports for minutes); returns [(wall, cpu, peak)]."""
    large = os.path.join(work, "large")
    target = os.path.join(serve, "large")
    shutil.rmtree(large, ignore_errors=True)
    shutil.rmtree(target, ignore_errors=True)
    gentree = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gentree.py")
    made = subprocess.run([sys.executable, gentree, large, str(LARGE_FOLDERS), str(LARGE_FILES)],
                          check=True, capture_output=True, text=True).stdout
    shutil.copytree(large, target, copy_function=shutil.copy2)
    # Newer than the local files, as after an upload: vsftpd lists old
    # files with their day only.
    for root, dirs, names in os.walk(target):
        for name in [root] + [os.path.join(root, n) for n in dirs + names]:
            os.chown(name, account.pw_uid, account.pw_gid)
            os.utime(name)
    subprocess.run([args.cli, "add", "bench-large", "--url", "127.0.0.1", "--port",
                    str(args.port), "--user", args.user, "--password-stdin", "--remote",
                    "/large", "--data-mode", "active", "--security", "none", "--connections",
                    "4"], input=(args.password + "\n").encode(), check=True)
    subprocess.run([args.cli, "set", "bench-large", "--local", large, "--only-newer", "on",
                    "--skip-underscore-folders", "off", "--skip-images-folder", "off",
                    "--ignore-exe", "off", "--delete-on-server", "off"], check=True)
    # A new destination's clock is 自動: until it has learned the server's
    # (vsftpd lists with LIST), it takes listed times for as far ahead of
    # UTC as any zone runs, and would send the whole tree again. The
    # connection test learns it with one small file, as a user would.
    subprocess.run([args.cli, "test", "bench-large"], check=True, stdout=subprocess.DEVNULL)
    print("large tree: " + made.strip())
    results = [measure([args.cli, "transfer", "bench-large"], log) for _ in range(args.runs)]
    with open(log, errors="replace") as f:
        summary = [line for line in f if line.startswith("Summary")]
    if not summary or not summary[-1].startswith("Summary : 0 files uploaded"):
        sys.exit("the large tree's re-run uploaded: %s" % (summary[-1] if summary else "?"))
    return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True, help="the velmorix-cli program")
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--work", default=None)
    args = parser.parse_args()

    import pwd
    account = pwd.getpwnam(args.user)
    work = args.work or tempfile.mkdtemp(prefix="velmorix-bench-")
    os.makedirs(work, exist_ok=True)
    os.chmod(work, 0o755)
    site = os.path.join(work, "site")
    serve = os.path.join(work, "served")
    target = os.path.join(serve, "site")
    log = os.path.join(work, "clients.log")
    os.makedirs(serve, exist_ok=True)
    os.chown(serve, account.pw_uid, account.pw_gid)

    shutil.rmtree(site, ignore_errors=True)
    folders, files, size = make_site(site)
    print("tree: %d folders, %d files, %.1f MB (seed %d)" % (folders, files, size / 1e6, SEED))

    port = args.port = free_port()
    certificate, key, fingerprint = make_certificate(work)
    server, name = start_vsftpd(work, serve, port, args.user, (certificate, key))
    if server is None:
        print("vsftpd did not start; using pyftpdlib")
        server, name = start_pyftpdlib(work, serve, port, args.user, args.password)
    print("server: %s on 127.0.0.1:%d, %d runs each" % (name, port, args.runs))

    # Our side is the command-line front end with destinations of its own,
    # stored in a scratch settings folder so the user's own are untouched:
    # plain FTP in active mode as lftp is run, and the same over TLS.
    os.environ["XDG_CONFIG_HOME"] = os.path.join(work, "config")
    tls = name == "vsftpd"
    # One connection, as lftp is run, and four, as new destinations have.
    trust = ["--security", "tls", "--trust-fingerprint", fingerprint]
    destinations = {"bench": ["--security", "none", "--connections", "1"],
                    "bench-4": ["--security", "none", "--connections", "4"],
                    "bench-tls": trust + ["--connections", "1"],
                    "bench-tls-4": trust + ["--connections", "4"]}
    if not tls:
        del destinations["bench-tls"]
        del destinations["bench-tls-4"]
    for destination, security in destinations.items():
        subprocess.run([args.cli, "add", destination, "--url", "127.0.0.1", "--port", str(port),
                        "--user", args.user, "--password-stdin", "--remote", "/site",
                        "--data-mode", "active"] + security,
                       input=(args.password + "\n").encode(), check=True)
        subprocess.run([args.cli, "set", destination, "--local", site, "--only-newer", "on",
                        "--skip-underscore-folders", "off", "--skip-images-folder", "off",
                        "--ignore-exe", "off", "--delete-on-server", "off"], check=True)
    ours_first = [args.cli, "transfer", "bench"]
    ours_four = [args.cli, "transfer", "bench-4"]
    ours_tls = [args.cli, "transfer", "bench-tls"]
    ours_tls_four = [args.cli, "transfer", "bench-tls-4"]
    lftp_base = ("set ftp:passive-mode off; set ftp:ssl-allow no; set net:max-retries 1; "
                 "set net:timeout 30; set mirror:parallel-transfer-count 1; "
                 "open -u %s,%s -p %d 127.0.0.1; " % (args.user, args.password, port))
    lftp_first = ["lftp", "-c", lftp_base + "mirror -R --no-perms %s /site" % site]
    lftp_again = ["lftp", "-c", lftp_base + "mirror -R --no-perms --only-newer %s /site" % site]

    clients = ("VELMORIX", "VELMORIX 4", "lftp")
    if tls:
        clients += ("VELMORIX TLS", "VELMORIX TLS 4")
    results = {(c, k): [] for c in clients for k in ("first", "again")}
    try:
        for run in range(args.runs):
            # Alternate which client goes first, so that neither always meets
            # a warmer cache.
            order = [("VELMORIX", ours_first, ours_first), ("VELMORIX 4", ours_four, ours_four),
                     ("lftp", lftp_first, lftp_again)]
            if tls:
                order += [("VELMORIX TLS", ours_tls, ours_tls),
                          ("VELMORIX TLS 4", ours_tls_four, ours_tls_four)]
            if run % 2:
                order.reverse()
            for client, first, again in order:
                reset_target(target, account.pw_uid, account.pw_gid)
                wait_for_free_ports()
                results[(client, "first")].append(measure(first, log))
                published = tree_summary(target)
                if published != (folders, files, size):
                    sys.exit("%s published %s, expected %s" % (client, published,
                                                                (folders, files, size)))
                results[(client, "again")].append(measure(again, log))
            print("run %d of %d done" % (run + 1, args.runs))
        large = large_tree_rerun(args, work, serve, account, log)
    finally:
        server.kill()
        server.wait()

    def median(client, case, index):
        return medians(results[(client, case)])[index]

    print()
    print("medians of %d runs          wall s    CPU s   peak MB" % args.runs)
    for case, title in (("first", "first publish, empty folder"), ("again", "re-run, nothing changed")):
        print(title)
        for client in clients:
            print("  %-24s %8.2f %8.2f %9.1f" % (client, median(client, case, 0),
                                                  median(client, case, 1),
                                                  median(client, case, 2)))
        for client in clients:
            print("  %-24s %s" % (client + " wall, each run",
                                  " ".join("%.2f" % r[0] for r in results[(client, case)])))
        ratios = [median("VELMORIX", case, i) / max(median("lftp", case, i), 1e-9)
                  for i in range(3)]
        print("  %-24s %8.2f %8.2f %9.2f" % ("ratio VELMORIX/lftp", *ratios))

    first_wall = median("VELMORIX", "first", 0) / median("lftp", "first", 0)
    first_cpu = median("VELMORIX", "first", 1) / median("lftp", "first", 1)
    again_wall = median("VELMORIX", "again", 0) / median("lftp", "again", 0)
    peak = max(r[2] for case in ("first", "again") for r in results[("VELMORIX", case)])
    if tls:
        tls_first = median("VELMORIX TLS", "first", 0) / median("VELMORIX", "first", 0)
        tls_again = median("VELMORIX TLS", "again", 0) / median("VELMORIX", "again", 0)
        tls_four = median("VELMORIX TLS 4", "first", 0) / median("VELMORIX 4", "first", 0)
    four_first = median("VELMORIX 4", "first", 0) / median("VELMORIX", "first", 0)
    four_again = median("VELMORIX 4", "again", 0) / median("VELMORIX", "again", 0)
    four_peak = max(r[2] for case in ("first", "again") for r in results[("VELMORIX 4", case)])
    print()
    print("goals")
    print("  first publish wall <= lftp's:      %.2f  %s" % (first_wall, verdict(first_wall <= 1)))
    print("  first publish CPU <= half lftp's:  %.2f  %s" % (first_cpu, verdict(first_cpu <= 0.5)))
    print("  re-run wall <= lftp's:             %.2f  %s" % (again_wall, verdict(again_wall <= 1)))
    print("  peak memory < 16 MB:               %.1f MB  %s" % (peak, verdict(peak < 16)))
    if tls:
        print("  first publish over TLS <= 1.3 x plain: %.2f  %s" % (tls_first,
                                                                  verdict(tls_first <= 1.3)))
        print("  (re-run over TLS / plain:           %.2f)" % tls_again)
        print("  first publish over TLS <= 1.3 x plain, 4 connections: %.2f  %s" % (
            tls_four, verdict(tls_four <= 1.3)))
    print("  4 connections no slower than 1, first publish: %.2f  %s" % (
        four_first, verdict(four_first <= 1)))
    print("  4 connections no slower than 1, re-run:        %.2f  %s" % (
        four_again, verdict(four_again <= 1)))
    print("  peak memory with 4 connections:    %.1f MB  %s" % (four_peak, verdict(four_peak <= 8)))
    large_peak = max(r[2] for r in large)
    print("  peak memory, %d-file tree re-run, 4 connections: %.1f MB  %s" % (
        LARGE_FOLDERS * LARGE_FILES, large_peak, verdict(large_peak <= 12)))
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
