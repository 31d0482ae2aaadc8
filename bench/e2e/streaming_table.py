#!/usr/bin/env python3
"""Prints the streaming figures recorded by streaming_figures.sh as one table.

usage: streaming_table.py RECORDS RUNS

Each record is a line of key=value words; "kind" says what it is (scan,
page, transfer, host, memory, progress, load). Every figure printed is the
median of the runs that completed; a run that failed is counted beside it.
"""
import statistics
import sys

CASES = [("c300", "A4 colour 300 dpi"), ("c600", "A4 colour 600 dpi"), ("g1200", "A4 grey 1200 dpi")]
PATHS = ("off", "on")


def read_records(path):
    records = []
    with open(path) as f:
        for line in f:
            words = [w for w in line.split() if "=" in w]
            records.append(dict(w.split("=", 1) for w in words))
    return records


def median(values):
    return statistics.median(values) if values else None


def fmt(value, pattern="%.0f", missing="-"):
    return missing if value is None else pattern % value


def pick(records, **match):
    return [r for r in records if all(r.get(k) == v for k, v in match.items())]


def completed(runs):
    return [r for r in runs if "failed" not in r and "eof" in r]


def load_line(records, section, case=None):
    match = {"case": case} if case else {}
    for r in pick(records, kind="load", section=section, **match):
        return "load %s %s %s" % (r["load1"], r["load5"], r["load15"])
    return "load ?"


def scan_table(records, runs_wanted):
    print("1. Whole pages through libsane (sane_timing), ms from the sane_start call; median of %s runs   [%s]"
          % (runs_wanted, load_line(records, "timing")))
    print("   first/last: first and last frame byte; EOF: sane_read returns EOF; line lag: first byte after the")
    print("   paced band that completes the first line went out (goal with streaming: within 100 ms)")
    print("   %-18s %-6s | %-29s | %-29s" % ("", "", "streaming off", "streaming on"))
    print("   %-18s %-6s" % ("page", "sim") + " | %6s %6s %6s %7s" % ("first", "last", "EOF", "lag") * 2)
    for case, title in CASES:
        for sim in ("paced", "fast"):
            row = "   %-18s %-6s" % (title, sim)
            notes = ""
            for path in PATHS:
                runs = pick(records, kind="scan", sim=sim, path=path, case=case)
                ok = completed(runs)
                first = median([float(r["first_data"]) for r in ok])
                last = median([float(r["last_data"]) for r in ok])
                eof = median([float(r["eof"]) for r in ok])
                lag = None
                if sim == "paced":
                    lag = median([(float(r["first_at"]) - float(r["first_line_band_at"])) * 1e3 for r in ok
                                  if float(r.get("first_line_band_at", 0)) > 0])
                row += " | %6s %6s %6s %7s" % (fmt(first), fmt(last), fmt(eof), fmt(lag, missing=""))
                if len(ok) < len(runs):
                    notes += "  (%s: %d of %d runs failed)" % (path, len(runs) - len(ok), len(runs))
            print(row + notes)
    for r in pick(records, kind="page"):
        title = dict(CASES).get(r["case"], r["case"])
        print("   %s: device request %s, JPEG %.2f MB; the first line completes with band %s of %s (%s bytes)"
              % (title, r.get("request"), int(r.get("jpeg_bytes", 0)) / 1e6, r.get("band"), r.get("bands"),
                 r.get("first_line_bytes")))


def goal_table(records):
    print()
    print("2. Unpaced goal: start-to-EOF within 1.15 x the longer of (plain transfer, decode + rescale alone)")
    print("   plain transfer: bench_net_pull's plain reader from the same simulator; decode + rescale:")
    print("   bench_page_host as start does it; both for the page scanned, right after its scans (load then:")
    print("   " + ", ".join("%s %s" % (title, load_line(records, "references", case)) for case, title in CASES) + ");")
    print("   EOF from the unpaced rows above")
    print("   %-18s %9s %9s %9s | %-20s | %-20s" % ("", "plain", "decode +", "", "streaming off", "streaming on"))
    print("   %-18s %9s %9s %9s" % ("page", "transfer", "rescale", "longer") + " | %8s %6s %4s" % ("EOF", "ratio", "") * 2)
    for case, title in CASES:
        transfer = host = None
        for r in pick(records, kind="transfer", case=case):
            transfer = float(r["plain_s"]) * 1e3
        for r in pick(records, kind="host", case=case):
            host = float(r["start_ms"])
        longer = max(transfer, host) if transfer is not None and host is not None else None
        row = "   %-18s %9s %9s %9s" % (title, fmt(transfer, "%.1f"), fmt(host, "%.1f"), fmt(longer, "%.1f"))
        for path in PATHS:
            eof = median([float(r["eof"]) for r in completed(pick(records, kind="scan", sim="fast", path=path, case=case))])
            ratio = eof / longer if eof is not None and longer else None
            verdict = "" if ratio is None or path == "off" else ("ok" if ratio <= 1.15 else "over")
            row += " | %8s %6s %4s" % (fmt(eof, "%.1f"), fmt(ratio, "%.2fx"), verdict)
        print(row)


