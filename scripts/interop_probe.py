"""What an FTPS server does at the edges that matter to velmorix-cli.

Usage: interop_probe.py HOST PORT USER PASSWORD CA_FILE FOLDER

Logs in with explicit TLS, enters FOLDER and prints one "key: value" line
each: whether the server ends an upload's and a listing's data connection
with close_notify, and what RNFR/RNTO onto an existing file answers and does.
Data connections resume the control connection's session, as vsftpd demands.
"""
import ftplib
import io
import ssl
import sys


class SessionFTP(ftplib.FTP_TLS):
    def ntransfercmd(self, cmd, rest=None):
        # Past FTP_TLS's own, which neither resumes the session nor tells a
        # bare end of file from close_notify.
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        conn = self.context.wrap_socket(conn, server_hostname=self.host,
                                        session=self.sock.session,
                                        suppress_ragged_eofs=False)
        return conn, size


def upload_end(ftp, name, data):
    """close_notify after our own close_notify ends an upload."""
    conn = ftp.transfercmd("STOR " + name)
    conn.sendall(data)
    try:
        conn.unwrap()
        ended = "yes"
    except (ssl.SSLError, OSError) as error:
        ended = "no (%s)" % error
    conn.close()
    return ended, ftp.voidresp()


def listing_end(ftp):
    """close_notify ends the listing's data, rather than a bare end of file."""
    conn = ftp.transfercmd("LIST")
    try:
        while conn.recv(65536):
            pass
        ended = "yes"
    except (ssl.SSLError, OSError) as error:
        ended = "no (%s)" % error
    conn.close()
    return ended, ftp.voidresp()


def main():
    host, port, user, password, ca_file, folder = sys.argv[1:7]
    context = ssl.create_default_context(cafile=ca_file)
    # Python takes a bare end of file for close_notify unless told not to.
    context.options &= ~ssl.OP_IGNORE_UNEXPECTED_EOF
    ftp = SessionFTP(context=context, timeout=10)
    ftp.connect(host, int(port))
    ftp.auth()
    ftp.login(user, password)
    ftp.prot_p()
    ftp.voidcmd("TYPE I")
    ftp.cwd(folder)
    ended, reply = upload_end(ftp, "probe-old", b"old\n" * 1000)
    print("close_notify after upload: %s; %s" % (ended, reply.splitlines()[-1]))
    upload_end(ftp, "probe-new", b"new\n")
    ended, reply = upload_end(ftp, "probe-empty", b"")
    print("close_notify after empty upload: %s; %s" % (ended, reply.splitlines()[-1]))
    ended, reply = listing_end(ftp)
    print("close_notify after listing: %s; %s" % (ended, reply.splitlines()[-1]))
    ftp.mkd("probe-folder")
    ftp.cwd("probe-folder")
    ended, reply = listing_end(ftp)
    print("close_notify after empty listing: %s; %s" % (ended, reply.splitlines()[-1]))
    ftp.cwd("..")
    ftp.rmd("probe-folder")
    try:
        ftp.sendcmd("RNFR probe-new")
        reply = ftp.sendcmd("RNTO probe-old")
    except ftplib.Error as error:
        reply = str(error)
    print("rename onto a file: %s; size after: %s" % (reply, ftp.size("probe-old")))
    for name in ("probe-old", "probe-new", "probe-empty"):
        try:
            ftp.delete(name)
        except ftplib.Error:
            pass
    ftp.quit()


if __name__ == "__main__":
    main()
