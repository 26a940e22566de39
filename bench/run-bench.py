#!/usr/bin/env python3
"""Whole-process benchmark of the label filter beside a floor and a peer.

Makes realistic workloads (a 4 x 6 inch shipping label with text, boxes and
1-D and 2-D barcodes rendered by Ghostscript's cups device at 203, 300 and
600 dpi; a 100-label job; 500 small 2 x 1 inch labels; a near-blank and a
random-noise page), then runs in interleaved rounds:
  - rastertoTmkLabel, raw and compressed, rotation 0 and 1;
  - floor: a program of ours that only reads each page with libcups and
    writes its pixel bytes;
  - peer: CUPS's rastertolabel with a ZPL printer PPD compiled from
    zebra-zpl.drv, when CUPS provides the filter and ppdc.
Standard output and standard error go into pipes that are drained, as under
CUPS. Prints per workload and tool the median wall time, peak RSS, output
sizes and the ratios to the floor and the peer, then the targets.
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile

from labeljobs import PEER, ROOT, gs_render, peer_ppds


def run_once(spawn, argv, stdin_path, env=None):
    """Runs argv through bench-spawn (stdin from a file, both output pipes
    drained); returns (seconds, peak RSS in KiB, stdout bytes, stderr bytes,
    exit status)."""
    line = subprocess.run([spawn, stdin_path] + argv, check=True, capture_output=True, env=env).stdout.split()
    return float(line[0]), int(line[1]), int(line[2]), int(line[3]), int(line[4])


def make_workloads(work, build, quick):
    """Returns [(name, raster path, dpi, page pixel bytes)]."""
    made = []
    def add(name, path, dpi, width_px, height_px):
        made.append((name, path, dpi, ((width_px + 7) // 8) * height_px))
    for dpi in (203, 300, 600):
        path = os.path.join(work, f"ship{dpi}.ras")
        gs_render("shipping-label.ps", path, dpi, 288, 432, 1)
        add(f"4x6 label {dpi} dpi", path, dpi, round(4 * dpi), round(6 * dpi))
    labels = 10 if quick else 100
    path = os.path.join(work, "ship203x100.ras")
    gs_render("shipping-label.ps", path, 203, 288, 432, labels)
    add(f"{labels} x 4x6 203 dpi", path, 203, 812, 1218)
    small = 50 if quick else 500
    path = os.path.join(work, "small203x500.ras")
    gs_render("small-label.ps", path, 203, 144, 72, small)
    add(f"{small} x 2x1 203 dpi", path, 203, 406, 203)
    for kind in ("blank", "noise"):
        path = os.path.join(work, f"{kind}.ras")
        with open(path, "wb") as out:
            subprocess.run([os.path.join(build, "tools", "make-test-raster"), kind, "812", "1218", "1", "203"],
                           check=True, stdout=out)
        add(f"{kind} 4x6 203 dpi", path, 203, 812, 1218)
    return made


def tools_for(build, work, dpi, peer_ppds):
    filt = os.path.join(build, "src", "rastertoTmkLabel")
    ppd = os.path.join(build, "ppd", "tmk34.ppd")
    res = f"Resolution={dpi}dpi PageSize=51"
    tools = []
    for comp, rot in ((1, 0), (1, 1), (0, 0), (0, 1)):
        name = f"tmk {'comp' if comp else 'raw'} rot{rot}"
        tools.append((name, [filt, "1", "bench", "bench", "1", f"{res} CompPrinting={comp} Rotation={rot}"],
                      dict(os.environ, PPD=ppd)))
    tools.append(("floor", [os.path.join(build, "tools", "raster-floor")], None))
    if dpi in peer_ppds:
        tools.append(("peer ZPL", [PEER, "1", "bench", "bench", "1", ""], dict(os.environ, PPD=peer_ppds[dpi])))
    return tools


def callgrind_instructions(argv, stdin_path, env):
    with tempfile.NamedTemporaryFile() as out, open(stdin_path, "rb") as stdin:
        run = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out.name}"] + argv,
                             stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
        for line in run.stderr.decode(errors="replace").splitlines():
            if "Collected :" in line:
                return int(line.split(":")[-1].strip())
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"), help="build folder (Release-like)")
    parser.add_argument("--rounds", type=int, default=11, help="interleaved rounds (median taken)")
    parser.add_argument("--quick", action="store_true", help="small jobs and 3 rounds: proves the script works")
    parser.add_argument("--callgrind", action="store_true", help="also count instructions with callgrind")
    args = parser.parse_args()
    rounds = 3 if args.quick else args.rounds

    spawn = os.path.join(args.build, "tools", "bench-spawn")
    work = tempfile.mkdtemp(prefix="tmk-bench-")
    try:
        workloads = make_workloads(work, args.build, args.quick)
        ppds = peer_ppds(work)
        plan = [(w, t) for w in workloads for t in tools_for(args.build, work, w[2], ppds)]
        results = {(w[0], t[0]): [] for w, t in plan}
        for _ in range(rounds):
            order = plan[:]
            random.shuffle(order)
            for w, t in order:
                results[(w[0], t[0])].append(run_once(spawn, t[1], w[1], t[2]))

        print(f"{'workload':<22} {'tool':<15} {'median ms':>10} {'peak RSS MiB':>13} {'stdout B':>11} "
              f"{'stderr B':>11} {'x floor':>8} {'x peer':>7}" + (f" {'instructions':>14}" if args.callgrind else ""))
        summary = {}
        for w in workloads:
            medians = {}
            for (wname, tname), runs in results.items():
                if wname == w[0]:
                    medians[tname] = statistics.median(r[0] for r in runs)
            for w2, t in plan:
                if w2[0] != w[0]:
                    continue
                runs = results[(w[0], t[0])]
                med = medians[t[0]]
                rss = max(r[1] for r in runs) / 1024
                floor = medians.get("floor")
                peer = medians.get("peer ZPL")
                status = {r[4] for r in runs}
                line = (f"{w[0]:<22} {t[0]:<15} {med * 1000:>10.2f} {rss:>13.2f} {runs[0][2]:>11} {runs[0][3]:>11} "
                        f"{med / floor:>8.2f} " + (f"{med / peer:>7.2f}" if peer else f"{'-':>7}"))
                if args.callgrind:
                    count = callgrind_instructions(t[1], w[1], t[2])
                    line += f" {count if count is not None else '-':>14}"
                if status != {0}:
                    line += f"  exit {sorted(status)}"
                print(line)
                summary[(w[0], t[0])] = (med, rss, w[3])
        print()
        report_targets(summary, workloads, results)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def report_targets(summary, workloads, results):
    def ratio(workload, tool, base):
        a, b = summary.get((workload, tool)), summary.get((workload, base))
        return a[0] / b[0] if a and b else None

    def spread(name):
        # The two tools of a target ran in the same rounds: the ratio within
        # each round shows how far the machine's noise moves the figure.
        workload, tool, base = name
        a, b = results.get((workload, tool)), results.get((workload, base))
        if not a or not b or len(a) < 4:
            return ""
        per_round = [x[0] / y[0] for x, y in zip(a, b)]
        quarters = statistics.quantiles(per_round, n=4)
        return f" (per round: median {statistics.median(per_round):.2f}, middle half {quarters[0]:.2f} to {quarters[2]:.2f})"
    job = next(w[0] for w in workloads if " x 4x6 203" in w[0])
    checks = [
        (f"{job}, comp rot0 <= 0.5 x peer", (job, "tmk comp rot0", "peer ZPL"), 0.5),
        (f"{job}, comp rot1 <= 0.6 x peer", (job, "tmk comp rot1", "peer ZPL"), 0.6),
        (f"{job}, raw rot0 <= 2 x floor", (job, "tmk raw rot0", "floor"), 2.0),
        ("4x6 label 600 dpi, comp rot1 <= 0.7 x peer", ("4x6 label 600 dpi", "tmk comp rot1", "peer ZPL"), 0.7),
    ]
    for name, measured, limit in checks:
        value = ratio(*measured)
        if value is None:
            print(f"target {name}: not measured (no peer)")
        else:
            print(f"target {name}: {value:.2f} {'met' if value <= limit else 'MISSED'}{spread(measured)}")
    labels = int(job.split()[0])
    for tool in ("tmk comp rot0", "tmk comp rot1", "tmk raw rot0", "peer ZPL"):
        one, many = summary.get(("4x6 label 203 dpi", tool)), summary.get((job, tool))
        if one and many:
            print(f"per label, {tool}: {(many[0] - one[0]) / (labels - 1) * 1000:.3f} ms beyond the first; "
                  f"peak RSS {one[1]:.2f} MiB for 1 label, {many[1]:.2f} MiB for {labels}")
    for w in workloads:
        floor = summary.get((w[0], "floor"))
        if not floor:
            continue
        limit = floor[1] + 3 * w[3] / 2**20 + 1
        worst = max(v[1] for (wn, tn), v in summary.items() if wn == w[0] and tn.startswith("tmk"))
        print(f"target peak RSS {w[0]}: {worst:.2f} MiB <= {limit:.2f} MiB "
              f"{'met' if worst <= limit else 'MISSED'}")


if __name__ == "__main__":
    sys.exit(main())
