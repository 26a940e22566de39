"""A private CUPS scheduler for the end-to-end tests and the benchmarks.

cupsd -f is started as root (as a packaged CUPS runs, with the filters as lp)
from a temporary folder of its own: configuration, spool, cache, logs, a
server-binary folder and a listening socket, all removed at the end. The
system's CUPS is neither used nor needed. Clients reach the scheduler only
through the socket (lp -h SOCKET, or the small IPP client here).

The server-binary folder holds symlinks to the stock programs (filters,
backends, cups-exec), root-owned 0755 copies of our filter, the test
printer (backend tmktest, see tools/tmk-test-backend.cc) and a notifier
that hands the scheduler's job events to us through a FIFO, so that a job's
end is seen without polling the scheduler.

What cupsd asks of it, found the hard way on Debian 12: it runs only
programs that root owns and nobody else may write, in folders of the same
kind, and says "No such file or directory" when one is not; it needs
daemon/cups-exec beside filter/ and backend/; the filters run as lp, so the
folder must be readable by lp; the printcap goes inside the folder; and
JobPrivateValues none lets a client read job states and counters.
"""
import grp
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time

STOCK_SERVERBIN = "/usr/lib/cups"
FILTER_NAME = "rastertoTmkLabel"

JOB_PENDING, JOB_HELD, JOB_PROCESSING, JOB_STOPPED, JOB_CANCELED, JOB_ABORTED, JOB_COMPLETED = 3, 4, 5, 6, 7, 8, 9
JOB_STATES = {3: "pending", 4: "held", 5: "processing", 6: "stopped", 7: "canceled", 8: "aborted", 9: "completed"}
PRINTER_IDLE = 3

# Hands the scheduler's job events to the caller through the FIFO named by
# its URI (tmkevents:/fifo); asking the scheduler instead would cost it CPU
# time of its own, which the benchmark measures.
NOTIFIER = """#!/bin/sh
exec cat > "${1#tmkevents:}"
"""


def can_run():
    """Why a private cupsd cannot be started here, or None when it can."""
    if os.geteuid() != 0:
        return "needs root: cupsd starts as root and runs the filters as lp"
    if not shutil.which("cupsd"):
        return "cupsd is not installed (Debian package cups-daemon)"
    return None


def ipp_message(operation, request_id, groups):
    """An IPP message; groups are (group tag, [(value tag, name, value)])
    with str or int values; a list value gives one attribute of several
    values."""
    out = struct.pack(">BBHI", 2, 0, operation, request_id)
    for group, attributes in groups:
        out += bytes([group])
        for tag, name, value in attributes:
            for i, one in enumerate(value if isinstance(value, list) else [value]):
                data = struct.pack(">i", one) if isinstance(one, int) else one.encode()
                key = b"" if i else name.encode()
                out += struct.pack(">BH", tag, len(key)) + key + struct.pack(">H", len(data)) + data
    return out + b"\x03"


def ipp_parse(data):
    """(status or operation code, {name: value}, length) of the IPP message at
    the start of DATA, or None while it is incomplete. Integers and enums come
    as int, the rest as bytes; an attribute of several values as a list."""
    if len(data) < 8:
        return None
    attributes = {}
    name = None
    at = 8
    while True:
        if at >= len(data):
            return None
        tag = data[at]
        at += 1
        if tag == 0x03:
            return struct.unpack_from(">H", data, 2)[0], attributes, at
        if tag < 0x10:
            name = None  # a new group: its attributes do not continue the last one
            continue
        if at + 2 > len(data):
            return None
        name_length = struct.unpack_from(">H", data, at)[0]
        new_name = data[at + 2:at + 2 + name_length].decode(errors="replace")
        at += 2 + name_length
        if at + 2 > len(data):
            return None
        value_length = struct.unpack_from(">H", data, at)[0]
        value = data[at + 2:at + 2 + value_length]
        at += 2 + value_length
        if at > len(data):
            return None
        if tag in (0x21, 0x23) and value_length == 4:
            value = struct.unpack(">i", value)[0]
        if new_name:
            # Of an attribute in several groups, the first group's values.
            name = None if new_name in attributes else new_name
            if name:
                attributes[name] = value
        elif name is not None:  # one more value of the attribute before
            known = attributes[name]
            attributes[name] = (known if isinstance(known, list) else [known]) + [value]


