#!/usr/bin/env python3
"""A label PDF and a PNG through the stock Debian prefilters into our filter,
with our PPD and job options, as cupsfilter runs them for a queue."""
import os

import e2e

# Label sizes of the PPD: (PageSize, width and height in points).
TWO_BY_ONE = ("9", 144, 72)
THREE_BY_THREE = ("30", 216, 216)
FOUR_BY_SIX = ("51", 288, 432)


class PrefilterChain(e2e.TestCase):

    def test_label_reaches_the_printer_at_its_size_with_its_options(self):
        # SL and SW are the filter's dots for the size (8, 11.8 or 23.6 per
        # mm), the page is the rendered raster: inches times dpi, turned for
        # a quarter turn. The corner is where the label's top-left mark went.
        cases = [
            ("pdf", 203, FOUR_BY_SIX, ["Darkness=12", "CompPrinting=1"],
             ["SL1219,24,G", "SW812", "STd", "SD12"], [], "LCR", (812, 1218), "top-left"),
            ("pdf", 300, TWO_BY_ONE, ["Rotation=1", "CompPrinting=0", "SensorType=2"],
             ["SL599,24,B", "SW299", "STd", "SD10"], [], "LD", (300, 600), "top-right"),
            ("pdf", 600, THREE_BY_THREE, ["Rotation=2", "MediaType=1", "CompPrinting=1"],
             ["SL1798,24,G", "SW1798", "STt", "SD10"], ["SOB"], "LCR", (1800, 1800), "top-left"),
            ("png", 203, TWO_BY_ONE, ["Rotation=3", "CompPrinting=1"],
             ["SL406,24,G", "SW203", "STd", "SD10"], [], "LCR", (203, 406), "bottom-left"),
            ("png", 300, THREE_BY_THREE, ["Darkness=5", "CompPrinting=0"],
             ["SL899,24,G", "SW899", "STd", "SD5"], [], "LD", (900, 900), "top-left"),
            ("png", 600, TWO_BY_ONE, ["SensorType=1", "CompPrinting=1"],
             ["SL599,24,C", "SW1198", "STd", "SD10"], [], "LCR", (1200, 600), "top-left"),
        ]
        chains = {"pdf": ["pdftopdf", "gstoraster", e2e.private_cupsd.FILTER_NAME],
                  "png": ["imagetoraster", e2e.private_cupsd.FILTER_NAME]}
        for kind, dpi, (size, width_pt, height_pt), options, setup, before, band, (width, rows), corner in cases:
            with self.subTest(kind=kind, dpi=dpi, size=size, options=options):
                document = e2e.gs(os.path.join(self.work, f"label-{dpi}.{kind}"), kind, dpi, width_pt, height_pt)
                out, chain, err = e2e.cupsfilter(self.work, document,
                                                 [f"PageSize={size}", f"Resolution={dpi}dpi"] + options)
                self.assertEqual(chain, chains[kind])
                stream = e2e.decode(out, self.work)
                self.assertEqual(stream.problems, "")
                self.assertEqual([c for c in stream.setup if c[:2] in ("SL", "SW", "ST", "SD")], setup)
                self.assertEqual(len(stream.pages), 1, err)
                page = stream.pages[0]
                self.assertEqual(page.before, ["SOT"] + before)
                self.assertEqual(page.after, ["P1"])
                self.assertEqual({line.split()[0] for line in page.bands}, {band})
                # The bands cover the rendered page: the frame shows on all
                # four edges, so nothing was cut off or moved.
                self.assertEqual((page.rows, (page.width - width) // 8), (rows, 0))
                self.assertTrue(page.ink_in(0, 0, 1, width) and page.ink_in(rows - 1, 0, 1, width))
                self.assertTrue(page.ink_in(0, 0, rows, 1) and page.ink_in(0, width - 1, rows, 1))
                # The mark (a 16 pt square 6 pt in) lies in one corner only.
                mark = dpi * 14 // 72
                corners = {"top-left": (mark, mark), "top-right": (mark, width - 1 - mark),
                           "bottom-left": (rows - 1 - mark, mark), "bottom-right": (rows - 1 - mark, width - 1 - mark)}
                self.assertEqual([name for name, (y, x) in corners.items() if page.ink(y, x)], [corner])


if __name__ == "__main__":
    e2e.main()
