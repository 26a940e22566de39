"""Many printers on one printer application, beside a private cupsd with as
many queues: a warehouse's load.

Needs what bench/app-bench.py needs (root, python3, ipptool, cups,
cups-client, ghostscript) and a build with the app, the filter, the PPDs and
the test printer (by default build-appbench/).

One app (run as nobody on a loopback port, as the tests run it) gets PRINTERS
printers, driver tamrisk_standard-203dpi, each printing to a pretend printer
of its own on a loopback socket, and one more printer that gets no job. In
each of BURSTS bursts, every printer gets a LABELS-label 4 x 6 in job at 203
dpi (8-bit gray PWG raster, what IPP Everywhere clients send) at the same
moment, each from an ipptool of its own. Reported per burst: the time from
the first Print-Job to the last printer's last byte, and how much of it the
processors were idle (a bound that left them idle would show); meanwhile,
from the first Print-Job on, Get-Printer-Attributes (requested-attributes
all, a fresh connection every 20 ms) to the printer without a job and, from
a second thread, to the first printer, which has one; and the app's threads
every 10 ms. At the end the app's peak memory (VmHWM). Every printer must
get the same bytes, those of the same job sent alone first.

With --against, a second app from another build (and --against-option, its
server options) gets the same bursts, interleaved with the first's in one
run, so that a change is measured against its base under the same load.
--timeline writes every request's time into its burst and its seconds.

Then the same labels as 1-bit CUPS raster through a private cupsd with
PRINTERS queues (model 34, CompPrinting 1, RunTrace 0, the test printer as
backend), submitted with lp at the same moment: the time from the first lp to
the last queue's last byte.
"""
import argparse
import importlib.machinery
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import types

from labeljobs import ROOT, gs_render

sys.path.insert(0, os.path.join(ROOT, "tools"))
from private_cupsd import JOB_COMPLETED, Cupsd  # noqa: E402
from printer_app import PretendPrinter, PrinterApp, checked, create_printer, ipptool  # noqa: E402


def load(name, path):
    loader = importlib.machinery.SourceFileLoader(name, path)
    module = types.ModuleType(loader.name)
    loader.exec_module(module)
    return module


app_bench = load("app_bench", os.path.join(ROOT, "bench", "app-bench.py"))
cupsd_bench = app_bench.cupsd_bench
spread = cupsd_bench.spread


def submit(work, app, printer, pwg):
    """Print-Job of PWG to PRINTER, from a folder of its own; the process."""
    folder = os.path.join(work, printer)
    os.makedirs(folder, exist_ok=True)
    test = ("{\n  OPERATION Print-Job\n" + app_bench.OPERATION +
            "  ATTR mimeMediaType document-format image/pwg-raster\n"
            f"  GROUP job-attributes-tag\n  ATTR keyword media {app_bench.MEDIA}\n  FILE $filename\n"
            "  STATUS successful-ok\n}\n")
    return ipptool(folder, app.uri(printer), test, "-f", pwg)


def idle_seconds():
    """The machine's idle time so far, all processors."""
    with open("/proc/stat") as f:
        fields = f.readline().split()
    return (int(fields[4]) + int(fields[5])) / os.sysconf("SC_CLK_TCK")