def values(attributes, name):
    """Every value of an attribute, as a list."""
    value = attributes.get(name)
    return [] if value is None else value if isinstance(value, list) else [value]


class Ipp:
    """Just enough IPP over cupsd's local socket: one kept-open connection,
    each request in one write."""

    def __init__(self, path):
        self.path = path
        self.sock = None
        self.request_id = 0

    def _exchange(self, message):
        if self.sock is None:
            self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.sock.connect(self.path)
        self.sock.sendall(message)
        data = b""
        while True:
            more = self.sock.recv(65536)
            if not more:
                raise ConnectionError("cupsd closed the connection")
            data += more
            head, found, body = data.partition(b"\r\n\r\n")
            if found:
                length = re.search(rb"\r\nContent-Length: *(\d+)", head, re.I)
                if not length:
                    raise ConnectionError("no Content-Length in cupsd's answer")
                if len(body) >= int(length.group(1)):
                    return body

    def request(self, operation, target_name, target, *more_groups, wanted=None):
        self.request_id += 1
        operation_group = [(0x47, "attributes-charset", "utf-8"), (0x48, "attributes-natural-language", "en"),
                           (0x45, target_name, target)]
        if wanted:
            operation_group.append((0x44, "requested-attributes", wanted))
        body = ipp_message(operation, self.request_id, [(0x01, operation_group)] + list(more_groups))
        message = (b"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/ipp\r\n"
                   b"Content-Length: %d\r\n\r\n" % len(body)) + body
        try:
            data = self._exchange(message)
        except OSError:
            # cupsd drops a connection left idle for its keep-alive time.
            self.sock.close()
            self.sock = None
            data = self._exchange(message)
        status, attributes, _ = ipp_parse(data)
        if status >= 0x0400:
            raise RuntimeError(f"cupsd refused IPP operation {operation:#06x}: status {status:#06x}")
        return attributes

    def close(self):
        if self.sock is not None:
            self.sock.close()
            self.sock = None

    def job(self, job, *names):
        return self.request(0x0009, "job-uri", f"ipp://localhost/jobs/{job}", wanted=list(names))

    def printer(self, queue, *names):
        return self.request(0x000B, "printer-uri", f"ipp://localhost/printers/{queue}", wanted=list(names))

    def job_state(self, job):
        return self.job(job, "job-state").get("job-state")

    def printer_state(self, queue):
        return self.printer(queue, "printer-state").get("printer-state")


def install_program(source, target, mode=0o755):
    """A root-owned copy that nobody else may write, as cupsd wants it: a new
    file, never written through a link into the system's folders."""
    fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
    with os.fdopen(fd, "wb") as out, open(source, "rb") as data:
        shutil.copyfileobj(data, out)
    os.chmod(target, mode)


def make_dir(path, mode=0o755):
    os.mkdir(path)
    os.chmod(path, mode)  # whatever the umask: cupsd refuses group- or world-writable folders


