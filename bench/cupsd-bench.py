#!/usr/bin/env python3
"""The label filter under a real scheduler: a private cupsd, our filter beside
CUPS's rastertolabel (ZPL), one job at a time.

Needs: root (cupsd is started as root and runs the filters as lp, the way a
packaged CUPS does), python3, cups, cups-client, cups-ppdc, ghostscript (and
cups-filters for --pdf), and a build of the filter (by default
build-bench/src/rastertoTmkLabel; --filter names another). The system's CUPS
is neither used nor needed: the private cupsd has its own configuration,
spool, logs and server-binary folder (symlinks to the stock programs, a copy
of our filter, a pretend printer backend and an event notifier of ours) and
listens only on a socket in a temporary folder, removed at the end.

Timing rounds (default): a 100-label 4 x 6 in job at 203 dpi, rendered once
to CUPS raster, is sent with lp to three queues in interleaved rounds: ours
with CompPrinting 1 and RunTrace 0, ours with RunTrace 1, and the peer. Per
job it measures the wall time from starting lp to the scheduler's
job-completed event (pushed to us, so that no polling adds to the
scheduler's work) and the scheduler's CPU time (utime + stime of the cupsd
process, and its nanosecond schedstat count). With --pdf the job is also
sent as a PDF through the stock prefilters.

--cancel: the printer takes 100 KB/s; the job is cancelled once the printer
has about 200 KB; reports what reached the printer after the cancel request
and after the backend's SIGTERM, how many labels that was and whether the
last one was whole.
"""
import argparse
import grp
import os
import re
import select
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

from labeljobs import PEER, ROOT, gs_render, peer_ppds

POLL = 0.002  # how often the printer's file is looked at in --cancel
TICK = os.sysconf("SC_CLK_TCK")
STOCK_SERVERBIN = "/usr/lib/cups"

# The pretend printer: copies what the job sends to the file named by its URI
# (tmkbench:/file?rate=BYTES-PER-SECOND), at that rate when one is given. Like
# CUPS's own backends it does not stop on SIGTERM while it reads the job from
# standard input: a printer must get the rest of the page the filter finishes.
# It notes the time and byte count at its start, at SIGTERM and at the end.
BACKEND = r'''#!/usr/bin/python3 -S
import os, signal, sys, time, urllib.parse
if len(sys.argv) == 1:
    print('direct tmkbench "Unknown" "Benchmark printer"')
    sys.exit(0)
uri = urllib.parse.urlsplit(os.environ["DEVICE_URI"])
rate = int(dict(urllib.parse.parse_qsl(uri.query)).get("rate", "0"))
got = 0
def note(what):
    with open(uri.path + ".notes", "a") as notes:
        notes.write(f"{what} {time.monotonic():.6f} {got}\n")
open(uri.path + ".notes", "w").close()
note("start")
signal.signal(signal.SIGTERM, lambda *_: note("term"))
src = os.open(sys.argv[6], os.O_RDONLY) if len(sys.argv) > 6 else 0
out = os.open(uri.path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
start = time.monotonic()
while True:
    data = os.read(src, 1024 if rate else 65536)
    if not data:
        break
    os.write(out, data)
    got += len(data)
    if rate:
        late = start + got / rate - time.monotonic()
        if late > 0:
            time.sleep(late)
note("end")
os._exit(0)  # the job ends when the backend does: no interpreter teardown
'''

# Hands the scheduler's job events to the benchmark through the FIFO named by
# its URI (tmkevents:/fifo): a job's end is seen without asking the scheduler,
# which would cost it CPU time of its own.
NOTIFIER = """#!/bin/sh
exec cat > "${1#tmkevents:}"
"""

RUN_TRACE_OPTION = """
*OpenUI *RunTrace/Run-Length Trace: PickOne
*DefaultRunTrace: 0_Off
*RunTrace 0_Off/Off: ""
*RunTrace 1_On/On: ""
*CloseUI: *RunTrace
"""

JOB_HELD, JOB_PROCESSING, JOB_STOPPED, JOB_CANCELED, JOB_ABORTED, JOB_COMPLETED = 4, 5, 6, 7, 8, 9
PRINTER_IDLE = 3


def ipp_message(operation, request_id, groups):
    """An IPP message; groups are (group tag, [(value tag, name, value)])
    with str or int values."""
    out = struct.pack(">BBHI", 2, 0, operation, request_id)
    for group, attributes in groups:
        out += bytes([group])
        for tag, name, value in attributes:
            data = struct.pack(">i", value) if isinstance(value, int) else value.encode()
            out += struct.pack(">BH", tag, len(name)) + name.encode() + struct.pack(">H", len(data)) + data
    return out + b"\x03"


