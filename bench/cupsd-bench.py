#!/usr/bin/env python3
"""The label filter under a real scheduler: a private cupsd, our filter beside
CUPS's rastertolabel (ZPL), one job at a time.

Needs: root (cupsd is started as root and runs the filters as lp, the way a
packaged CUPS does), python3, cups, cups-client, cups-ppdc, ghostscript (and
cups-filters for --pdf), and a build: the filter, the PPD of model 34 and
the test printer (by default build-bench/src/rastertoTmkLabel,
build-bench/ppd/tmk34.ppd and build-bench/tools/tmk-test-backend; --filter
names another build's filter, whose PPD and test printer are then taken).
The private cupsd is the one of tools/private_cupsd.py: the system's CUPS is
neither used nor needed.

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
import os
import re
import shutil
import statistics
import sys
import tempfile
import time

from labeljobs import PEER, ROOT, gs_render, peer_ppds

sys.path.insert(0, os.path.join(ROOT, "tools"))
from private_cupsd import JOB_COMPLETED, Cupsd  # noqa: E402

POLL = 0.002  # how often the printer's file is looked at in --cancel
TICK = os.sysconf("SC_CLK_TCK")

def cupsd_cpu(cupsd):
    """(utime + stime in seconds, CPU time in seconds from the scheduler's
    own nanosecond count) of the cupsd process."""
    pid = cupsd.process.pid
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    run_ns = 0
    task_dir = f"/proc/{pid}/task"
    for task in os.listdir(task_dir):
        with open(os.path.join(task_dir, task, "schedstat")) as f:
            run_ns += int(f.read().split()[0])
    return (int(fields[11]) + int(fields[12])) / TICK, run_ns / 1e9


def tmk_ppd(work, build):
    """The build's PPD of model 34 with the 4 x 6 in label and compression as
    defaults."""
    with open(os.path.join(build, "ppd", "tmk34.ppd")) as f:
        text = f.read()
    text = re.sub(r"^(\*Default(?:PageSize|PageRegion|ImageableArea|PaperDimension)): 9$", r"\1: 51", text, flags=re.M)
    text = re.sub(r"^\*DefaultCompPrinting: \S+$", "*DefaultCompPrinting: 1", text, flags=re.M)
    path = os.path.join(work, "tmk-bench.ppd")
    with open(path, "w") as f:
        f.write(text)
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
        cpu0 = cupsd_cpu(cupsd)
        start = time.monotonic()
        number = cupsd.submit(queue, path, options, title="bench")
        state = cupsd.wait_job(number)
        wall = time.monotonic() - start
        time.sleep(0.1)  # what the scheduler does right after the job is the job's
        cpu1 = cupsd_cpu(cupsd)
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
    queues = [("ours RunTrace 0", cupsd.add_queue("tmk-slow", ppd, rate=args.rate), "tmk-slow", "tmk",
               ["document-format=application/vnd.cups-raster", "CompPrinting=1", "RunTrace=0_Off"]),
              ("peer rastertolabel", cupsd.add_queue("zpl-slow", zpl, rate=args.rate), "zpl-slow", "zpl",
               ["document-format=application/vnd.cups-raster"])]
    print(f"cancel after {args.cancel_at} B of {args.labels} labels, printer at {args.rate} B/s, "
          "cupsd JobKillDelay default")
    print(f"{'job':<20} {'B after cancel':>15} {'B after SIGTERM':>16} {'labels after':>13} {'last label':>11} "
          f"{'backend':>9} {'s to idle':>10}")
    for r in range(args.rounds):
        for name, device, queue, language, options in queues:
            forget(device)
            number = cupsd.submit(queue, raster, options, title="bench")
            deadline = time.monotonic() + 120
            while not os.path.exists(device) or os.path.getsize(device) < args.cancel_at:
                if time.monotonic() > deadline:
                    raise SystemExit(f"{name}: the printer never had {args.cancel_at} B; see {cupsd.log}/error_log")
                time.sleep(POLL)
            at = os.path.getsize(device)
            cancelled = time.monotonic()
            cupsd.cancel(number)
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
    parser.add_argument("--backend", help="the test printer (default: tools/tmk-test-backend of the filter's build)")
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
    build = os.path.dirname(os.path.dirname(args.filter))
    if args.backend is None:
        args.backend = os.path.join(build, "tools", "tmk-test-backend")
    for program in (args.filter, args.backend, PEER):
        if not os.access(program, os.X_OK):
            raise SystemExit(f"needs {program}")
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
        ppd = tmk_ppd(work, build)
        zpl = peer_ppds(work)[203]
        cupsd = Cupsd(args.filter, args.backend, args.log_level, args.keep)
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