def server_bin(bin_dir, filter_path, backend_path=None):
    """Fills BIN_DIR as a ServerBin: the stock programs as symlinks, our
    filter, and when given the test printer as backend tmktest and the event
    notifier. cupsfilter takes it as CUPS_SERVERBIN too."""
    # Ours are copies of the build's, never links to an installed package's.
    own = {("filter", FILTER_NAME), ("backend", "tmktest"), ("notifier", "tmkevents")}
    for sub in sorted(os.listdir(STOCK_SERVERBIN)):
        stock = os.path.join(STOCK_SERVERBIN, sub)
        if not os.path.isdir(stock):
            continue
        make_dir(os.path.join(bin_dir, sub))
        for name in os.listdir(stock):
            if (sub, name) not in own:
                os.symlink(os.path.join(stock, name), os.path.join(bin_dir, sub, name))
    for sub in ("filter", "backend", "notifier"):
        if not os.path.isdir(os.path.join(bin_dir, sub)):
            make_dir(os.path.join(bin_dir, sub))
    install_program(filter_path, os.path.join(bin_dir, "filter", FILTER_NAME))
    if backend_path:
        # 0700: cupsd runs it as root, as it does the stock USB backend.
        install_program(backend_path, os.path.join(bin_dir, "backend", "tmktest"), 0o700)
        notifier = os.path.join(bin_dir, "notifier", "tmkevents")
        with os.fdopen(os.open(notifier, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o755), "w") as f:
            f.write(NOTIFIER)
        os.chmod(notifier, 0o755)


def device_uri(path, status=None, rate=0):
    """The test printer's URI: it keeps the job in PATH, answers the status
    request with STATUS (a byte, or "none" for no answer), takes RATE bytes
    per second when given."""
    query = []
    if status is not None:
        query.append("status=none" if status == "none" else f"status={status:02X}")
    if rate:
        query.append(f"rate={rate}")
    return f"tmktest:{path}" + ("?" + "&".join(query) if query else "")


