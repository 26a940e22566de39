#!/usr/bin/env python3
"""A PDF printed with lp through a private cupsd's IPP Everywhere queue to
the printer application (started as tools/printer_app.py starts it: as
nobody, on a loopback port), and what its pretend printer received."""
import os
import shutil
import subprocess
import time

import e2e
from private_cupsd import JOB_COMPLETED, JOB_STATES, Cupsd, can_run
from printer_app import PretendPrinter, PrinterApp, checked, create_printer, ipptool

APP = os.environ.get("TMK_APP", "")


class AppQueue(e2e.TestCase):

    def setUp(self):
        super().setUp()
        why = can_run()
        if why:
            self.skipTest(why)
        if not APP:
            self.skipTest("the printer application was not built (PAPPL missing)")
        if not shutil.which("ipptool"):
            self.fail("ipptool is missing (Debian package cups-ipp-utils)")

    def print_through_an_everywhere_queue(self, loaded, width_pt, height_pt, options, pdf=None, pages=1):
        """The label as a PDF of WIDTH_PT x HEIGHT_PT (or the PDF given, of
        PAGES pages) printed with OPTIONS through an everywhere queue made
        without a media default, the printer's LOADED label (a
        media-col-ready member list) set first; the printer stream
        decoded."""
        printer = PretendPrinter()
        self.addCleanup(printer.close)
        app = PrinterApp(APP, e2e.FILTER, os.path.dirname(e2e.PPD))
        self.addCleanup(app.close)
        create_printer(self.work, app, "label", "tamrisk_standard-203dpi", printer.uri())
        if loaded:
            checked(ipptool(self.work, app.uri("label"),
                            "{\n  OPERATION Set-Printer-Attributes\n  GROUP operation-attributes-tag\n"
                            "  ATTR charset attributes-charset utf-8\n"
                            "  ATTR naturalLanguage attributes-natural-language en\n  ATTR uri printer-uri $uri\n"
                            f"  GROUP printer-attributes-tag\n  ATTR collection media-col-ready {{\n{loaded}  }}\n"
                            "  STATUS successful-ok\n}\n"), "Set-Printer-Attributes")
        cupsd = Cupsd(e2e.FILTER, e2e.BACKEND)
        self.addCleanup(cupsd.close)
        cupsd.lpadmin("-p", "Q", "-E", "-v", app.uri("label"), "-m", "everywhere")

        if pdf is None:
            pdf = e2e.gs(os.path.join(self.work, "label.pdf"), "pdf", 203, width_pt, height_pt)
        job = cupsd.submit("Q", pdf, options)
        ended = cupsd.wait_job(job)
        self.assertEqual(JOB_STATES.get(ended), JOB_STATES[JOB_COMPLETED],
                         f"{cupsd.error_log_tail()}\nthe app's log:\n{app.log()}")
        # The queue's job ends once the app's has; the filter's connection to
        # the printer closes just after.
        deadline = time.monotonic() + 30
        while not printer.job()[2]:
            if time.monotonic() > deadline:
                self.fail(f"the printer's connection is still open, {printer.job()[0]} B in:\n{app.log()}")
            time.sleep(0.01)

        stream = e2e.decode(printer.job_data(), self.work)
        self.assertEqual((stream.problems, len(stream.pages)), ("", pages))
        return stream

    def test_pdf_through_an_everywhere_queue_reaches_the_printer_as_one_2x1_label(self):
        stream = self.print_through_an_everywhere_queue(None, 144, 72, ["media=oe_2x1-label_2x1in"])
        # 2 x 1 in at 203 dpi: 406 dots wide, 203 long.
        self.assertIn("SL203,24,G", stream.setup)
        self.assertIn("SW406", stream.setup)
        page = stream.pages[0]
        self.assertEqual(page.rows, 203)
        # The label's filled square, 6 to 22 pt from its top-left corner, is
        # there and upright; the space right of its text stays blank.
        self.assertTrue(all(page.ink(y, x) for y in range(25, 55) for x in range(25, 55)), "no square at the top left")
        self.assertFalse(page.ink_in(100, 300, 90, 90), "ink where the label has none")

    def test_a_job_that_names_no_size_comes_out_as_the_loaded_label_unshrunk(self):
        loaded = ("    MEMBER collection media-size {\n      MEMBER integer x-dimension 7620\n"
                  "      MEMBER integer y-dimension 5080\n    }\n"
                  "    MEMBER keyword media-size-name oe_3x2-label_3x2in\n    MEMBER keyword media-source main-roll\n"
                  "    MEMBER keyword media-type labels\n    MEMBER keyword media-tracking gap\n")
        stream = self.print_through_an_everywhere_queue(loaded, 216, 144, [])
        # 3 x 2 in at 203 dpi: 609 dots wide, 406 long.
        self.assertIn("SL406,24,G", stream.setup)
        self.assertIn("SW609", stream.setup)
        page = stream.pages[0]
        self.assertEqual(page.rows, 406)
        # At full size: the square 6 to 22 pt (17 to 62 dots) from the
        # top-left corner, the frame's 2 pt line on the right and bottom
        # edges, and nothing just inside the frame.
        self.assertTrue(all(page.ink(y, x) for y in range(20, 60) for x in range(20, 60)), "no full-size square")
        self.assertTrue(all(page.ink(y, x) for y in range(100, 300) for x in range(603, 606)), "no frame on the right edge")
        self.assertTrue(all(page.ink(y, x) for y in range(400, 403) for x in range(100, 500)), "no frame on the bottom edge")
        self.assertFalse(page.ink_in(100, 560, 250, 35), "ink inside the frame's right side")

    def test_the_pages_of_a_pdf_come_out_first_page_first(self):
        # Labels come off the roll one by one: the app says its output is
        # face down, first to last, so that the queue does not turn the
        # pages round. Page N holds N squares of 30 pt side by side.
        script = os.path.join(self.work, "squares.ps")
        with open(script, "w") as f:
            f.write("%!PS\n1 1 3 { /n exch def 1 1 n { 1 sub 40 mul 10 add 20 30 30 rectfill } for showpage } for\n")
        pdf = os.path.join(self.work, "squares.pdf")
        subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite", "-dDEVICEWIDTHPOINTS=144",
                        "-dDEVICEHEIGHTPOINTS=72", "-dFIXEDMEDIA", f"-sOutputFile={pdf}", script], check=True)
        stream = self.print_through_an_everywhere_queue(None, 144, 72, ["media=oe_2x1-label_2x1in"], pdf, 3)
        # The squares' centres, 35 pt from the bottom and 25, 65 and 105 pt
        # from the left, in dots at 203 dpi.
        squares = [sum(page.ink(104, x) for x in (70, 183, 296)) for page in stream.pages]
        self.assertEqual(squares, [1, 2, 3])


if __name__ == "__main__":
    e2e.main()
