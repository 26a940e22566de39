#!/usr/bin/env python3
"""The printer application beside the private cupsd: the same labels to the
same kind of printer, and how fast the app answers Get-Printer-Attributes.

Needs: root (the private cupsd starts as root; the app is run as nobody, as
the tests run it), python3, ipptool (cups-ipp-utils), cups, cups-client,
ghostscript, and a build with the app, the filter, the PPDs and the test
printer (by default in build-appbench/: cmake --build build-appbench
--target rastertoTmkLabel tmk-printer-app ppds tmk-test-backend).

Timing rounds: a 100-label 4 x 6 in job at 203 dpi, rendered once as each
type of PWG raster the app advertises (8-bit gray sgray_8, what CUPS's
driverless queues send, and 1-bit black_1, 8 times less to decode) and once
as 1-bit CUPS raster, goes in interleaved rounds
- to the app with ipptool Print-Job, driver tamrisk_standard-203dpi, media
  na_index-4x6_4x6in, its printer a pretend printer on a loopback socket in
  this script; the time is from starting ipptool to the printer's last byte;
- to the private cupsd with lp (the queue of bench/cupsd-bench.py: model 34,
  CompPrinting 1, RunTrace 0) and its test printer; the time is from starting
  lp to the test printer's last byte (the "end" line of its notes, on the
  same monotonic clock), and to the scheduler's job-completed event.
Besides wall time, the CPU time per job of the app or of cupsd, each with
the processes it started and waited for (the filter; for cupsd the backend
too), from /proc: steadier than wall time on a busy machine.

Status: Get-Printer-Attributes (requested-attributes all) over a fresh
loopback connection, timed, every 20 ms while a job prints to the app, and
for a few seconds to a second printer whose pretend printer accepts the
status request and never answers. Then, in interleaved rounds, a one-label
job sent to a newly added printer as soon as the app's first status query
has reached its pretend printer, once to the silent pretend printer and once
to the answering one: from Print-Job to the job completed.
"""
import argparse
import importlib.machinery
import os
import re
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import types

from labeljobs import ROOT, gs_render

sys.path.insert(0, os.path.join(ROOT, "tools"))
from private_cupsd import JOB_COMPLETED, Cupsd, ipp_message, ipp_parse  # noqa: E402
from printer_app import STATUS_REQUEST, PretendPrinter, PrinterApp, checked, create_printer, ipptool  # noqa: E402

# bench/cupsd-bench.py's queue, spread() and forget(), by its file name.
_loader = importlib.machinery.SourceFileLoader("cupsd_bench", os.path.join(ROOT, "bench", "cupsd-bench.py"))
cupsd_bench = types.ModuleType(_loader.name)
_loader.exec_module(cupsd_bench)
spread = cupsd_bench.spread
TICK = os.sysconf("SC_CLK_TCK")

DRIVER = "tamrisk_standard-203dpi"
MEDIA = "na_index-4x6_4x6in"
OPERATION = ("  GROUP operation-attributes-tag\n  ATTR charset attributes-charset utf-8\n"
             "  ATTR naturalLanguage attributes-natural-language en\n  ATTR uri printer-uri $uri\n"
             "  ATTR name requesting-user-name bench\n")


def print_job(work, app, printer, pwg):
    """Print-Job, then Get-Job-Attributes until the job has ended; expects it
    completed."""
    wait = OPERATION + "  ATTR integer job-id $job-id\n  STATUS successful-ok\n"
    test = ("{\n  OPERATION Print-Job\n" + OPERATION + "  ATTR mimeMediaType document-format image/pwg-raster\n"
            f"  GROUP job-attributes-tag\n  ATTR keyword media {MEDIA}\n  FILE $filename\n  STATUS successful-ok\n}}\n"
            "{\n  OPERATION Get-Job-Attributes\n" + wait +
            "  EXPECT job-state WITH-VALUE >7 REPEAT-NO-MATCH REPEAT-LIMIT 6000\n  DELAY \"0,0.02\"\n}\n"
            "{\n  OPERATION Get-Job-Attributes\n" + wait + "  EXPECT job-state WITH-VALUE 9\n}\n")
    return ipptool(work, app.uri(printer), test, "-f", pwg)