def ipp_parse(data):
    """(status or operation code, {name: first value}, length) of the IPP
    message at the start of DATA, or None while it is incomplete. Integers
    and enums come as int, the rest as bytes."""
    if len(data) < 8:
        return None
    attributes = {}
    at = 8
    while True:
        if at >= len(data):
            return None
        tag = data[at]
        at += 1
        if tag == 0x03:
            return struct.unpack_from(">H", data, 2)[0], attributes, at
        if tag < 0x10:
            continue
        if at + 2 > len(data):
            return None
        name_length = struct.unpack_from(">H", data, at)[0]
        name = data[at + 2:at + 2 + name_length].decode(errors="replace")
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
        attributes.setdefault(name, value)


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
            raise SystemExit(f"cupsd refused IPP operation {operation:#06x}: status {status:#06x}")
        return attributes

    def job_state(self, job):
        return self.request(0x0009, "job-uri", f"ipp://localhost/jobs/{job}", wanted="job-state").get("job-state")

    def printer_state(self, queue):
        return self.request(0x000B, "printer-uri", f"ipp://localhost/printers/{queue}",
                            wanted="printer-state").get("printer-state")


class Cupsd:
    """A private scheduler in a temporary folder."""

    def __init__(self, filter_path, log_level, keep):
        self.keep = keep
        self.work = tempfile.mkdtemp(prefix="tmk-cupsd-")
        os.chmod(self.work, 0o755)  # the filters run as lp and read the PPDs below it
        d = {name: os.path.join(self.work, name) for name in ("conf", "spool", "cache", "state", "tmp", "log", "bin", "out")}
        for path in d.values():
            os.mkdir(path, 0o755)
        # The filters (as lp) keep their temporary files here.
        os.chown(d["tmp"], 0, grp.getgrnam("lp").gr_gid)
        os.chmod(d["tmp"], 0o1770)
        self.out = d["out"]
        self.log = d["log"]
        self.socket = os.path.join(self.work, "cupsd.sock")
        self._server_bin(d["bin"], filter_path)
        files_conf = os.path.join(d["conf"], "cups-files.conf")
        with open(files_conf, "w") as f:
            f.write(f"ServerRoot {d['conf']}\nRequestRoot {d['spool']}\nCacheDir {d['cache']}\nStateDir {d['state']}\n"
                    f"TempDir {d['tmp']}\nServerBin {d['bin']}\nErrorLog {d['log']}/error_log\n"
                    f"AccessLog {d['log']}/access_log\nPageLog {d['log']}/page_log\nPrintcap {d['state']}/printcap\n"
                    "User lp\nGroup lp\n")
        conf = os.path.join(d["conf"], "cupsd.conf")
        # No authentication: the only way in is the socket in our own folder.
        # Otherwise cupsd's defaults, as a packaged CUPS has them.
        with open(conf, "w") as f:
            f.write(f"Listen {self.socket}\nLogLevel {log_level}\nLogTimeFormat usecs\nBrowsing No\nBrowseLocalProtocols none\n"
                    "WebInterface No\nDefaultAuthType None\n"
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
                    self.close()
                    raise SystemExit(f"cupsd did not start; see {self.log}/error_log") from None
                time.sleep(0.05)
        self.ipp = Ipp(self.socket)
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
                                 (0x44, "notify-events", "job-completed"),
                                 (0x44, "notify-events", "job-state-changed"),
                                 (0x21, "notify-lease-duration", 0)]))

    @staticmethod
    def _server_bin(bin_dir, filter_path):
        # cupsd runs only programs that root owns and nobody else may write,
        # in folders of the same kind: symlinks to the stock ones, a copy of
        # ours.
        for sub in sorted(os.listdir(STOCK_SERVERBIN)):
            stock = os.path.join(STOCK_SERVERBIN, sub)
            if not os.path.isdir(stock):
                continue
            os.mkdir(os.path.join(bin_dir, sub), 0o755)
            for name in os.listdir(stock):
                os.symlink(os.path.join(stock, name), os.path.join(bin_dir, sub, name))
        os.makedirs(os.path.join(bin_dir, "filter"), 0o755, exist_ok=True)
        shutil.copyfile(filter_path, os.path.join(bin_dir, "filter", "rastertoTmkLabel"))
        os.chmod(os.path.join(bin_dir, "filter", "rastertoTmkLabel"), 0o755)
        os.makedirs(os.path.join(bin_dir, "backend"), 0o755, exist_ok=True)
        backend = os.path.join(bin_dir, "backend", "tmkbench")
        with open(backend, "w") as f:
            f.write(BACKEND)
        os.chmod(backend, 0o700)  # 0700: cupsd runs it as root, as it does the stock USB backend
        os.makedirs(os.path.join(bin_dir, "notifier"), 0o755, exist_ok=True)
        notifier = os.path.join(bin_dir, "notifier", "tmkevents")
        with open(notifier, "w") as f:
            f.write(NOTIFIER)
        os.chmod(notifier, 0o755)

    def add_queue(self, name, ppd, rate=0):
        device = os.path.join(self.out, name)
        uri = f"tmkbench:{device}" + (f"?rate={rate}" if rate else "")
        subprocess.run(["lpadmin", "-h", self.socket, "-p", name, "-E", "-v", uri, "-P", ppd,
                        "-o", "printer-error-policy=abort-job"], check=True, capture_output=True)
        return device

    def cpu(self):
        """(utime + stime in seconds, CPU time in seconds from the scheduler's
        own nanosecond count) of the cupsd process."""
        with open(f"/proc/{self.process.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        run_ns = 0
        task_dir = f"/proc/{self.process.pid}/task"
        for task in os.listdir(task_dir):
            with open(os.path.join(task_dir, task, "schedstat")) as f:
                run_ns += int(f.read().split()[0])
        return (int(fields[11]) + int(fields[12])) / TICK, run_ns / 1e9

    def submit(self, queue, path, options):
        argv = ["lp", "-h", self.socket, "-d", queue, "-t", "bench"]
        for option in options:
            argv += ["-o", option]
        said = subprocess.run(argv + [path], check=True, capture_output=True, text=True).stdout
        return int(re.search(r"-(\d+) \(", said).group(1))

    def wait_job(self, job, timeout=600):
        """The job's final state, from the scheduler's events: completed,
        cancelled or aborted, or stopped or held again after it had begun (a
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
                raise SystemExit(f"job {job} did not end in {timeout} s; see {self.log}/error_log")
            self.pending += os.read(self.events, 65536)

    def wait_idle(self, queue, timeout=600):
        deadline = time.monotonic() + timeout
        while self.ipp.printer_state(queue) != PRINTER_IDLE:
            if time.monotonic() > deadline:
                raise SystemExit(f"{queue} still busy after {timeout} s; see {self.log}/error_log")
            time.sleep(0.01)

    def error_log_tail(self, lines=20):
        try:
            with open(os.path.join(self.log, "error_log"), errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return ""

    def close(self):
        for fd in (getattr(self, "events", None), getattr(self, "events_writer", None)):
            if fd is not None:
                os.close(fd)
        if self.process.poll() is None:
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


def tmk_ppd(work):
    """The sample PPD with the 4 x 6 in label as default and the RunTrace
    option."""
    with open(os.path.join(ROOT, "samples", "tmk-sample.ppd")) as f:
        text = f.read()
    text = re.sub(r"^(\*Default(?:PageSize|PageRegion|ImageableArea|PaperDimension)): 9$", r"\1: 51", text, flags=re.M)
    text = re.sub(r"^\*DefaultCompPrinting: \S+$", "*DefaultCompPrinting: 1", text, flags=re.M)
    path = os.path.join(work, "tmk-bench.ppd")
    with open(path, "w") as f:
        f.write(text + RUN_TRACE_OPTION)
    return path


# Where a label ends: our print command, ZPL's end of format.
LABEL_END = {"tmk": re.compile(rb"\r\nP1(?:,\d+)?\r\n"), "zpl": re.compile(rb"\^IDR:CUPS\.GRF\^FS\s*\^XZ\s*")}


def forget(device):
    """Removes what the printer got in the last job."""
    for path in (device, device + ".notes"):
        if os.path.exists(path):
            os.unlink(path)


def labels_in(data, language, after=0):
    return sum(1 for m in LABEL_END[language].finditer(data) if m.end() > after)


def last_label(data, language):
    """How the printer's stream ends: after a whole label, with ZPL's
    download abort (~DN, rastertolabel's way to drop the cancelled label), or
    in the middle of a label."""
    last = None
    for last in LABEL_END[language].finditer(data):
        pass
    if last is not None and last.end() == len(data):
        return "whole"
    return "~DN" if language == "zpl" and re.search(rb"~DN\s*\Z", data) else "CUT"


def spread(values, scale=1.0, digits=3):
    med = statistics.median(values) * scale
    return f"{med:.{digits}f} ({min(values) * scale:.{digits}f}-{max(values) * scale:.{digits}f})"


def timing(cupsd, args, raster, pdf, ppd, zpl):
    ours = cupsd.add_queue("tmk", ppd)
    peer = cupsd.add_queue("zpl", zpl)
    raster_format = "document-format=application/vnd.cups-raster"
    jobs = [("ours RunTrace 0", "tmk", ours, "tmk", raster, [raster_format, "CompPrinting=1", "RunTrace=0_Off"]),
            ("ours RunTrace 1", "tmk", ours, "tmk", raster, [raster_format, "CompPrinting=1", "RunTrace=1_On"]),
            ("peer rastertolabel", "zpl", peer, "zpl", raster, [raster_format])]
    if pdf:
        jobs += [("ours RunTrace 0, PDF", "tmk", ours, "tmk", pdf, ["CompPrinting=1", "RunTrace=0_Off"]),
                 ("peer, PDF", "zpl", peer, "zpl", pdf, [])]

    def run(job):
        name, queue, device, language, path, options = job
        time.sleep(0.2)  # the scheduler's housekeeping of the last job is done
        forget(device)
        cpu0 = cupsd.cpu()
        start = time.monotonic()
        number = cupsd.submit(queue, path, options)
        state = cupsd.wait_job(number)
        wall = time.monotonic() - start
        time.sleep(0.1)  # what the scheduler does right after the job is the job's
        cpu1 = cupsd.cpu()
        if state != JOB_COMPLETED:
            raise SystemExit(f"{name}: job {number} ended in state {state}\n{cupsd.error_log_tail()}")
        with open(device, "rb") as f:
            data = f.read()
        return wall, cpu1[0] - cpu0[0], cpu1[1] - cpu0[1], len(data), labels_in(data, language)

    for job in jobs:
        run(job)  # first job of each kind: filters and PPD caches warm
    results = {job[0]: [] for job in jobs}
    for r in range(args.rounds):
        order = jobs[r % len(jobs):] + jobs[:r % len(jobs)]
        for job in order:
            results[job[0]].append(run(job))
        print(f"round {r + 1}/{args.rounds} done", file=sys.stderr)

    print(f"{args.labels} labels of 4 x 6 in at 203 dpi, compressed; {args.rounds} rounds; cupsd LogLevel {args.log_level}")
    print(f"{'job':<22} {'wall s: median (min-max)':>26} {'cupsd CPU s, utime+stime':>26} "
          f"{'cupsd CPU s, schedstat':>24} {'to printer B':>13} {'labels':>6}")
    for name, runs in results.items():
        print(f"{name:<22} {spread([x[0] for x in runs]):>26} {spread([x[1] for x in runs], digits=2):>26} "
              f"{spread([x[2] for x in runs]):>24} {runs[0][3]:>13} {runs[0][4]:>6}")
    print()
    peer_runs = results["peer rastertolabel"]
    for name in ("ours RunTrace 0", "ours RunTrace 1"):
        runs = results[name]
        per_round = [a[0] / b[0] for a, b in zip(runs, peer_runs)]
        wall_ratio = statistics.median(x[0] for x in runs) / statistics.median(x[0] for x in peer_runs)
        ours_cpu = statistics.median(x[1] for x in runs)
        peer_cpu = statistics.median(x[1] for x in peer_runs)
        fine = statistics.median(x[2] for x in runs) / statistics.median(x[2] for x in peer_runs)
        target = name == "ours RunTrace 0"
        print(f"{'target ' if target else ''}{name} wall <= 0.5 x peer: {wall_ratio:.2f} "
              f"(per round {min(per_round):.2f}-{max(per_round):.2f})"
              + (f" {'met' if wall_ratio <= 0.5 else 'MISSED'}" if target else ""))
        print(f"{'target ' if target else ''}{name} cupsd CPU <= peer: {ours_cpu:.2f} s against {peer_cpu:.2f} s "
              f"(schedstat ratio {fine:.2f})"
              + (f" {'met' if ours_cpu <= peer_cpu else 'MISSED'}" if target else ""))


def cancel(cupsd, args, raster, ppd, zpl):
    queues = [("ours RunTrace 0", cupsd.add_queue("tmk-slow", ppd, args.rate), "tmk-slow", "tmk",
               ["document-format=application/vnd.cups-raster", "CompPrinting=1", "RunTrace=0_Off"]),
              ("peer rastertolabel", cupsd.add_queue("zpl-slow", zpl, args.rate), "zpl-slow", "zpl",
               ["document-format=application/vnd.cups-raster"])]
    print(f"cancel after {args.cancel_at} B of {args.labels} labels, printer at {args.rate} B/s, "
          "cupsd JobKillDelay default")
    print(f"{'job':<20} {'B after cancel':>15} {'B after SIGTERM':>16} {'labels after':>13} {'last label':>11} "
          f"{'backend':>9} {'s to idle':>10}")
    for r in range(args.rounds):
        for name, device, queue, language, options in queues:
            forget(device)
            number = cupsd.submit(queue, raster, options)
            deadline = time.monotonic() + 120
            while not os.path.exists(device) or os.path.getsize(device) < args.cancel_at:
                if time.monotonic() > deadline:
                    raise SystemExit(f"{name}: the printer never had {args.cancel_at} B; see {cupsd.log}/error_log")
                time.sleep(POLL)
            at = os.path.getsize(device)
            cancelled = time.monotonic()
            subprocess.run(["cancel", "-h", cupsd.socket, str(number)], check=True, capture_output=True)
            cupsd.wait_job(number)
            cupsd.wait_idle(queue)
            idle = time.monotonic() - cancelled
            with open(device, "rb") as f:
                data = f.read()
            notes = {}
            with open(device + ".notes") as f:
                for line in f:
                    what, when, count = line.split()
                    notes.setdefault(what, (float(when), int(count)))
            term = notes.get("term")
            print(f"{name:<20} {len(data) - at:>15} {len(data) - term[1] if term else '-':>16} "
                  f"{labels_in(data, language, at):>13} {last_label(data, language):>11} "
                  f"{'ended' if 'end' in notes else 'killed':>9} {idle:>10.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--filter", default=os.path.join(ROOT, "build-bench", "src", "rastertoTmkLabel"),
                        help="the filter binary to install")
    parser.add_argument("--rounds", type=int, help="interleaved rounds (default 9; 3 with --cancel)")
    parser.add_argument("--quick", action="store_true", help="10 labels (100 with --cancel) and 2 rounds: proves the script works")
    parser.add_argument("--pdf", action="store_true", help="also send the job as a PDF through the prefilters")
    parser.add_argument("--cancel", action="store_true", help="measure a cancel on a slow printer instead")
    parser.add_argument("--rate", type=int, default=102400, help="--cancel: printer speed in bytes per second")
    parser.add_argument("--cancel-at", type=int, default=200 * 1024, help="--cancel: bytes at the printer then")
    parser.add_argument("--log-level", default="warn", help="cupsd LogLevel (its default is warn)")
    parser.add_argument("--keep", action="store_true", help="keep the scheduler's folder (logs, printer output)")
    args = parser.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("run as root: cupsd starts as root and runs the filters as lp")
    if not os.access(PEER, os.X_OK) or not os.access(args.filter, os.X_OK):
        raise SystemExit(f"needs {args.filter} and {PEER}")
    args.labels = 10 if args.quick and not args.cancel else 100  # a cancel needs a long job
    if args.rounds is None:
        args.rounds = 2 if args.quick else 3 if args.cancel else 9

    work = tempfile.mkdtemp(prefix="tmk-cupsd-jobs-")
    os.chmod(work, 0o755)
    cupsd = None
    try:
        raster = os.path.join(work, "labels.ras")
        gs_render("shipping-label.ps", raster, 203, 288, 432, args.labels)
        pdf = None
        if args.pdf and not args.cancel:
            pdf = os.path.join(work, "labels.pdf")
            gs_render("shipping-label.ps", pdf, 203, 288, 432, args.labels, device="pdfwrite")
        for path in (raster, pdf):
            if path:
                os.chmod(path, 0o644)
        ppd = tmk_ppd(work)
        zpl = peer_ppds(work)[203]
        cupsd = Cupsd(args.filter, args.log_level, args.keep)
        if args.cancel:
            cancel(cupsd, args, raster, ppd, zpl)
        else:
            timing(cupsd, args, raster, pdf, ppd, zpl)
    finally:
        if cupsd:
            cupsd.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
