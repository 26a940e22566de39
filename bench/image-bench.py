#!/usr/bin/env python3
"""JPEG images the app decodes itself: how long one of many scans holds its
job, how soon a cancel ends a long decode, and the app's peak memory while
it decodes the largest images it takes.

Needs: python3, ipptool (cups-ipp-utils), and a build with the app, the
filter, the PPDs and make-test-jpeg (by default build-appbench/: cmake
--build build-appbench --target rastertoTmkLabel tmk-printer-app ppds
make-test-jpeg). As root the app runs as nobody, as the tests run it.

Every image goes to an app of its own (started for it, with a printer of
driver tamrisk_standard-203dpi on a pretend printer on a loopback socket),
with ipptool Print-Job; reported are the seconds from Print-Job to the job's
end, the processor time the app took meanwhile, the job's state and message,
and the app's peak memory (VmHWM) then, beside that of an app that printed
nothing. The images (make-test-jpeg; white but for a black square):
- scans: gray progressive 8192 x 8192 with its AC scan of coefficients 1 to
  5 repeated until it has 20,000 scans (2.8 MB, a pass of the decoder over
  all blocks each), and the same at 4096 x 5456;
- cancel: gray progressive 4096 x 5456 with its last scan repeated until it
  has 500 (some 7 s of one processor to decode), canceled once the app has
  used a second of processor time for it: the seconds from Cancel-Job to
  the job's end;
- memory: the largest the app takes, baseline and progressive, in gray and
  in color sampled 2 x 2 and not at all, and progressive ones past them.

With --against, a second build's app gets the same images, each right
after the first's, so that a change is measured against its base on the same
machine in the same run.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

from labeljobs import ROOT

sys.path.insert(0, os.path.join(ROOT, "tools"))
from printer_app import PretendPrinter, PrinterApp, create_printer, ipptool  # noqa: E402

DRIVER = "tamrisk_standard-203dpi"
OPERATION = ("  GROUP operation-attributes-tag\n  ATTR charset attributes-charset utf-8\n"
             "  ATTR naturalLanguage attributes-natural-language en\n  ATTR uri printer-uri $uri\n"
             "  ATTR name requesting-user-name bench\n")
ENDED = ("canceled", "aborted", "completed")
TICK = os.sysconf("SC_CLK_TCK")

# name, make-test-jpeg arguments
SCANS = [("gray progressive 8192x8192, 20000 scans", "gray progressive 8192 8192 20000 5"),
         ("gray progressive 4096x5456, 20000 scans", "gray progressive 4096 5456 20000 5")]
CANCEL = ("gray progressive 4096x5456, 500 scans", "gray progressive 4096 5456 500")
MEMORY = [("gray baseline 8192x8192", "gray baseline 8192 8192"),
          ("color baseline 8192x8192", "color baseline 8192 8192"),
          ("gray progressive 4096x5456", "gray progressive 4096 5456"),
          ("color progressive 4096x4096", "color progressive 4096 4096"),
          ("color444 progressive 3096x3096", "color444 progressive 3096 3096"),
          ("gray progressive 8192x8192", "gray progressive 8192 8192"),
          ("color progressive 8192x8192", "color progressive 8192 8192"),
          ("color444 progressive 8192x8192", "color444 progressive 8192 8192")]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def peak_mib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return 0.0


def job_attributes(work, app):
    """(state, message) of the printer's one job, or None while it has not
    ended."""
    test = ("{\n  OPERATION Get-Jobs\n" + OPERATION + "  ATTR keyword which-jobs all\n"
            "  ATTR keyword requested-attributes job-state,job-state-message\n  STATUS successful-ok\n"
            "  DISPLAY job-state\n  DISPLAY job-state-message\n}\n")
    out = ipptool(work, app.uri("images"), test).communicate()[0]
    values = {}
    for line in out.splitlines():
        name, _, value = line.strip().partition(" = ")
        if name.startswith("job-state"):
            values[name.split()[0]] = value
    state = values.get("job-state", "")
    return (state, values.get("job-state-message", "")) if state in ENDED else None


class Run:
    """One image to a fresh app of BUILD: start(), then wait() for its end."""

    def __init__(self, build, work, path):
        self.work = tempfile.mkdtemp(dir=work)
        self.printer = PretendPrinter()
        self.app = PrinterApp(os.path.join(build, "app", "tmk-printer-app"),
                              os.path.join(build, "src", "rastertoTmkLabel"), os.path.join(build, "ppd"))
        create_printer(self.work, self.app, "images", DRIVER, self.printer.uri())
        self.pid = self.app.process.pid
        self.path = path
        self.idle_mib = peak_mib(self.pid)

    def start(self):
        self.cpu = cpu_seconds(self.pid)
        self.began = time.monotonic()
        test = ("{\n  OPERATION Print-Job\n" + OPERATION + "  ATTR mimeMediaType document-format image/jpeg\n"
                "  FILE $filename\n  STATUS successful-ok\n}\n")
        out = ipptool(self.work, self.app.uri("images"), test, "-f", self.path).communicate()[0]
        if "[PASS]" not in out:
            raise SystemExit(f"Print-Job failed:\n{out}")

    def wait(self):
        while (ended := job_attributes(self.work, self.app)) is None:
            time.sleep(0.02)
        self.seconds = time.monotonic() - self.began
        self.state, self.message = ended
        self.used = cpu_seconds(self.pid) - self.cpu
        self.peak = peak_mib(self.pid)

    def close(self):
        self.app.close()
        self.printer.close()


def cancel(run):
    """Cancel-Job once the app has used a second for the job; the time of
    the cancel."""
    while cpu_seconds(run.pid) < run.cpu + 1.0:
        time.sleep(0.01)
    test = ("{\n  OPERATION Get-Jobs\n" + OPERATION + "  ATTR keyword which-jobs not-completed\n"
            "  ATTR keyword requested-attributes job-id\n  STATUS successful-ok\n  EXPECT job-id\n}\n"
            "{\n  OPERATION Cancel-Job\n" + OPERATION + "  ATTR integer job-id $job-id\n  STATUS successful-ok\n}\n")
    canceled = time.monotonic()
    out = ipptool(run.work, run.app.uri("images"), test).communicate()[0]
    if out.count("[PASS]") != 2:
        raise SystemExit(f"Cancel-Job failed:\n{out}")
    return canceled


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build-appbench"), help="the build to take the programs from")
    parser.add_argument("--against", metavar="BUILD", help="a second app, from this build, after the first each time")
    parser.add_argument("--only", choices=["scans", "cancel", "memory"], action="append", help="these parts only")
    args = parser.parse_args()
    builds = [("this", args.build)] + ([("against", args.against)] if args.against else [])
    parts = args.only or ["scans", "cancel", "memory"]
    with tempfile.TemporaryDirectory(prefix="image-bench-") as work:
        images = {}
        for name, arguments in SCANS + [CANCEL] + MEMORY:
            path = os.path.join(work, name.replace(" ", "-") + ".jpg")
            with open(path, "wb") as out:
                subprocess.run([os.path.join(args.build, "tools", "make-test-jpeg")] + arguments.split(), stdout=out,
                               check=True)
            images[name] = path

        def one(name, label, build, canceled=False):
            run = Run(build, work, images[name])
            try:
                run.start()
                at = cancel(run) if canceled else None
                run.wait()
                after = f", ended {run.seconds - (at - run.began):.2f} s after the cancel" if canceled else ""
                print(f"  {label:8} {run.state:9} {run.seconds:7.2f} s, CPU {run.used:7.2f} s, "
                      f"VmHWM {run.peak:6.1f} MiB (idle {run.idle_mib:.1f}){after}: {run.message}", flush=True)
            finally:
                run.close()

        if "scans" in parts:
            for name, _ in SCANS:
                print(f"{name} ({os.path.getsize(images[name]) / 1e6:.1f} MB)")
                for label, build in builds:
                    one(name, label, build)
        if "cancel" in parts:
            print(f"{CANCEL[0]}, canceled after 1 s of processor time")
            for label, build in builds:
                one(CANCEL[0], label, build, canceled=True)
        if "memory" in parts:
            for name, _ in MEMORY:
                print(name)
                for label, build in builds:
                    one(name, label, build)


if __name__ == "__main__":
    main()
