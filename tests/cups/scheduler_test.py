#!/usr/bin/env python3
"""Jobs through a private cupsd: the stock prefilters, our filter as lp, and
our test printer as the backend (tools/tmk-test-backend.cc). Each test has
a scheduler of its own; it takes a tenth of a second to start."""
import os
import re
import time

import e2e
from private_cupsd import JOB_CANCELED, JOB_COMPLETED, JOB_STATES, Cupsd, can_run, values
from printer_app import PretendPrinter

TWO_BY_ONE = ["PageSize=9", "Resolution=203dpi"]
STATUS_REQUEST = b"^cp\r"


class Scheduler(e2e.TestCase):

    def setUp(self):
        super().setUp()
        why = can_run()
        if why:
            self.skipTest(why)
        self.cupsd = Cupsd(e2e.FILTER, e2e.BACKEND)
        self.addCleanup(self.cupsd.close)

    def document(self, kind, labels, dpi=203):
        path = os.path.join(self.work, f"labels-{labels}-{dpi}.{kind}")
        return path if os.path.exists(path) else e2e.gs(path, kind, dpi, 144, 72, labels)

    def print_job(self, queue, document, options, copies=None):
        """Prints and waits for the job to complete: (job id, what the printer
        got)."""
        job = self.cupsd.submit(queue, document, options, copies)
        ended = self.cupsd.wait_job(job)
        self.assertEqual(JOB_STATES.get(ended), JOB_STATES[JOB_COMPLETED], self.cupsd.error_log_tail())
        with open(os.path.join(self.cupsd.out, queue), "rb") as f:
            return job, f.read()

    def job_log(self, job):
        return [line for line in self.cupsd.read_log().splitlines() if f"[Job {job}] " in line]

    def test_documents_reach_the_printer_as_the_filter_wrote_them(self):
        # The reference is our filter run alone on the raster, and cupsfilter
        # on the PDF: the scheduler, the pipes and the backend add nothing.
        self.cupsd.add_queue("tmk", e2e.PPD)
        options = TWO_BY_ONE + ["Darkness=12", "CompPrinting=1"]
        for kind in ("raster", "pdf"):
            with self.subTest(kind):
                document = self.document(kind, 2)
                _, printed = self.print_job("tmk", document, options)
                if kind == "raster":
                    expected = e2e.run_filter(e2e.PPD, options, document)
                else:
                    expected = e2e.cupsfilter(self.work, document, options)[0]
                self.assertEqual(printed, expected)
                stream = e2e.decode(printed, self.work)
                self.assertEqual((stream.problems, len(stream.pages)), ("", 2))
                self.assertIn("SD12", stream.setup)

    def test_printer_status_shows_in_the_queue_until_a_clean_status_clears_it(self):
        # (status byte, printer-state-reasons after the job, state messages
        # of the job in the scheduler's log)
        steps = [(0x08, ["media-jam"], ["Paper jam"]),
                 (0x48, ["cover-open", "media-jam"], ["Paper jam", "Cover open"]),
                 (0x00, [], [])]
        self.cupsd.add_queue("tmk", e2e.PPD)
        for status, reasons, messages in steps:
            with self.subTest(status=f"{status:02X}"):
                self.cupsd.set_printer("tmk", status=status)
                job, printed = self.print_job("tmk", self.document("raster", 1), TWO_BY_ONE + ["StatusCheck=1"])
                self.assertTrue(printed.startswith(STATUS_REQUEST + b"SL203,24,G\r\n"), printed[:20])
                shown = values(self.cupsd.ipp.printer("tmk", "printer-state-reasons"), "printer-state-reasons")
                self.assertEqual(sorted(r.decode() for r in shown if r != b"none"), reasons)
                # Later filters overwrite the state message; the log keeps it.
                logged = [m for m in ("Out of ribbon", "Paper jam", "TPH error", "Cutter jam", "Cover open",
                                      "Out of paper") if any(line.endswith(f"] {m}") for line in self.job_log(job))]
                self.assertEqual(logged, messages)

    def test_a_jam_shows_through_a_plain_socket_queue(self):
        # CUPS's socket backend would first ask the printer for its supplies
        # over SNMP (4 s where nothing answers): the PPDs tell it not to, and
        # the status request reaches the printer within the filter's wait.
        printer = PretendPrinter(status=0x08)
        self.addCleanup(printer.close)
        self.cupsd.lpadmin("-p", "net", "-E", "-v", printer.uri(), "-P", e2e.PPD)
        job = self.cupsd.submit("net", self.document("raster", 1), TWO_BY_ONE + ["StatusCheck=1"])
        self.assertEqual(JOB_STATES.get(self.cupsd.wait_job(job)), JOB_STATES[JOB_COMPLETED],
                         self.cupsd.error_log_tail())
        shown = values(self.cupsd.ipp.printer("net", "printer-state-reasons"), "printer-state-reasons")
        self.assertIn(b"media-jam", shown, self.cupsd.error_log_tail())

    def test_printer_that_never_answers_costs_at_most_the_status_wait(self):
        self.cupsd.add_queue("tmk", e2e.PPD, status="none")
        started = time.monotonic()
        _, printed = self.print_job("tmk", self.document("raster", 1), TWO_BY_ONE + ["StatusCheck=1"])
        took = time.monotonic() - started
        self.assertLess(took, 3 + 4, "the filter waits at most 3 s for the printer's answer")
        self.assertTrue(printed.startswith(STATUS_REQUEST + b"SL203,24,G\r\n"), printed[:20])
        self.assertEqual(len(e2e.decode(printed, self.work).pages), 1)

    def test_cancel_mid_job_leaves_whole_labels_at_the_printer(self):
        # A printer of 200 KB/s takes the 40 uncompressed labels (400 KB) in
        # 2 s; the job is canceled once it has 20 KB. The filter finishes the
        # label it is on and the printer gets that label whole.
        labels = 40
        options = TWO_BY_ONE + ["CompPrinting=0"]
        for kind in ("raster", "pdf"):
            with self.subTest(kind):
                queue = f"slow-{kind}"
                device = self.cupsd.add_queue(queue, e2e.PPD, rate=200 * 1024)
                job = self.cupsd.submit(queue, self.document(kind, labels), options)
                deadline = time.monotonic() + 30
                while not os.path.exists(device) or os.path.getsize(device) < 20 * 1024:
                    self.assertLess(time.monotonic(), deadline, self.cupsd.error_log_tail())
                    time.sleep(0.005)
                self.cupsd.cancel(job)
                self.assertEqual(JOB_STATES.get(self.cupsd.wait_job(job)), JOB_STATES[JOB_CANCELED])
                self.cupsd.wait_idle(queue)
                with open(device, "rb") as f:
                    stream = e2e.decode(f.read(), self.work)
                self.assertEqual(stream.problems, "")
                self.assertTrue(0 < len(stream.pages) < labels, len(stream.pages))
                self.assertTrue(all(page.after == ["P1"] and page.rows == 203 for page in stream.pages))
                with open(device + ".notes") as f:
                    self.assertIn("term", f.read(), "the scheduler's SIGTERM reached the job")

    def test_three_labels_are_printed_and_counted(self):
        # A 3-label job, and lp -n 3 of one label: the PPD leaves the copies
        # to the prefilters (cupsManualCopies), the filter counts its pages.
        cases = [("raster", 3, None), ("pdf", 3, None), ("pdf", 1, 3)]
        self.cupsd.add_queue("tmk", e2e.PPD)
        for kind, labels, copies in cases:
            with self.subTest(kind=kind, labels=labels, copies=copies):
                job, printed = self.print_job("tmk", self.document(kind, labels), TWO_BY_ONE, copies)
                self.assertEqual(len(e2e.decode(printed, self.work).pages), 3)
                self.assertEqual(self.cupsd.ipp.job(job, "job-impressions-completed").get("job-impressions-completed"), 3)
                # The scheduler logs a job's total when it ends.
                page_log = self.cupsd.read_log("page_log")
                self.assertEqual(re.findall(rf"^tmk \S+ {job} \[[^]]*\] total (\d+) ", page_log, re.M), ["3"], page_log)


if __name__ == "__main__":
    e2e.main()
