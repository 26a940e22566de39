#!/usr/bin/env python3
"""The printer application under trickling clients: CONNECTIONS loopback
connections from one process, each sending one byte of an HTTP request that
never ends every INTERVAL seconds, so that PAPPL, which waits 30 s for a
client to send anything, never closes one.

Needs root (the app runs as nobody, as the tests run it), python3, ipptool
(cups-ipp-utils) and a build with the app, the filter and the PPDs (by
default build/).

The app of --build, with --option its server options, and with --against a
second app from another build (--against-option, its options), one after
the other, each with one printer. Reported for each: the app's threads and
memory (VmRSS, and VmHWM, its peak) at rest and after SETTLE seconds of the
load; the time to answer a Get-Printer-Attributes over a fresh loopback
connection and the command line's `printers` over the control socket (run
as the server's user), at rest and under the load, where no answer within
TIMEOUT s counts as none; and, once the load's process ends, how long until
a Get-Printer-Attributes is answered again.
"""
import argparse
import errno
import os
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tools"))
from printer_app import PretendPrinter, PrinterApp, create_printer  # noqa: E402

DRIVER = "tamrisk_standard-203dpi"
# A request line and a header whose value never ends.
REQUEST = b"GET / HTTP/1.1\r\nHost: localhost\r\nX-Trickle: "
TICK = 0.1


