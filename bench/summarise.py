#!/usr/bin/env python3
"""Prints the benchmark table: summarise.py RESULTS ROUNDS LARGEST_DECODED_BYTES."""
import json
import statistics
import sys

TARGETS = {"small": 1.05, "large": 0.6, "mixed": None, "terminal": 1.05}


def times(results, name, rounds, command):
    out = []
    for k in range(1, rounds + 1):
        with open("%s/%s-%d.json" % (results, name, k)) as f:
            for result in json.load(f)["results"]:
                if result["command"] == command:
                    out += result["times"]
    return out


def rss_mib(results, name, tool):
    with open("%s/%s-%s.rss" % (results, name, tool)) as f:
        return int(f.read().split()[-1]) / 1024.0


def row(label, first, second, target, extra=""):
    a, b = statistics.median(first), statistics.median(second)
    ratio = a / b
    verdict = "" if target is None else ("met" if ratio <= target else "MISSED")
    goal = "-" if target is None else "<= %.2f" % target
    print("%-9s %8.3f s [%6.3f..%6.3f] %8.3f s [%6.3f..%6.3f] %6.3f %8s %-6s %s" % (
        label, a, min(first), max(first), b, min(second), max(second), ratio, goal, verdict, extra))


def main():
    results, rounds, largest = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    print("workload  quarry median [min..max]        tar median [min..max]           ratio   target")
    for name in ("small", "large", "mixed"):
        q, t = rss_mib(results, name, "quarry"), rss_mib(results, name, "tar")
        row(name, times(results, name, rounds, "quarry"), times(results, name, rounds, "tar"),
            TARGETS[name], "peak RSS quarry %.1f MiB, tar %.1f MiB" % (q, t))
    row("terminal", times(results, "terminal", rounds, "terminal"),
        times(results, "terminal", rounds, "file"), TARGETS["terminal"],
        "(terminal against stdout in a file)")
    print()
    for name in ("small", "large", "mixed"):
        q = rss_mib(results, name, "quarry")
        allowed = (largest if name == "mixed" else 0) / 2**20 + 32
        print("peak memory %-6s quarry %.1f MiB, allowed %.1f MiB (largest decoded entry + 32 MiB): %s"
              % (name, q, allowed, "met" if q <= allowed else "MISSED"))


if __name__ == "__main__":
    main()
