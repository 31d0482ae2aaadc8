#!/usr/bin/env python3
"""Prints the page-end figures recorded by page_end_figures.sh as one table.

usage: page_end_table.py RECORDS RUNS

Every figure is the median, over the runs that completed, of the time from
the sane_start call to EOF; a run that failed is counted beside its row.
"""
import sys

from streaming_table import completed, fmt, median, pick, read_records

CASES = [("c300", "A4 colour 300 dpi"), ("c600", "A4 colour 600 dpi"), ("g150", "A4 grey 150 dpi"),
         ("b300", "A4 b/w 300 dpi")]
PATHS = [("before", "whole before"), ("after", "whole after"), ("stream", "streaming")]


def main():
    records = read_records(sys.argv[1])
    runs_wanted = sys.argv[2] if len(sys.argv) > 2 else "?"
    commits = (pick(records, kind="commits") or [{}])[0]
    print("Page end: ms from sane_start to EOF, median of %s runs, the three paths in turn" % runs_wanted)
    print("   whole before: the whole-page delivery of %s's library; whole after, streaming: this tree's (%s)"
          % (commits.get("before", "?"), commits.get("after", "?")))
    for r in pick(records, kind="library"):
        print("   %-6s loaded %s" % (r["path"], r.get("file") or "?"))
    print("   paced: 16 KiB bands every 50 ms; fast: as fast as the socket takes; load1: when the row's runs began")
    print("   %-18s %-6s" % ("page", "sim") + "".join(" %12s" % title for _, title in PATHS)
          + " %12s %13s %6s" % ("after/stream", "before/stream", "load1"))
    for case, title in CASES:
        for sim in ("paced", "fast"):
            eof, notes = {}, ""
            for path, _ in PATHS:
                runs = pick(records, kind="scan", case=case, sim=sim, path=path)
                ok = completed(runs)
                eof[path] = median([float(r["eof"]) for r in ok])
                if len(ok) < len(runs):
                    notes += "  (%s: %d of %d runs failed)" % (path, len(runs) - len(ok), len(runs))

            def ratio(path):
                return eof[path] / eof["stream"] if eof[path] is not None and eof["stream"] else None

            load = (pick(records, kind="load", case=case, sim=sim) or [{}])[0].get("load1", "?")
            print("   %-18s %-6s" % (title, sim) + "".join(" %12s" % fmt(eof[path], "%.0f") for path, _ in PATHS)
                  + " %12s %13s %6s" % (fmt(ratio("after"), "%.2f"), fmt(ratio("before"), "%.2f"), load) + notes)


if __name__ == "__main__":
    main()
