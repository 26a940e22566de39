"""What the end-to-end tests share: the programs under test, label documents
made with Ghostscript, the prefilter chain through cupsfilter, and the
printer stream read back with tmk-decode.

CTest runs each test alone with the paths of the build in the environment:
TMK_FILTER, TMK_BACKEND (the test printer), TMK_DECODE and TMK_PPD.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import private_cupsd  # noqa: E402

FILTER = os.environ.get("TMK_FILTER", "")
BACKEND = os.environ.get("TMK_BACKEND", "")
DECODE = os.environ.get("TMK_DECODE", "")
PPD = os.environ.get("TMK_PPD", "")

# A label that shows where its edges and its top-left corner went: a 2 pt
# frame on the page's edge, a filled square near the top-left corner, and
# its number. The page size comes from the device.
LABEL_PS = """%!PS
/LABELS where { pop } { /LABELS 1 def } ifelse
1 1 LABELS {
  /n exch def
  /w currentpagedevice /PageSize get 0 get def
  /h currentpagedevice /PageSize get 1 get def
  0 setgray 2 setlinewidth 1 1 w 2 sub h 2 sub rectstroke
  6 h 22 sub 16 16 rectfill
  /Helvetica findfont 12 scalefont setfont 30 h 22 sub moveto (Label ) show n 10 string cvs show
  showpage
} for
"""


def gs(out, device, dpi, width_pt, height_pt, labels=1):
    """Renders the label LABELS times: "pdf", "png" (1 bit at DPI) or "raster"
    (1-bit CUPS raster at DPI, as gstoraster makes it for our PPDs)."""
    form = {"pdf": ["-sDEVICE=pdfwrite"],
            "png": ["-sDEVICE=pngmono", f"-r{dpi}"],
            "raster": ["-sDEVICE=cups", f"-r{dpi}", "-dcupsColorSpace=3", "-dcupsBitsPerColor=1"]}[device]
    script = os.path.join(os.path.dirname(out), "label.ps")
    with open(script, "w") as f:
        f.write(LABEL_PS)
    subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE"] + form +
                   [f"-dDEVICEWIDTHPOINTS={width_pt}", f"-dDEVICEHEIGHTPOINTS={height_pt}", "-dFIXEDMEDIA",
                    f"-dLABELS={labels}", f"-sOutputFile={out}", script],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return out


@dataclass
class Page:
    before: list  # commands between SOT and the image: SOT, SOB
    after: list  # commands after the image: a cut, P1
    bands: list  # "LD"/"LCR" with their rows
    width: int = 0  # in pixels: 8 per byte of a row
    rows: int = 0
    pixels: bytes = b""

    def ink(self, y, x):
        return (self.pixels[y * (self.width // 8) + x // 8] >> (7 - x % 8)) & 1 == 1

    def ink_in(self, top, left, height, width):
        return any(self.ink(y, x) for y in range(top, top + height) for x in range(left, left + width))


@dataclass
class Stream:
    setup: list = field(default_factory=list)  # the commands before the first page
    pages: list = field(default_factory=list)
    problems: str = ""  # what tmk-decode found wrong; empty for a whole stream


def decode(data, work):
    """The printer stream as tmk-decode reads it, pages with their pixels."""
    stream_file = os.path.join(work, "stream.bin")
    with open(stream_file, "wb") as f:
        f.write(data)
    prefix = os.path.join(work, "page")
    done = subprocess.run([DECODE, "-p", prefix, stream_file], capture_output=True, text=True)
    result = Stream(problems=done.stderr if done.returncode else "")
    page = None
    for line in done.stdout.splitlines():
        if page is None and line == "SOT":
            page = Page([], [], [])
        if page is None:
            result.setup.append(line)
        elif line.startswith(("LD ", "LCR ")):
            page.bands.append(line)
        elif line == "(end of image)":
            pass
        elif line.startswith("page "):
            found = re.search(r"written to (.*)$", line)
            if found:
                with open(found.group(1), "rb") as f:
                    _, size, page.pixels = f.read().split(b"\n", 2)
                page.width, page.rows = map(int, size.split())
            result.pages.append(page)
            page = None
        elif page.bands:
            page.after.append(line)
        else:
            page.before.append(line)
    return result


def cupsfilter(work, document, options):
    """Runs DOCUMENT through the stock prefilters and our filter, as the
    scheduler would for a queue with our PPD: (printer stream, the filters
    in their order, standard error)."""
    bin_dir = os.path.join(work, "serverbin")
    if not os.path.isdir(bin_dir):
        private_cupsd.make_dir(bin_dir)
        private_cupsd.server_bin(bin_dir, FILTER)
        # Our own (empty) cups-files.conf, so that the system's is not read.
        open(os.path.join(work, "cups-files.conf"), "w").close()
    argv = ["cupsfilter", "-c", os.path.join(work, "cups-files.conf"), "-p", PPD, "-e", "-m", "printer/tmk"]
    for option in options:
        argv += ["-o", option]
    done = subprocess.run(argv + [document], capture_output=True, env=dict(os.environ, CUPS_SERVERBIN=bin_dir))
    err = done.stderr.decode(errors="replace")
    if done.returncode != 0:
        raise AssertionError(f"cupsfilter failed ({done.returncode}):\n{err}")
    return done.stdout, re.findall(r"^INFO: (\S+) \(PID \d+\) started\.$", err, re.M), err


def run_filter(ppd, options, document):
    """Our filter alone, as the scheduler starts it on a raster document."""
    with open(document, "rb") as f:
        done = subprocess.run([FILTER, "1", "user", "label", "1", " ".join(options)], stdin=f, capture_output=True,
                              env=dict(os.environ, PPD=ppd))
    if done.returncode != 0:
        raise AssertionError(f"the filter failed:\n{done.stderr.decode(errors='replace')}")
    return done.stdout


class TestCase(unittest.TestCase):
    """A test with a temporary folder of its own, readable by lp."""

    def setUp(self):
        missing = [name for name, path in (("TMK_FILTER", FILTER), ("TMK_BACKEND", BACKEND), ("TMK_DECODE", DECODE),
                                           ("TMK_PPD", PPD)) if not os.path.exists(path)]
        if missing:
            self.fail(f"{', '.join(missing)} must name the build's files: run through ctest")
        for program, package in (("gs", "ghostscript"), ("cupsfilter", "cups"), ("lp", "cups-client")):
            if not shutil.which(program):
                self.fail(f"{program} is missing (Debian package {package})")
        self.work = tempfile.mkdtemp(prefix="tmk-e2e-")
        os.chmod(self.work, 0o755)
        self.addCleanup(shutil.rmtree, self.work, True)


def main():
    """Runs the tests named on the command line; exit status 77 (CTest's skip)
    when every one of them was skipped."""
    program = unittest.main(exit=False, verbosity=2)
    result = program.result
    if result.testsRun and len(result.skipped) == result.testsRun:
        sys.exit(77)
    sys.exit(0 if result.wasSuccessful() else 1)
