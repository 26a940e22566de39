"""The printer application as its tests and benchmarks start it: its own
copies of the program, the filter and the PPDs in a temporary home, run as
nobody (when started as root) on a loopback port with its own spool folder
and state file; a pretend label printer on a loopback socket; and
Create-Printer through ipptool.
"""
import grp
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time

STATUS_REQUEST = b"^cp\r"


class PretendPrinter:
    """A label printer on 127.0.0.1 that keeps what each connection sends and
    when its last byte came; it answers a connection that opens with the
    status request with the status byte STATUS, or, when silent, never."""

    def __init__(self, silent=False, status=0):
        self.silent = silent
        self.status = status
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.connections = []  # [bytes, time of last byte, time closed or None, chunks]
        threading.Thread(target=self._accept, daemon=True).start()

    def uri(self):
        return f"socket://127.0.0.1:{self.port}"

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        record = [0, None, None, []]
        head = b""
        with self.lock:
            self.connections.append(record)
        with conn:
            while True:
                try:
                    data = conn.recv(1 << 16)
                except ConnectionResetError:
                    # The app may close a connection with a reset.
                    data = b""
                now = time.monotonic()
                if not data:
                    break
                with self.lock:
                    record[0] += len(data)
                    record[1] = now
                    record[3].append(data)
                if len(head) < len(STATUS_REQUEST):
                    head += data[:len(STATUS_REQUEST)]
                    if head.startswith(STATUS_REQUEST) and not self.silent:
                        conn.sendall(bytes([self.status]))
        with self.lock:
            record[2] = time.monotonic()

    def reset(self):
        with self.lock:
            self.connections = []

    def _biggest(self):
        return max(self.connections, key=lambda c: c[0]) if self.connections else None

    def job(self):
        """(bytes, time of last byte, closed) of the connection that got the
        most bytes: the job, not a status request."""
        with self.lock:
            big = self._biggest()
            return (0, None, False) if big is None else (big[0], big[1], big[2] is not None)

    def job_data(self):
        """What that connection sent, status request included."""
        with self.lock:
            big = self._biggest()
            return b"" if big is None else b"".join(big[3])

    def close(self):
        self.listener.close()


class PrinterApp:
    """The app serving on 127.0.0.1 at a free port, from copies of PROGRAM,
    FILTER and the PPDs in PPD_DIR, with the server OPTIONS (NAME=VALUE)
    besides its own; close() stops it and removes its home."""

    def __init__(self, program, filter_path, ppd_dir, log_level="warn", options=()):
        self.process = None
        self.home = tempfile.mkdtemp(prefix="tmk-app-")
        os.chmod(self.home, 0o755)
        shutil.copy(program, self.home)
        shutil.copy(filter_path, os.path.join(self.home, "rastertoTmkLabel"))
        shutil.copytree(ppd_dir, os.path.join(self.home, "ppd"))
        os.mkdir(os.path.join(self.home, "spool"))
        args = []
        if os.geteuid() == 0:
            for top, dirs, files in os.walk(self.home):
                for name in dirs + files:
                    os.chown(os.path.join(top, name), 65534, 65534)
            os.chown(self.home, 65534, 65534)
            args = ["/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        h = self.home
        args += ["/usr/bin/env", "-i", f"HOME={h}", f"TMPDIR={h}", f"{h}/{os.path.basename(program)}", "server",
                 "-o", f"server-port={self.port}", "-o", f"spool-directory={h}/spool",
                 "-o", f"state-file={h}/app.state", "-o", f"log-file={h}/app.log", "-o", f"log-level={log_level}",
                 "-o", f"tmk-filter={h}/rastertoTmkLabel", "-o", f"tmk-ppd-directory={h}/ppd"]
        for option in options:
            args += ["-o", option]
        # Whoever runs the tests administers the app: root always, anyone
        # else as a member of their own group.
        if os.geteuid() != 0:
            args += ["-o", "admin-group=" + grp.getgrgid(os.getegid()).gr_name]
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    log = self.log()
                    self.close()
                    raise RuntimeError(f"the printer application did not start:\n{log}") from None
                time.sleep(0.01)

    def uri(self, printer=None):
        return f"ipp://127.0.0.1:{self.port}/ipp/" + (f"print/{printer}" if printer else "system")

    def log(self):
        try:
            with open(os.path.join(self.home, "app.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def close(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.home, ignore_errors=True)


def ipptool(work, uri, test, *args):
    """ipptool -t on TEST written to a file in WORK, ARGS before the URI; the
    process, its output merged."""
    path = os.path.join(work, "request.test")
    with open(path, "w") as f:
        f.write(test)
    return subprocess.Popen(["ipptool", "-t", *args, uri, path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True)


def checked(process, what):
    out = process.communicate()[0]
    if process.returncode != 0:
        raise RuntimeError(f"{what} failed:\n{out}")


def create_printer(work, app, name, driver, device_uri):
    test = ("{\n  OPERATION Create-Printer\n  GROUP operation-attributes-tag\n  ATTR charset attributes-charset utf-8\n"
            "  ATTR naturalLanguage attributes-natural-language en\n  ATTR uri system-uri $uri\n"
            "  ATTR name requesting-user-name tmk\n  ATTR keyword printer-service-type print\n"
            f"  ATTR keyword smi55357-driver {driver}\n  ATTR uri smi55357-device-uri {device_uri}\n"
            f"  GROUP printer-attributes-tag\n  ATTR name printer-name {name}\n  STATUS successful-ok\n}}\n")
    checked(ipptool(work, app.uri(), test), f"Create-Printer {name}")
