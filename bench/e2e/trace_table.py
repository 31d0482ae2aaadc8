#!/usr/bin/env python3
"""Prints the wire-trace figures recorded by trace_figures.sh as one table.

usage: trace_table.py RECORDS RUNS-TEXT

Every time is the median, over the runs that completed, of the time from
the sane_start call to EOF; a run that failed is counted beside its row.
on/off is the cost of writing the trace (goal: at most 1.05), off/before
that of the hooks while no trace is written (goal: nothing measurable); each
is the median of the ratios within a round (the six paths run one after the
other), which the machine's load changes less than it changes the times.
"""
import sys

from streaming_table import completed, fmt, median, pick, read_records

CASES = [("c300", "A4 colour 300 dpi"), ("c600", "A4 colour 600 dpi"), ("g150", "A4 grey 150 dpi"),
         ("b300", "A4 b/w 300 dpi")]
DELIVERIES = [("whole", "whole page"), ("stream", "streaming")]


def main():
    records = read_records(sys.argv[1])
    runs_wanted = " ".join(sys.argv[2:]) or "?"
    commits = (pick(records, kind="commits") or [{}])[0]
    print("Wire trace: ms from sane_start to EOF, median of %s runs, the six paths in turn;" % runs_wanted)
    print("   on/off, off/bef: median of the ratios within each round")
    print("   before: %s's library (no trace); off, on: this tree's (%s) without and with `trace DIRECTORY`"
          % (commits.get("before", "?"), commits.get("after", "?")))
    print("   paced: 16 KiB bands every 50 ms; fast: as fast as the socket takes; load1: when the row's runs began")
    print("   %-18s %-6s %-10s %8s %8s %8s %8s %8s %9s %6s"
          % ("page", "sim", "delivery", "before", "off", "on", "on/off", "off/bef", "trace MiB", "load1"))
    for case, title in CASES:
        for sim in ("paced", "fast"):
            if not pick(records, kind="scan", case=case, sim=sim):
                continue
            load = (pick(records, kind="load", case=case, sim=sim) or [{}])[0].get("load1", "?")
            for delivery, name in DELIVERIES:
                eof, by_run, notes = {}, {}, ""
                for state in ("before", "off", "on"):
                    runs = pick(records, kind="scan", case=case, sim=sim, path="%s-%s" % (delivery, state))
                    ok = completed(runs)
                    eof[state] = median([float(r["eof"]) for r in ok])
                    by_run[state] = {r["run"]: float(r["eof"]) for r in ok}
                    if len(ok) < len(runs):
                        notes += "  (%s: %d of %d runs failed)" % (state, len(runs) - len(ok), len(runs))
                sizes = [int(r.get("trace_bytes", 0)) for r in
                         pick(records, kind="scan", case=case, sim=sim, path=delivery + "-on")]
                if sizes and min(sizes) == 0:
                    notes += "  (%d runs left no trace)" % sizes.count(0)

                def ratio(a, b):
                    return median([by_run[a][run] / by_run[b][run] for run in by_run[a]
                                   if run in by_run[b] and by_run[b][run] > 0])

                print("   %-18s %-6s %-10s" % (title, sim, name)
                      + "".join(" %8s" % fmt(eof[s], "%.0f") for s in ("before", "off", "on"))
                      + " %8s %8s %9s %6s" % (fmt(ratio("on", "off"), "%.3f"), fmt(ratio("off", "before"), "%.3f"),
                                              fmt(median(sizes) / 2**20 if sizes else None, "%.1f"), load) + notes)


if __name__ == "__main__":
    main()
