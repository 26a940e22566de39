#!/usr/bin/env python3
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
the first Print-Job to the last printer's last byte; meanwhile,
Get-Printer-Attributes (requested-attributes all, a fresh connection every
20 ms) to the printer without a job, and the app's threads. At the end the
app's peak memory (VmHWM). Every printer must get the same bytes, those of
the same job sent alone first.

Then the same labels as 1-bit CUPS raster through a private cupsd with
PRINTERS queues (model 34, CompPrinting 1, RunTrace 0, the test printer as
backend), submitted with lp at the same moment: the time from the first lp to
the last queue's last byte.
"""
import argparse
import importlib.machinery
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


def status(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def app_burst(work, app, pretends, pwg, reference):
    """(seconds to the last printer's last byte, Get-Printer-Attributes
    seconds meanwhile, most threads of the app)."""
    for pretend in pretends:
        pretend.reset()
    latencies, threads, done = [], [], threading.Event()

    def watch():
        while not done.is_set():
            latencies.append(app_bench.get_printer_attributes(app.port, "idle"))
            threads.append(status(app.process.pid, "Threads"))
            time.sleep(0.02)

    watcher = threading.Thread(target=watch)
    start = time.monotonic()
    jobs = [submit(work, app, f"p{i}", pwg) for i in range(len(pretends))]
    watcher.start()
    for job in jobs:
        checked(job, "Print-Job")
    deadline = time.monotonic() + 300
    while True:
        states = [p.job() for p in pretends]
        if all(closed and size >= len(reference) for size, _, closed in states):
            break
        if time.monotonic() > deadline:
            done.set()
            raise SystemExit("not every printer got its job: " + str([s[0] for s in states]))
        time.sleep(0.01)
    done.set()
    watcher.join()
    for i, pretend in enumerate(pretends):
        if pretend.job_data() != reference:
            raise SystemExit(f"printer p{i} got other bytes than the job sent alone")
    return max(p.job()[1] for p in pretends) - start, latencies, max(threads, default=0)


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


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build-appbench"), help="the build to take the programs from")
    parser.add_argument("--printers", type=int, default=50)
    parser.add_argument("--labels", type=int, default=10, help="labels per job")
    parser.add_argument("--bursts", type=int, default=5)
    args = parser.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("run as root: the private cupsd starts as root")
    for program in ("app/tmk-printer-app", "src/rastertoTmkLabel", "tools/tmk-test-backend", "ppd/tmk34.ppd"):
        if not os.path.exists(os.path.join(args.build, program)):
            raise SystemExit(f"needs {os.path.join(args.build, program)}")

    work = tempfile.mkdtemp(prefix="tmk-many-")
    os.chmod(work, 0o755)
    app = cupsd = None
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

        app = PrinterApp(os.path.join(args.build, "app", "tmk-printer-app"),
                         os.path.join(args.build, "src", "rastertoTmkLabel"), os.path.join(args.build, "ppd"))
        pretends = [PretendPrinter() for _ in range(args.printers)]
        for i, pretend in enumerate(pretends):
            create_printer(work, app, f"p{i}", app_bench.DRIVER, pretend.uri())
        idle = PretendPrinter()
        create_printer(work, app, "idle", app_bench.DRIVER, idle.uri())
        idle_latency = [app_bench.get_printer_attributes(app.port, "idle") for _ in range(20)]
        # The job alone: what every printer must get.
        checked(submit(work, app, "p0", pwg), "Print-Job")
        while not pretends[0].job()[2]:
            time.sleep(0.01)
        time.sleep(0.2)
        reference = pretends[0].job_data()

        cupsd = Cupsd(os.path.join(args.build, "src", "rastertoTmkLabel"),
                      os.path.join(args.build, "tools", "tmk-test-backend"), "warn")
        ppd = cupsd_bench.tmk_ppd(work, args.build)
        devices = [cupsd.add_queue(f"q{i}", ppd) for i in range(args.printers)]

        app_runs, cupsd_runs, latencies, threads = [], [], [], []
        for burst in range(args.bursts):
            seconds, waits, most = app_burst(work, app, pretends, pwg, reference)
            app_runs.append(seconds)
            latencies += waits
            threads.append(most)
            time.sleep(0.5)
            cupsd_runs.append(cupsd_burst(cupsd, devices, raster))
            time.sleep(0.5)
            print(f"burst {burst + 1}/{args.bursts} done", file=sys.stderr)

        total = args.printers * args.labels
        print(f"{args.printers} printers x {args.labels} labels of 4 x 6 in at 203 dpi ({total} labels) at once; "
              f"{args.bursts} bursts; medians (min-max)")
        print(f"app, PWG raster sgray_8, ipptool:   to the last byte {spread(app_runs)} s, "
              f"{total / statistics.median(app_runs):.0f} labels/s; every printer got the job's "
              f"{len(reference)} B")
        print(f"cupsd, CUPS raster, lp, {args.printers} queues: to the last byte {spread(cupsd_runs)} s, "
              f"{total / statistics.median(cupsd_runs):.0f} labels/s")
        ms = [v * 1000 for v in latencies]
        print(f"app Get-Printer-Attributes to a printer without a job during the bursts: {len(ms)} requests, "
              f"median {statistics.median(ms):.1f} ms, max {max(ms):.1f} ms (idle: median "
              f"{statistics.median(idle_latency) * 1000:.1f} ms); target median < 50 ms: "
              f"{'met' if statistics.median(ms) < 50 else 'MISSED'}")
        print(f"app peak memory (VmHWM) {status(app.process.pid, 'VmHWM') / 1024:.1f} MiB, "
              f"threads at most {max(threads)}")
    finally:
        if cupsd:
            cupsd.close()
        if app:
            app.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
