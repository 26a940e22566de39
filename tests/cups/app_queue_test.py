#!/usr/bin/env python3
"""A PDF printed with lp through a private cupsd's IPP Everywhere queue to
the printer application (started as tools/printer_app.py starts it: as
nobody, on a loopback port), and what its pretend printer received."""
import os
import shutil
import time

import e2e
from private_cupsd import JOB_COMPLETED, JOB_STATES, Cupsd, can_run
from printer_app import PretendPrinter, PrinterApp, create_printer

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

    def test_pdf_through_an_everywhere_queue_reaches_the_printer_as_one_2x1_label(self):
        printer = PretendPrinter()
        self.addCleanup(printer.close)
        app = PrinterApp(APP, e2e.FILTER, os.path.dirname(e2e.PPD))
        self.addCleanup(app.close)
        create_printer(self.work, app, "label", "tamrisk_standard-203dpi", printer.uri())
        cupsd = Cupsd(e2e.FILTER, e2e.BACKEND)
        self.addCleanup(cupsd.close)
        cupsd.lpadmin("-p", "Q", "-E", "-v", app.uri("label"), "-m", "everywhere")

        pdf = e2e.gs(os.path.join(self.work, "label.pdf"), "pdf", 203, 144, 72)
        job = cupsd.submit("Q", pdf, ["media=oe_2x1-label_2x1in"])
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
        self.assertEqual((stream.problems, len(stream.pages)), ("", 1))
        # 2 x 1 in at 203 dpi: 406 dots wide, 203 long.
        self.assertIn("SL203,24,G", stream.setup)
        self.assertIn("SW406", stream.setup)
        page = stream.pages[0]
        self.assertEqual(page.rows, 203)
        # The label's filled square, 6 to 22 pt from its top-left corner, is
        # there and upright; the space right of its text stays blank.
        self.assertTrue(all(page.ink(y, x) for y in range(25, 55) for x in range(25, 55)), "no square at the top left")
        self.assertFalse(page.ink_in(100, 300, 90, 90), "ink where the label has none")


if __name__ == "__main__":
    e2e.main()