def trickle(port, count, interval):
    """The load (its own process): opens COUNT connections, a thousand a
    second, and sends each one byte every INTERVAL seconds, opening a new one
    for each the app closes; prints "open N closed M" every second."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = count + 64
    if soft < want:
        resource.setrlimit(resource.RLIMIT_NOFILE, (want, max(hard, want)))
    connections = []  # [socket, bytes sent]
    closed = 0
    start = time.monotonic()
    ticks = max(1, round(interval / TICK))
    tick = 0
    reported = start
    while True:
        now = time.monotonic()
        while len(connections) < min(count, (now - start) * 1000):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", port))
            connections.append([s, 0])
        for i in range(tick % ticks, len(connections), ticks):
            s, sent = connections[i]
            byte = REQUEST[sent:sent + 1] or b"a"
            try:
                connections[i][1] += s.send(byte)
            except OSError as e:
                if e.errno in (errno.EAGAIN, errno.ENOTCONN, errno.EINPROGRESS):
                    continue  # not connected yet
                s.close()
                closed += 1
                fresh = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                fresh.setblocking(False)
                fresh.connect_ex(("127.0.0.1", port))
                connections[i] = [fresh, 0]
        tick += 1
        if now - reported >= 1:
            print(f"open {sum(1 for c in connections if c[1] > 0)} closed {closed}", flush=True)
            reported = now
        time.sleep(max(0.0, start + tick * TICK - time.monotonic()))


def status(pid):
    """(threads, VmRSS MiB, VmHWM MiB) of a process."""
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            name, _, value = line.partition(":")
            fields[name] = value.split()
    return int(fields["Threads"][0]), int(fields["VmRSS"][0]) / 1024, int(fields["VmHWM"][0]) / 1024


def timed(argv, timeout, cwd=None):
    """Seconds that ARGV took to succeed, or None: it failed, or gave no
    answer within TIMEOUT seconds."""
    start = time.monotonic()
    try:
        done = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout, cwd=cwd)
    except subprocess.TimeoutExpired:
        return None
    return time.monotonic() - start if done.returncode == 0 else None


def shown(seconds, timeout):
    return f"none in {timeout:.0f} s" if seconds is None else f"{seconds * 1000:.0f} ms"


class Side:
    """One app, its printer and the two ways of asking it."""

    def __init__(self, name, build, options, work):
        self.name, self.build, self.options = name, build, options
        self.work = os.path.join(work, name)
        os.mkdir(self.work)
        self.printer = PretendPrinter()
        self.app = PrinterApp(os.path.join(build, "app", "tmk-printer-app"), os.path.join(build, "src", "rastertoTmkLabel"),
                              os.path.join(build, "ppd"), options=options)
        create_printer(self.work, self.app, "trickle", DRIVER, self.printer.uri())
        self.test = os.path.join(self.work, "attributes.test")
        with open(self.test, "w") as f:
            f.write("{\n  OPERATION Get-Printer-Attributes\n  GROUP operation-attributes-tag\n"
                    "  ATTR charset attributes-charset utf-8\n  ATTR naturalLanguage attributes-natural-language en\n"
                    "  ATTR uri printer-uri $uri\n  ATTR keyword requested-attributes printer-state\n"
                    "  STATUS successful-ok\n}\n")

    def attributes(self, timeout):
        return timed(["ipptool", "-T", str(timeout), self.app.uri("trickle"), self.test], timeout, self.work)

    def control(self, timeout):
        # As PrinterApp starts the server: its user, home and TMPDIR.
        home = self.app.home
        prefix = ["/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] if os.geteuid() == 0 else []
        return timed(prefix + ["/usr/bin/env", "-i", f"HOME={home}", f"TMPDIR={home}", f"{home}/tmk-printer-app",
                               "printers"], timeout)

    def close(self):
        self.app.close()
        self.printer.close()


def run(side, args):
    pid = side.app.process.pid
    lines = [f"{side.name}: {side.build}, " + (" ".join(side.options) or "default options")]
    threads, rss, _ = status(pid)
    lines.append(f"  at rest: {threads} threads, VmRSS {rss:.1f} MiB; Get-Printer-Attributes "
                 f"{shown(side.attributes(args.timeout), args.timeout)}, control socket "
                 f"{shown(side.control(args.timeout), args.timeout)}")
    load = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--load", str(side.app.port),
                             str(args.connections), str(args.interval)], stdout=subprocess.PIPE, text=True)
    last = [""]

    def follow():
        for line in load.stdout:
            last[0] = line.strip()

    follower = threading.Thread(target=follow, daemon=True)
    follower.start()
    most = 0
    end = time.monotonic() + args.settle
    while time.monotonic() < end:
        most = max(most, status(pid)[0])
        time.sleep(0.5)
    threads, rss, _ = status(pid)
    lines.append(f"  after {args.settle:.0f} s of {args.connections} trickling connections ({last[0]}): {threads} "
                 f"threads (at most {most}), VmRSS {rss:.1f} MiB")
    for _ in range(args.asks):
        lines.append(f"  under the load: Get-Printer-Attributes {shown(side.attributes(args.timeout), args.timeout)}, "
                     f"control socket {shown(side.control(args.timeout), args.timeout)}")
    threads, rss, hwm = status(pid)
    lines.append(f"  then: {threads} threads, VmRSS {rss:.1f} MiB, VmHWM {hwm:.1f} MiB")
    load.kill()
    load.wait()
    follower.join()
    stopped = time.monotonic()
    while side.attributes(5) is None and time.monotonic() - stopped < 120:
        pass
    lines.append(f"  the load ended: answered again after {time.monotonic() - stopped:.1f} s, "
                 f"{status(pid)[0]} threads")
    return lines


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--load":
        trickle(int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]))
        return
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"), help="the build to take the programs from")
    parser.add_argument("--option", action="append", default=[], metavar="NAME=VALUE", help="a server option")
    parser.add_argument("--against", metavar="BUILD", help="a second app, from this build, after the first")
    parser.add_argument("--against-option", action="append", default=[], metavar="NAME=VALUE")
    parser.add_argument("--connections", type=int, default=10000)
    parser.add_argument("--interval", type=float, default=5, help="seconds between a connection's bytes")
    parser.add_argument("--settle", type=float, default=60, help="seconds of load before asking")
    parser.add_argument("--timeout", type=float, default=60, help="seconds to wait for an answer")
    parser.add_argument("--asks", type=int, default=2, help="times each question is asked under the load")
    args = parser.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("run as root: the app runs as nobody")
    if not shutil.which("ipptool"):
        raise SystemExit("needs ipptool (cups-ipp-utils)")
    work = tempfile.mkdtemp(prefix="tmk-trickle-")
    os.chmod(work, 0o755)
    try:
        for name, build, options in (("app", args.build, args.option), ("against", args.against, args.against_option)):
            if build is None:
                continue
            side = Side(name, build, options, work)
            try:
                print("\n".join(run(side, args)), flush=True)
            finally:
                side.close()
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