def status(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


class Side:
    """One app with its printers: p0 to pN-1, each with a pretend printer,
    and "idle"."""

    def __init__(self, name, build, options, work, printers, pwg):
        self.name = name
        self.app = PrinterApp(os.path.join(build, "app", "tmk-printer-app"),
                              os.path.join(build, "src", "rastertoTmkLabel"), os.path.join(build, "ppd"),
                              options=options)
        self.pretends = [PretendPrinter() for _ in range(printers)]
        for i, pretend in enumerate(self.pretends):
            create_printer(work, self.app, f"p{i}", app_bench.DRIVER, pretend.uri())
        self.idle = PretendPrinter()
        create_printer(work, self.app, "idle", app_bench.DRIVER, self.idle.uri())
        self.idle_latency = [app_bench.get_printer_attributes(self.app.port, "idle") for _ in range(20)]
        # The job alone: what every printer must get.
        checked(submit(work, self.app, "p0", pwg), "Print-Job")
        while not self.pretends[0].job()[2]:
            time.sleep(0.01)
        time.sleep(0.2)
        self.reference = self.pretends[0].job_data()
        # requests: (burst, printer, offset s, s, s by the server, monotonic time)
        self.bursts, self.requests, self.threads, self.idle = [], [], [], []

    def close(self):
        self.app.close()


def app_burst(work, side, pwg):
    """Every printer of SIDE gets PWG at once; keeps the seconds to the last
    printer's last byte, the requests' times and the most threads."""
    app, pretends = side.app, side.pretends
    for pretend in pretends:
        pretend.reset()
    burst, requests, threads, done = len(side.bursts), [], [], threading.Event()
    start = time.monotonic()

    def ask(printer):
        while not done.is_set():
            asked = time.monotonic()
            seconds, served = app_bench.get_printer_attributes(app.port, printer, sent_by_server=True)
            requests.append((burst, printer, asked - start, seconds, served, asked))
            time.sleep(0.02)

    def count():
        while not done.is_set():
            threads.append(status(app.process.pid, "Threads"))
            time.sleep(0.01)

    watchers = [threading.Thread(target=ask, args=("idle",)), threading.Thread(target=ask, args=("p0",)),
                threading.Thread(target=count)]
    idle = idle_seconds()
    for watcher in watchers:
        watcher.start()
    try:
        jobs = [submit(work, app, f"p{i}", pwg) for i in range(len(pretends))]
        for job in jobs:
            checked(job, "Print-Job")
        deadline = time.monotonic() + 300
        while True:
            states = [p.job() for p in pretends]
            if all(closed and size >= len(side.reference) for size, _, closed in states):
                break
            if time.monotonic() > deadline:
                raise SystemExit("not every printer got its job: " + str([s[0] for s in states]))
            time.sleep(0.01)
    finally:
        done.set()
        for watcher in watchers:
            watcher.join()
    for i, pretend in enumerate(pretends):
        if pretend.job_data() != side.reference:
            raise SystemExit(f"{side.name}: printer p{i} got other bytes than the job sent alone")
    side.bursts.append(max(p.job()[1] for p in pretends) - start)
    side.idle.append((idle_seconds() - idle) / (os.cpu_count() * (time.monotonic() - start)))
    side.requests += requests
    side.threads.append(max(threads, default=0))


def cupsd_burst(cupsd, devices, raster):
    for device in devices:
        cupsd_bench.forget(device)
    start = time.monotonic()
    numbers = [cupsd.submit(f"q{i}", raster, ["document-format=application/vnd.cups-raster", "CompPrinting=1",
                                              "RunTrace=0_Off"], title="bench") for i in range(len(devices))]
    for number in numbers:
        if cupsd.wait_job(number, timeout=300) != JOB_COMPLETED:
            raise SystemExit(f"cupsd job {number} did not complete\n{cupsd.error_log_tail()}")
    ends = []
    for device in devices:
        with open(device + ".notes") as f:
            ends.append(float([line.split() for line in f if line.startswith("end ")][-1][1]))
    return max(ends) - start


def percentile(values, fraction):
    """The nearest-rank percentile."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)]


def latency(seconds):
    ms = [v * 1000 for v in seconds]
    if not ms:
        return "no requests"
    return (f"{len(ms):>4} requests, median {statistics.median(ms):6.1f}, p90 {percentile(ms, 0.9):6.1f}, "
            f"p99 {percentile(ms, 0.99):6.1f}, max {max(ms):6.1f} ms")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build-appbench"), help="the build to take the programs from")
    parser.add_argument("--option", action="append", default=[], metavar="NAME=VALUE",
                        help="a server option of the app (repeatable)")
    parser.add_argument("--against", metavar="BUILD", help="a second app, from this build, in interleaved bursts")
    parser.add_argument("--against-option", action="append", default=[], metavar="NAME=VALUE",
                        help="a server option of the second app (repeatable)")
    parser.add_argument("--printers", type=int, default=50)
    parser.add_argument("--labels", type=int, default=10, help="labels per job")
    parser.add_argument("--bursts", type=int, default=5)
    parser.add_argument("--no-cupsd", action="store_true", help="the apps alone")
    parser.add_argument("--timeline", metavar="FILE", help="every request: app, burst, printer, s into the burst, "
                        "ms at the client, ms by the server, CLOCK_MONOTONIC s")
    args = parser.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("run as root: the private cupsd starts as root")
    for build in filter(None, (args.build, args.against)):
        for program in ("app/tmk-printer-app", "src/rastertoTmkLabel", "tools/tmk-test-backend", "ppd/tmk34.ppd"):
            if not os.path.exists(os.path.join(build, program)):
                raise SystemExit(f"needs {os.path.join(build, program)}")

    work = tempfile.mkdtemp(prefix="tmk-many-")
    os.chmod(work, 0o755)
    sides, cupsd = [], None
    try:
        pwg = os.path.join(work, "labels.pwg")
        subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pwgraster", "-r203",
                        "-dcupsColorSpace=18", "-dcupsBitsPerColor=8", "-dDEVICEWIDTHPOINTS=288",
                        "-dDEVICEHEIGHTPOINTS=432", "-dFIXEDMEDIA", f"-dLABELS={args.labels}", f"-sOutputFile={pwg}",
                        os.path.join(ROOT, "bench", "shipping-label.ps")],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        raster = os.path.join(work, "labels.ras")
        gs_render("shipping-label.ps", raster, 203, 288, 432, args.labels)
        for path in (pwg, raster):
            os.chmod(path, 0o644)

        sides.append(Side("app", args.build, args.option, work, args.printers, pwg))
        if args.against:
            sides.append(Side("against", args.against, args.against_option, work, args.printers, pwg))
            if sides[1].reference != sides[0].reference:
                raise SystemExit("the two apps send other bytes for the same job")
        cupsd_runs = []
        if not args.no_cupsd:
            cupsd = Cupsd(os.path.join(args.build, "src", "rastertoTmkLabel"),
                          os.path.join(args.build, "tools", "tmk-test-backend"), "warn")
            ppd = cupsd_bench.tmk_ppd(work, args.build)
            devices = [cupsd.add_queue(f"q{i}", ppd) for i in range(args.printers)]

        for burst in range(args.bursts):
            order = sides[burst % len(sides):] + sides[:burst % len(sides)]
            for side in order:
                app_burst(work, side, pwg)
                time.sleep(0.5)
            if cupsd:
                cupsd_runs.append(cupsd_burst(cupsd, devices, raster))
                time.sleep(0.5)
            print(f"burst {burst + 1}/{args.bursts} done", file=sys.stderr)

        total = args.printers * args.labels
        print(f"{args.printers} printers x {args.labels} labels of 4 x 6 in at 203 dpi ({total} labels) at once; "
              f"{args.bursts} bursts{', interleaved' if len(sides) > 1 else ''}; medians (min-max)")
        for side in sides:
            options = " ".join(args.option if side.name == "app" else args.against_option) or "default options"
            build = args.build if side.name == "app" else args.against
            print(f"{side.name} ({os.path.basename(os.path.normpath(build))}, {options}), PWG raster sgray_8, "
                  f"ipptool: to the last byte {spread(side.bursts)} s, "
                  f"{total / statistics.median(side.bursts):.0f} labels/s; every printer got the job's "
                  f"{len(side.reference)} B")
            print(f"  per burst: {' '.join(f'{s:.3f}' for s in side.bursts)} s; the processors idle "
                  f"{spread([v * 100 for v in side.idle], digits=0)} % of it")
            for printer, what in (("idle", "to the printer without a job"), ("p0", "to a printer with a job")):
                print(f"  Get-Printer-Attributes {what}:")
                print(f"    at the client {latency([r[3] for r in side.requests if r[1] == printer])}")
                print(f"    by the server {latency([r[4] for r in side.requests if r[1] == printer])}")
            print(f"  (idle app: median {statistics.median(side.idle_latency) * 1000:.1f} ms); "
                  f"peak memory (VmHWM) {status(side.app.process.pid, 'VmHWM') / 1024:.1f} MiB, "
                  f"threads at most {max(side.threads)}")
        if cupsd_runs:
            print(f"cupsd, CUPS raster, lp, {args.printers} queues: to the last byte {spread(cupsd_runs)} s, "
                  f"{total / statistics.median(cupsd_runs):.0f} labels/s")
        if args.timeline:
            with open(args.timeline, "w") as f:
                for side in sides:
                    for burst, printer, offset, seconds, served, asked in side.requests:
                        f.write(f"{side.name}\t{burst}\t{printer}\t{offset:.4f}\t{seconds * 1000:.1f}\t"
                                f"{served * 1000:.1f}\t{asked:.6f}\n")
    finally:
        if cupsd:
            cupsd.close()
        for side in sides:
            side.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
