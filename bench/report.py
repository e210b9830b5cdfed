#!/usr/bin/env python3
"""Turns the raw numbers of bench/run into the Markdown of bench/results.md.

Usage: report.py META_TSV RAW_TSV NOTES_TXT > results.md
RAW_TSV rows: case, cell, target, round, value.
"""

import statistics
import sys
from collections import defaultdict

PEERS = ("B", "C")


def load(path):
    data = defaultdict(dict)  # (case, cell, target) -> {round: value}
    with open(path, encoding="utf-8") as f:
        for line in f:
            case, cell, target, rnd, value = line.rstrip("\n").split("\t")
            data[(case, cell, target)][int(rnd)] = float(value)
    return data


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(value, digits=0):
    if value is None:
        return "–"
    if digits == 0:
        return f"{value:,.0f}"
    return f"{value:,.{digits}f}"


def ratio_str(value):
    return "–" if value is None else f"{value:.2f}x"


class Report:
    def __init__(self, meta, data, notes):
        self.meta = meta
        self.data = data
        self.notes = notes
        self.out = []
        self.targets = []  # (case, what, goal, measured, met)

    def series(self, case, cell, target):
        return self.data.get((case, cell, target), {})

    def med(self, case, cell, target):
        return median(self.series(case, cell, target).values())

    def round_ratio(self, case, cell, num, den, den_cell=None, best_of=None):
        """Median over rounds of num/den measured in the same round. With
        best_of, the denominator is the best of those targets that round."""
        a = self.series(case, cell, num)
        ratios = []
        for rnd, value in a.items():
            if best_of:
                peers = [self.series(case, cell, p).get(rnd) for p in best_of]
                peers = [p for p in peers if p]
                den_value = max(peers) if peers else None
            else:
                den_value = self.series(case, den_cell or cell, den).get(rnd)
            if den_value:
                ratios.append(value / den_value)
        return median(ratios)

    def target(self, case, what, goal, measured, met):
        self.targets.append((case, what, goal, measured, "met" if met else "**missed**"))

    def w(self, line=""):
        self.out.append(line)

    # ------------------------------------------------------------ cases --

    def case1(self):
        self.w("## 1. Large body, cache miss (512 MiB, curl, MiB/s)")
        self.w()
        self.w("Medians over every A B C D pass; ratios are medians of the ratios within one pass.")
        self.w()
        self.w("| | A direct | B squid | C tinyproxy | D vellostored | B/A | C/A | D/A | D/best peer |")
        self.w("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
        cell = "512MiB"
        m = {t: self.med("1", cell, t) for t in "ABCD"}
        r = {t: self.round_ratio("1", cell, t, "A") for t in "BCD"}
        best = self.round_ratio("1", cell, "D", None, best_of=PEERS)
        self.w(f"| 512 MiB | {fmt(m['A'])} | {fmt(m['B'])} | {fmt(m['C'])} | {fmt(m['D'])} "
               f"| {ratio_str(r['B'])} | {ratio_str(r['C'])} | {ratio_str(r['D'])} | {ratio_str(best)} |")
        self.w()
        if r["D"] is not None:
            self.target(1, "512 MiB miss", ">= 0.6x direct", ratio_str(r["D"]), r["D"] >= 0.6)

    def case2(self):
        self.w("## 2. Never-cachable small objects (no-store, unique URLs; wrk, requests/s)")
        self.w()
        self.w("| cell | A direct | B squid | C tinyproxy | D vellostored | D/A | D/B squid | D/best peer |")
        self.w("|---|---:|---:|---:|---:|---:|---:|---:|")
        for size in ("1k", "100k"):
            for conns in ("16", "64"):
                for mode in ("keep-alive", "close"):
                    cell = f"{size} c{conns} {mode}"
                    m = {t: self.med("2", cell, t) for t in "ABCD"}
                    da = self.round_ratio("2", cell, "D", "A")
                    db = self.round_ratio("2", cell, "D", "B")
                    best = self.round_ratio("2", cell, "D", None, best_of=PEERS)
                    label = f"{size.replace('k', ' KiB')}, {conns} conn, {mode}"
                    self.w(f"| {label} | {fmt(m['A'])} | {fmt(m['B'])} | {fmt(m['C'])} | {fmt(m['D'])} "
                           f"| {ratio_str(da)} | {ratio_str(db)} | {ratio_str(best)} |")
                    self.target(2, label, ">= 1.5x squid", ratio_str(db), db is not None and db >= 1.5)
        self.w()

    def case3(self):
        labels = ("A direct", "B squid hit", "B squid miss", "C tinyproxy", "D local hit", "D revalidated")
        self.w("## 3. Cache hits, 10 KiB object, 16 connections (wrk, requests/s)")
        self.w()
        self.w("A direct and C tinyproxy fetch the object from the origin every time (tinyproxy "
               "does not cache); \"B squid miss\" is the same size never cachable (no-store, "
               "unique URLs). \"D local hit\" is answered from the cache without asking the "
               "origin (never-refresh list) and closes the connection after every answer; "
               "\"D revalidated\" asks the origin with If-Modified-Since and turns its 304 into "
               "the 200 from the cache.")
        self.w()
        self.w("| mode | " + " | ".join(labels) + " | D local / B hit | D revalidated / B miss |")
        self.w("|---|" + "---:|" * (len(labels) + 2))
        for mode in ("keep-alive", "close"):
            m = [fmt(self.med("3", mode, label)) for label in labels]
            local = self.round_ratio("3", mode, "D local hit", "B squid hit")
            reval = self.round_ratio("3", mode, "D revalidated", "B squid miss")
            self.w(f"| {mode} | " + " | ".join(m) + f" | {ratio_str(local)} | {ratio_str(reval)} |")
            if mode == "close":
                self.target(3, "local hits, close", ">= 1.2x squid hits, close", ratio_str(local),
                            local is not None and local >= 1.2)
            self.target(3, f"revalidated, {mode}", ">= 1.2x squid misses", ratio_str(reval),
                        reval is not None and reval >= 1.2)
        self.w()

    def case4(self):
        self.w("## 4. One connection, sequential 1 KiB requests (wrk -c1, latency µs)")
        self.w()
        self.w("| | A direct | B squid | C tinyproxy | D vellostored | added B | added C | added D |")
        self.w("|---|---:|---:|---:|---:|---:|---:|---:|")
        for pct in ("p50", "p99"):
            m = {t: self.med("4", pct, t) for t in "ABCD"}
            added = {}
            for t in "BCD":
                a = self.series("4", pct, "A")
                diffs = [v - a[r] for r, v in self.series("4", pct, t).items() if r in a]
                added[t] = median(diffs)
            self.w(f"| {pct} | {fmt(m['A'], 1)} | {fmt(m['B'], 1)} | {fmt(m['C'], 1)} | {fmt(m['D'], 1)} "
                   f"| {fmt(added['B'], 1)} | {fmt(added['C'], 1)} | {fmt(added['D'], 1)} |")
            if pct == "p50" and added["D"] is not None:
                self.target(4, "added latency p50", "<= 70 µs", f"{added['D']:.1f} µs", added["D"] <= 70)
        self.w()

    def case5(self):
        self.w("## 5. 1,000 idle client connections, then 200 slow downloads")
        self.w()
        self.w("Half the idle connections sent a request line and a Host line but never the "
               "blank line, half sent nothing. RSS is VmRSS of the process and its children, "
               "measured after one ordinary request and again with the 1,000 connections "
               "accepted, on a freshly started proxy each round (A: the origin, nginx, "
               "for reference). \"seconds to connect\" is how long the client took to "
               "open the 1,000 connections one after the other. Then 200 concurrent downloads of a 1 MiB no-store object at "
               "200 KiB/s each (curl --limit-rate 200k).")
        self.w()
        self.w("| | A direct (nginx) | B squid | C tinyproxy | D vellostored |")
        self.w("|---|---:|---:|---:|---:|")
        rows = (("idle KiB/conn", 2), ("seconds to connect 1,000", 1), ("idle RSS before (KiB)", 0), ("idle RSS after (KiB)", 0),
                ("slow downloads complete", 0), ("slow downloads wall (s)", 1))
        for cell, digits in rows:
            self.w(f"| {cell} | " + " | ".join(fmt(self.med("5", cell, t), digits) for t in "ABCD") + " |")
        self.w()
        per = self.med("5", "idle KiB/conn", "D")
        if per is not None:
            self.target(5, "RSS per idle connection", "<= 16 KiB", f"{per:.1f} KiB", per <= 16)
        done = self.med("5", "slow downloads complete", "D")
        if done is not None:
            self.target(5, "200 slow downloads", "all complete", f"{done:.0f} of 200", done >= 200)

    def case6(self):
        self.w("## 6. vellostored's peak RSS during sustained transfers")
        self.w()
        self.w("A freshly started vellostored relays 1 GiB, then 3 GiB more, from bench_origin "
               "(one request each, curl): 4 GiB in all.")
        self.w()
        self.w("| | vellostored |")
        self.w("|---|---:|")
        cells = ("VmHWM after start (KiB)", "VmHWM after 1 GiB (KiB)", "VmHWM after 4 GiB (KiB)",
                 "relay speed, 3 GiB (MiB/s)")
        for cell in cells:
            self.w(f"| {cell} | {fmt(self.med('6', cell, 'D'))} |")
        self.w()
        one = self.med("6", cells[1], "D")
        four = self.med("6", cells[2], "D")
        if one is not None and four is not None:
            growth = four - one
            self.target(6, "peak RSS flat", "growth <= 1 MiB from 1 GiB to 4 GiB moved",
                        f"{growth:+.0f} KiB", growth <= 1024)

    def case7(self):
        self.w("## 7. Large body stored, cache miss (512 MiB, curl, MiB/s)")
        self.w()
        self.w("vellostored writes the body to its cache as it relays it (the entry is deleted "
               "before each of its passes); squid relays the same URL (too large for its memory "
               "cache). Medians over every A B D pass; ratios are medians of the ratios within one pass.")
        self.w()
        self.w("| | A direct | B squid | D vellostored | B/A | D/A | D/B |")
        self.w("|---|---:|---:|---:|---:|---:|---:|")
        m = {t: self.med("7", "512MiB", t) for t in "ABD"}
        ba = self.round_ratio("7", "512MiB", "B", "A")
        da = self.round_ratio("7", "512MiB", "D", "A")
        db = self.round_ratio("7", "512MiB", "D", "B")
        self.w(f"| 512 MiB | {fmt(m['A'])} | {fmt(m['B'])} | {fmt(m['D'])} | {ratio_str(ba)} "
               f"| {ratio_str(da)} | {ratio_str(db)} |")
        self.w()
        if da is not None:
            self.target(7, "512 MiB stored miss", ">= 0.6x direct", ratio_str(da), da >= 0.6)

    def case8(self):
        self.w("## 8. Large body from the cache (512 MiB, curl, MiB/s)")
        self.w()
        self.w("vellostored answers from its entry without asking the origin (never-refresh "
               "list); nginx serves a file of the same size directly.")
        self.w()
        self.w("| | A direct (nginx) | D vellostored from cache | D/A |")
        self.w("|---|---:|---:|---:|")
        m = {t: self.med("8", "512MiB", t) for t in "AD"}
        da = self.round_ratio("8", "512MiB", "D", "A")
        self.w(f"| 512 MiB | {fmt(m['A'])} | {fmt(m['D'])} | {ratio_str(da)} |")
        self.w()
        if da is not None:
            self.target(8, "512 MiB from the cache", ">= 0.9x direct nginx", ratio_str(da), da >= 0.9)

    def case9(self):
        self.w("## 9. A burst of 1,000 connections (seconds until all are accepted)")
        self.w()
        self.w("1,000 connects started at once against a freshly started server; the time until "
               "it holds a descriptor for each. A listen queue shorter than the burst drops "
               "SYNs, which the clients send again only a second or more later.")
        self.w()
        self.w("| | A direct (nginx) | B squid | C tinyproxy | D vellostored |")
        self.w("|---|---:|---:|---:|---:|")
        cell = "seconds to accept 1,000"
        self.w(f"| {cell} | " + " | ".join(fmt(self.med("9", cell, t), 3) for t in "ABCD") + " |")
        self.w()
        d = self.med("9", cell, "D")
        if d is not None:
            self.target(9, "1,000-connection burst", "<= 0.5 s to accept all", f"{d:.3f} s", d <= 0.5)

    def case10(self):
        self.w("## 10. 1,000 idle connections past the idle limits (vellostored)")
        self.w()
        self.w("A vellostored whose first-request and keep-alive limits are 5 s; each wave opens "
               "1,000 connections (a third silent, a third with half a request head, a third "
               "kept alive after one request) and waits until the proxy has closed them all. "
               "\"seconds past the limit\" counts from the last connect; threads are the "
               "process's, before and after the wave.")
        self.w()
        self.w("| | wave 1 | wave 2 |")
        self.w("|---|---:|---:|")
        cells = (("seconds to open 1,000", 2), ("seconds past the limit until all closed", 2),
                 ("descriptors left open", 0),
                 ("threads added", 0))
        for cell, digits in cells:
            series = self.series("10", cell, "D")
            self.w(f"| {cell} | {fmt(series.get(1), digits)} | {fmt(series.get(2), digits)} |")
        self.w()
        left = [v for v in self.series("10", "descriptors left open", "D").values()]
        added = self.series("10", "threads added", "D").get(2)
        if left and added is not None:
            self.target(10, "1,000 idle sockets past the limit",
                        "all closed, no thread added by a second wave",
                        f"{max(left):.0f} descriptors left, {added:.0f} threads added",
                        max(left) <= 0 and added <= 0)

    def raw(self):
        self.w("## Raw numbers")
        self.w()
        self.w("Values per round, in round order (MiB/s, requests/s, µs, KiB or counts as above).")
        self.w()
        self.w("| case | cell | target | values |")
        self.w("|---|---|---|---|")
        for (case, cell, target), values in sorted(self.data.items(), key=lambda kv: kv[0]):
            text = ", ".join(f"{values[r]:g}" for r in sorted(values))
            self.w(f"| {case} | {cell} | {target} | {text} |")
        self.w()

    def render(self):
        head = ["# Vellostore benchmarks", ""]
        head.append("Produced by `bench/run` (see the comment at its top for what each case does). "
                    "A = direct to the origin (nginx), B = squid, C = tinyproxy, D = vellostored. "
                    "Each case runs in rounds of A B C D; tables show medians over the rounds, and "
                    "ratios are medians of the ratios measured within one round.")
        head.append("")
        for key, value in self.meta:
            head.append(f"- {key}: {value}")
        head.append("")
        present = {case for case, _, _ in self.data}
        for number, render in enumerate(
                (self.case1, self.case2, self.case3, self.case4, self.case5, self.case6,
                 self.case7, self.case8, self.case9, self.case10), start=1):
            if str(number) in present:
                render()
        body = self.out
        self.out = []
        self.w("## Targets")
        self.w()
        self.w("| case | what | target | measured | |")
        self.w("|---|---|---|---|---|")
        for case, what, goal, measured, met in self.targets:
            self.w(f"| {case} | {what} | {goal} | {measured} | {met} |")
        self.w()
        if self.notes:
            self.w("## Notes from the run")
            self.w()
            for line in self.notes:
                self.w(f"- {line}")
            self.w()
        targets = self.out
        self.out = []
        self.raw()
        return "\n".join(head + targets + body + self.out) + "\n"


def main():
    meta = []
    with open(sys.argv[1], encoding="utf-8") as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("\t")
            meta.append((key, value))
    data = load(sys.argv[2])
    with open(sys.argv[3], encoding="utf-8") as f:
        notes = [line.rstrip("\n") for line in f if line.strip()]
    sys.stdout.write(Report(meta, data, notes).render())


if __name__ == "__main__":
    main()