def memory_table(records):
    print()
    print("3. Peak resident memory of scanimage (GNU time %%M), MiB, A4 colour, median   [%s]"
          % load_line(records, "memory"))
    print("   baseline: the same scanimage scanning a 1 x 1 in patch at 300 dpi (everything loaded and run, no page)")
    runs = pick(records, kind="memory")
    if not runs:
        print("   not measured")
        return
    base = {}
    for path in PATHS:
        base[path] = median([int(r["kb"]) / 1024 for r in pick(runs, path=path, res="base") if "kb" in r])
    print("   %-10s | %-26s | %-26s" % ("", "streaming off", "streaming on"))
    print("   %-10s" % "dpi" + " | %10s %9s %5s" % ("peak", "above", "") * 2)
    for res in ("base", "300", "600", "1200"):
        row = "   %-10s" % ("baseline" if res == "base" else res)
        notes = ""
        for path in PATHS:
            sel = pick(runs, path=path, res=res)
            peak = median([int(r["kb"]) / 1024 for r in sel if "kb" in r])
            above = peak - base[path] if peak is not None and base[path] is not None and res != "base" else None
            # The goal (at most 32 MiB above the baseline) is the streaming path's.
            verdict = "" if above is None or path == "off" else ("ok" if above <= 32 else "over")
            row += " | %10s %9s %5s" % (fmt(peak, "%.1f"), fmt(above, "%+.1f", ""), verdict)
            bad = sum(1 for r in sel if "kb" not in r)
            if bad:
                notes += "  (%s: %d of %d runs failed)" % (path, bad, len(sel))
        print(row + notes)


def progress_table(records):
    print()
    print("4. scanimage --progress, paced A4 colour 300 dpi: when the figure first moves, median   [%s]"
          % load_line(records, "progress"))
    print("   page time: launch to exit; shares of it until the first figure above 0 %, counted from the launch")
    print("   and from the first band sent (goal with streaming: under 10 % after the first band)")
    print("   %-5s %9s %20s %24s %8s" % ("path", "page s", "moved after launch", "moved after 1st band", "figures"))
    for path in PATHS:
        runs = [r for r in pick(records, kind="progress", path=path) if r.get("rc") == "0"
                and float(r.get("first_move_at", 0)) > 0]
        page = median([float(r["exit_at"]) - float(r["launch_at"]) for r in runs])
        launch = median([(float(r["first_move_at"]) - float(r["launch_at"])) /
                         (float(r["exit_at"]) - float(r["launch_at"])) * 100 for r in runs])
        band = median([(float(r["first_move_at"]) - float(r["band0_at"])) /
                       (float(r["exit_at"]) - float(r["launch_at"])) * 100 for r in runs
                       if float(r.get("band0_at", 0)) > 0])
        figures = median([int(r["figures"]) for r in runs])
        all_runs = pick(records, kind="progress", path=path)
        note = "" if len(runs) == len(all_runs) else "  (%d of %d runs failed)" % (len(all_runs) - len(runs),
                                                                                  len(all_runs))
        print("   %-5s %9s %19s%% %23s%% %8s%s" % (path, fmt(page, "%.2f"), fmt(launch, "%.1f"), fmt(band, "%.1f"),
                                               fmt(figures), note))


def main():
    records = read_records(sys.argv[1])
    runs = sys.argv[2] if len(sys.argv) > 2 else "?"
    scan_table(records, runs)
    goal_table(records)
    memory_table(records)
    progress_table(records)


if __name__ == "__main__":
    main()