class Cupsd:
    """A private scheduler in a temporary folder; close() (or the end of a
    with block) stops it and removes the folder."""

    def __init__(self, filter_path, backend_path, log_level="debug", keep=False):
        why = can_run()
        if why:
            raise RuntimeError(why)
        self.keep = keep
        self.process = None
        self.events = self.events_writer = None
        self.work = tempfile.mkdtemp(prefix="tmk-cupsd-")
        try:
            self._start(filter_path, backend_path, log_level)
        except BaseException:
            self.close()
            raise

    def _start(self, filter_path, backend_path, log_level):
        os.chmod(self.work, 0o755)  # the filters run as lp and read the PPDs below it
        d = {name: os.path.join(self.work, name) for name in ("conf", "spool", "cache", "state", "tmp", "log", "bin", "out")}
        for path in d.values():
            make_dir(path)
        # The filters (as lp) keep their temporary files here.
        os.chown(d["tmp"], 0, grp.getgrnam("lp").gr_gid)
        os.chmod(d["tmp"], 0o1770)
        self.out = d["out"]
        self.log = d["log"]
        self.socket = os.path.join(self.work, "cupsd.sock")
        server_bin(d["bin"], filter_path, backend_path)
        files_conf = os.path.join(d["conf"], "cups-files.conf")
        # The sanitizers' settings of a sanitizer build reach its filter.
        with open(files_conf, "w") as f:
            f.write(f"ServerRoot {d['conf']}\nRequestRoot {d['spool']}\nCacheDir {d['cache']}\nStateDir {d['state']}\n"
                    f"TempDir {d['tmp']}\nServerBin {d['bin']}\nErrorLog {d['log']}/error_log\n"
                    f"AccessLog {d['log']}/access_log\nPageLog {d['log']}/page_log\nPrintcap {d['state']}/printcap\n"
                    "User lp\nGroup lp\nPassEnv ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS\n")
        conf = os.path.join(d["conf"], "cupsd.conf")
        # No authentication: the only way in is the socket in our own folder.
        # Otherwise cupsd's defaults, as a packaged CUPS has them.
        with open(conf, "w") as f:
            f.write(f"Listen {self.socket}\nLogLevel {log_level}\nLogTimeFormat usecs\nErrorPolicy abort-job\n"
                    "Browsing No\nBrowseLocalProtocols none\nWebInterface No\nDefaultAuthType None\n"
                    "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                    "<Policy default>\n  JobPrivateAccess all\n  JobPrivateValues none\n  SubscriptionPrivateAccess all\n"
                    "  SubscriptionPrivateValues none\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n")
        self.process = subprocess.Popen(["cupsd", "-f", "-c", conf, "-s", files_conf],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        while True:
            try:
                with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                    s.connect(self.socket)
                break
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError(f"cupsd did not start:\n{self.error_log_tail()}") from None
                time.sleep(0.02)
        self.ipp = Ipp(self.socket)
        if backend_path is None:
            return
        # Every job's end, as the scheduler announces it. The FIFO is also
        # held open for writing here so that it never reads as ended.
        fifo = os.path.join(self.out, "events")
        os.mkfifo(fifo)
        os.chmod(fifo, 0o666)  # the notifier runs as lp
        self.events = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        self.events_writer = os.open(fifo, os.O_WRONLY)
        self.pending = b""
        self.ipp.request(0x0016, "printer-uri", "ipp://localhost/",
                         (0x06, [(0x45, "notify-recipient-uri", f"tmkevents:{fifo}"),
                                 (0x44, "notify-events", ["job-completed", "job-state-changed"]),
                                 (0x21, "notify-lease-duration", 0)]))

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def lpadmin(self, *args):
        done = subprocess.run(["lpadmin", "-h", self.socket] + list(args), capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(f"lpadmin {' '.join(args)}: {done.stderr.strip()}")

    def add_queue(self, name, ppd, **printer):
        """A queue on the test printer; PRINTER as for device_uri(). Returns
        the file that gets what the printer receives."""
        device = os.path.join(self.out, name)
        self.lpadmin("-p", name, "-E", "-v", device_uri(device, **printer), "-P", ppd)
        return device

    def set_printer(self, name, **printer):
        """The queue's printer now answers differently (see device_uri())."""
        self.lpadmin("-p", name, "-v", device_uri(os.path.join(self.out, name), **printer))

    def submit(self, queue, path, options=(), copies=None, title="label"):
        argv = ["lp", "-h", self.socket, "-d", queue, "-t", title]
        if copies is not None:
            argv += ["-n", str(copies)]
        for option in options:
            argv += ["-o", option]
        done = subprocess.run(argv + [path], capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(f"lp refused {path}: {done.stderr.strip()}")
        return int(re.search(r"-(\d+) \(", done.stdout).group(1))

    def cancel(self, job):
        subprocess.run(["cancel", "-h", self.socket, str(job)], check=True, capture_output=True)

    def wait_job(self, job, timeout=60):
        """The job's final state, from the scheduler's events: completed,
        canceled or aborted, or stopped or held again after it had begun (a
        job being sent is held until its document is in)."""
        deadline = time.monotonic() + timeout
        began = False
        while True:
            parsed = ipp_parse(self.pending)
            if parsed:
                self.pending = self.pending[parsed[2]:]
                state = parsed[1].get("job-state")
                if parsed[1].get("notify-job-id") != job:
                    continue
                if state in (JOB_CANCELED, JOB_ABORTED, JOB_COMPLETED, JOB_STOPPED) or began and state == JOB_HELD:
                    return state
                began = began or state == JOB_PROCESSING
                continue
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.events], [], [], left)[0]:
                raise TimeoutError(f"job {job} did not end in {timeout} s:\n{self.error_log_tail()}")
            self.pending += os.read(self.events, 65536)

    def wait_idle(self, queue, timeout=60):
        """Until the queue's last job has ended, its processes included."""
        deadline = time.monotonic() + timeout
        while self.ipp.printer_state(queue) != PRINTER_IDLE:
            if time.monotonic() > deadline:
                raise TimeoutError(f"{queue} still busy after {timeout} s:\n{self.error_log_tail()}")
            time.sleep(0.01)

    def read_log(self, name="error_log"):
        try:
            with open(os.path.join(self.log, name), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def error_log_tail(self, lines=30):
        return "".join(self.read_log().splitlines(keepends=True)[-lines:])

    def close(self):
        for fd in (self.events, self.events_writer):
            if fd is not None:
                os.close(fd)
        self.events = self.events_writer = None
        if getattr(self, "ipp", None):
            self.ipp.close()
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.keep:
            print(f"kept {self.work}")
        else:
            shutil.rmtree(self.work, ignore_errors=True)
