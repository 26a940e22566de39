"""What the whole-run benchmarks share: rendering label jobs with Ghostscript
and compiling the peer's ZPL PPDs for CUPS's rastertolabel."""
import os
import shutil
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PEER = "/usr/lib/cups/filter/rastertolabel"


def gs_render(ps, out, dpi, width_pt, height_pt, labels, device="cups"):
    """Renders LABELS pages of a PostScript label from this folder: 1-bit CUPS
    raster with the cups device, or a PDF with pdfwrite."""
    if device == "cups":
        form = ["-sDEVICE=cups", f"-r{dpi}", "-dcupsColorSpace=3", "-dcupsBitsPerColor=1"]
    else:
        form = [f"-sDEVICE={device}"]
    subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE"] + form +
                   [f"-dDEVICEWIDTHPOINTS={width_pt}", f"-dDEVICEHEIGHTPOINTS={height_pt}", "-dFIXEDMEDIA",
                    f"-dLABELS={labels}", f"-sOutputFile={out}", os.path.join(HERE, ps)],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def peer_ppds(work):
    """Compiles zebra-zpl.drv into WORK/ppd; returns {dpi: PPD path}, or {}
    when CUPS's rastertolabel or ppdc is missing."""
    if not (os.access(PEER, os.X_OK) and shutil.which("ppdc")):
        return {}
    out = os.path.join(work, "ppd")
    subprocess.run(["ppdc", "-d", out, os.path.join(HERE, "zebra-zpl.drv")], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return {dpi: os.path.join(out, f"zpl{dpi}.ppd") for dpi in (203, 300, 600)}