# The kernel's receive time of a socket's data (Linux): when the server sent
# it, however late this process reads it.
SO_TIMESTAMPNS = 35


def get_printer_attributes(port, printer, sent_by_server=False):
    """Seconds for one Get-Printer-Attributes (requested-attributes all) on
    a fresh connection, the answer read whole; with SENT_BY_SERVER, also
    the seconds from sending the request to the server having sent the
    whole answer, which the client's own delays (its threads waiting for
    the CPU or the interpreter) leave out."""
    uri = f"ipp://127.0.0.1:{port}/ipp/print/{printer}"
    body = ipp_message(0x000B, 1, [(0x01, [(0x47, "attributes-charset", "utf-8"),
                                           (0x48, "attributes-natural-language", "en"),
                                           (0x45, "printer-uri", uri), (0x44, "requested-attributes", "all")])])
    request = (f"POST /ipp/print/{printer} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Type: application/ipp\r\n"
               f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n").encode() + body
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        sent = time.time()
        s.sendall(request)
        data, answered = b"", sent
        while True:
            more, ancillary, _, _ = s.recvmsg(1 << 16, socket.CMSG_SPACE(16))
            if not more:
                break
            for level, kind, stamp in ancillary:
                if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                    seconds, nanoseconds = struct.unpack("qq", stamp[:16])
                    answered = seconds + nanoseconds / 1e9
            data += more
            head, found, rest = data.partition(b"\r\n\r\n")
            if found:
                length = re.search(rb"\r\nContent-Length: *(\d+)", head, re.I)
                if length and len(rest) >= int(length.group(1)):
                    break
                if not length and rest.endswith(b"\r\n0\r\n\r\n"):
                    break
    elapsed = time.monotonic() - start
    head, _, rest = data.partition(b"\r\n\r\n")
    if not head.startswith(b"HTTP/1.1 200"):
        raise SystemExit(f"Get-Printer-Attributes: {head[:80]!r}")
    if not re.search(rb"\r\nContent-Length:", head, re.I):
        chunks, at = b"", 0
        while True:
            end = rest.index(b"\r\n", at)
            size = int(rest[at:end].split(b";")[0], 16)
            if size == 0:
                break
            chunks += rest[end + 2:end + 2 + size]
            at = end + 4 + size
        rest = chunks
    parsed = ipp_parse(rest)
    if not parsed or parsed[0] >= 0x0400 or "printer-state" not in parsed[1]:
        raise SystemExit("Get-Printer-Attributes: no printer attributes in the answer")
    return (elapsed, answered - sent) if sent_by_server else elapsed


def cpu_seconds(pid):
    """utime + stime of PID and of the children it has waited for."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return sum(int(v) for v in fields[11:15]) / TICK


def app_job(work, app, printer, pretend, pwg, reference, latencies=None):
    """(seconds from starting ipptool to the printer's last byte, seconds to
    ipptool having seen the job completed, bytes, CPU seconds of the app and
    its filter); with LATENCIES, times Get-Printer-Attributes every 20 ms
    until the job has ended."""
    pretend.reset()
    cpu = cpu_seconds(app.process.pid)
    start = time.monotonic()
    job = print_job(work, app, printer, pwg)
    if latencies is not None:
        while job.poll() is None:
            latencies.append(get_printer_attributes(app.port, printer))
            time.sleep(0.02)
    checked(job, "Print-Job")
    completed = time.monotonic() - start
    deadline = time.monotonic() + 30
    while True:
        size, last, closed = pretend.job()
        if closed and (reference is None or size >= reference):
            break
        if time.monotonic() > deadline:
            raise SystemExit(f"the pretend printer has {size} B of {reference}, connection closed: {closed}")
        time.sleep(0.005)
    return last - start, completed, size, cpu_seconds(app.process.pid) - cpu


def status_requests(pretend):
    with pretend.lock:
        return sum(1 for c in pretend.connections if c[3] and c[3][0].startswith(STATUS_REQUEST))


def job_behind_status_query(work, app, name, pretend, pwg):
    """Seconds from Print-Job to the job completed, sent to a new printer on
    PRETEND as soon as the app's first status query for it has arrived."""
    create_printer(work, app, name, DRIVER, pretend.uri())
    asked = status_requests(pretend)
    get_printer_attributes(app.port, name)
    deadline = time.monotonic() + 10
    while status_requests(pretend) == asked:
        if time.monotonic() > deadline:
            raise SystemExit(f"{name}: the app did not ask its printer for the status")
        time.sleep(0.002)
    start = time.monotonic()
    checked(print_job(work, app, name, pwg), "Print-Job")
    return time.monotonic() - start


def cupsd_job(cupsd, device, raster):
    cupsd_bench.forget(device)
    cpu = cpu_seconds(cupsd.process.pid)
    start = time.monotonic()
    number = cupsd.submit("tmk", raster, ["document-format=application/vnd.cups-raster", "CompPrinting=1",
                                          "RunTrace=0_Off"], title="bench")
    state = cupsd.wait_job(number)
    completed = time.monotonic() - start
    if state != JOB_COMPLETED:
        raise SystemExit(f"cupsd job {number} ended in state {state}\n{cupsd.error_log_tail()}")
    with open(device + ".notes") as f:
        end = [line.split() for line in f if line.startswith("end ")][-1]
    return float(end[1]) - start, completed, int(end[2]), cpu_seconds(cupsd.process.pid) - cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build-appbench"), help="the build to take the programs from")
    parser.add_argument("--rounds", type=int, help="interleaved rounds (default 9)")
    parser.add_argument("--quick", action="store_true", help="10 labels, 2 rounds: proves the script works")
    parser.add_argument("--silent-seconds", type=float, default=5, help="how long to ask the silent printer")
    args = parser.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("run as root: the private cupsd starts as root")
    labels = 10 if args.quick else 100
    rounds = args.rounds or (2 if args.quick else 9)
    silent_seconds = 1.5 if args.quick else args.silent_seconds
    for program in ("app/tmk-printer-app", "src/rastertoTmkLabel", "tools/tmk-test-backend", "ppd/tmk34.ppd"):
        if not os.path.exists(os.path.join(args.build, program)):
            raise SystemExit(f"needs {os.path.join(args.build, program)}")
    if not shutil.which("ipptool"):
        raise SystemExit("needs ipptool (cups-ipp-utils)")

    work = tempfile.mkdtemp(prefix="tmk-app-jobs-")
    os.chmod(work, 0o755)
    app = cupsd = None
    try:
        pwgs = {}
        one = os.path.join(work, "label.pwg")
        for kind, space, bits, count in (("sgray_8", 18, 8, labels), ("black_1", 3, 1, labels), ("one", 18, 8, 1)):
            pwgs[kind] = one if kind == "one" else os.path.join(work, f"labels-{kind}.pwg")
            subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pwgraster", "-r203",
                            f"-dcupsColorSpace={space}", f"-dcupsBitsPerColor={bits}", "-dDEVICEWIDTHPOINTS=288",
                            "-dDEVICEHEIGHTPOINTS=432", "-dFIXEDMEDIA", f"-dLABELS={count}",
                            f"-sOutputFile={pwgs[kind]}", os.path.join(ROOT, "bench", "shipping-label.ps")],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        pwg = pwgs["sgray_8"]
        raster = os.path.join(work, "labels.ras")
        gs_render("shipping-label.ps", raster, 203, 288, 432, labels)
        for path in (*pwgs.values(), raster):
            os.chmod(path, 0o644)
        with open(pwg, "rb") as f:
            pages = f.read().count(b"PwgRaster\0")

        pretend, silent = PretendPrinter(), PretendPrinter(silent=True)
        app = PrinterApp(os.path.join(args.build, "app", "tmk-printer-app"),
                         os.path.join(args.build, "src", "rastertoTmkLabel"), os.path.join(args.build, "ppd"))
        create_printer(work, app, "bench", DRIVER, pretend.uri())
        create_printer(work, app, "silent", DRIVER, silent.uri())
        cupsd = Cupsd(os.path.join(args.build, "src", "rastertoTmkLabel"),
                      os.path.join(args.build, "tools", "tmk-test-backend"), "warn")
        device = cupsd.add_queue("tmk", cupsd_bench.tmk_ppd(work, args.build))

        paths = ["sgray_8", "black_1", "cupsd"]
        # Warm: the first job of each kind; the two rasters of the same
        # labels must reach the printer as the same bytes.
        _, _, reference, _ = app_job(work, app, "bench", pretend, pwg, None)
        gray_bytes = pretend.job_data()
        app_job(work, app, "bench", pretend, pwgs["black_1"], reference)
        if pretend.job_data() != gray_bytes:
            raise SystemExit("the printer got other bytes for the black_1 raster than for the sgray_8 one")
        cupsd_job(cupsd, device, raster)
        runs = {path: [] for path in paths}
        for r in range(rounds):
            order = paths[r % len(paths):] + paths[:r % len(paths)]
            if r % 2:
                order.reverse()
            for path in order:
                time.sleep(0.2)
                if path == "cupsd":
                    runs[path].append(cupsd_job(cupsd, device, raster))
                else:
                    runs[path].append(app_job(work, app, "bench", pretend, pwgs[path], reference))
            print(f"round {r + 1}/{rounds} done", file=sys.stderr)

        printing = []
        for _ in range(2 if args.quick else 3):
            time.sleep(0.2)
            app_job(work, app, "bench", pretend, pwg, reference, printing)
        quiet = []
        until = time.monotonic() + silent_seconds
        while time.monotonic() < until:
            quiet.append(get_printer_attributes(app.port, "silent"))
            time.sleep(0.02)
        asked = sum(1 for c in silent.connections if c[0])
        behind = {"silent": [], "answering": []}
        for r in range(2 if args.quick else 5):
            order = ["silent", "answering"] if r % 2 == 0 else ["answering", "silent"]
            for kind in order:
                time.sleep(0.2)
                behind[kind].append(job_behind_status_query(work, app, f"{kind}{r}",
                                                            silent if kind == "silent" else pretend, one))

        print(f"{pages} labels of 4 x 6 in at 203 dpi; {rounds} interleaved rounds; medians (min-max)")
        print(f"{'path':<40} {'to last byte s':>20} {'to completed s':>20} {'CPU s':>20} {'to printer B':>13}")
        names = {"sgray_8": "app: PWG raster sgray_8, ipptool", "black_1": "app: PWG raster black_1, ipptool",
                 "cupsd": "cupsd: CUPS raster, lp, RunTrace 0"}
        for path in paths:
            rows = runs[path]
            print(f"{names[path]:<40} {spread([x[0] for x in rows]):>20} {spread([x[1] for x in rows]):>20} "
                  f"{spread([x[3] for x in rows], digits=2):>20} {rows[0][2]:>13}")
        print("(CPU: the app and its filter; cupsd, its filter and its backend)")
        cupsd_wall = statistics.median(x[0] for x in runs["cupsd"])
        for path in paths[:-1]:
            app_wall = statistics.median(x[0] for x in runs[path])
            per_round = [a[0] / c[0] for a, c in zip(runs[path], runs["cupsd"])]
            print(f"target app wall <= cupsd path wall, {path}: {app_wall:.3f} s against {cupsd_wall:.3f} s, ratio "
                  f"{app_wall / cupsd_wall:.2f} (per round {min(per_round):.2f}-{max(per_round):.2f}) "
                  f"{'met' if app_wall <= cupsd_wall else 'MISSED'}")
        print()
        print("Get-Printer-Attributes, requested-attributes all, fresh connection")
        for name, values in (("while a job prints", printing), ("printer silent to its status request", quiet)):
            ms = [v * 1000 for v in values]
            print(f"target {name}: {len(ms)} requests, median {statistics.median(ms):.1f} ms, "
                  f"max {max(ms):.1f} ms (< 50 ms: {'met' if max(ms) < 50 else 'MISSED'})")
        print(f"(the silent printer was asked for its status {asked} time(s))")
        print("A one-label job sent while the app's first status query waits, Print-Job to completed")
        for kind in ("answering", "silent"):
            print(f"  printer {kind:<9} to its status request: {spread(behind[kind]):>28} s")
    finally:
        if cupsd:
            cupsd.close()
        if app:
            app.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
