#!/usr/bin/env python3
"""Reads the benchmark's results (see run.sh).

summarise.py table RESULTS          prints the table, the targets and their verdicts
summarise.py order RESULTS          prints the entry-order workloads alone
summarise.py select RESULTS         prints the listing and one-entry rows alone
summarise.py game RESULTS           prints the game folder's rows alone
summarise.py small RESULTS          prints the small workload against the limit and tar alone
summarise.py fastest FOLDER TOOL... prints the TOOL with the lowest median time in FOLDER
"""
import glob
import json
import os
import re
import statistics
import sys

MAIN_WORKLOADS = ("small", "large", "mixed")
PEERS = ("tar", "tar-plain", "bsdtar", "7zip")
ENTRY_COUNTS = (10000, 300000)
LIMIT_RATIO = {"small": 1.10, "large": 1.10}  # Quarry's median at most this x the limit's
BELOW_PEERS = ("small", "mixed")  # workloads where Quarry must be below every peer
TERMINAL_RATIO = 1.05  # the terminal's median at most this x the file's
MEMORY_SLACK_MIB = 2.0  # peak RSS at 300,000 entries at most this above that at 10,000


# --- Reading -------------------------------------------------------------------------------

def times(folder, tool):
    """Every timed run of TOOL in FOLDER (seconds); the warm-up lives in a subfolder."""
    out = []
    for path in sorted(glob.glob(os.path.join(folder, tool + "-*.json"))):
        if not re.fullmatch(re.escape(tool) + r"-\d+\.json", os.path.basename(path)):
            continue  # another tool whose name starts the same (tar and tar-plain)
        with open(path) as f:
            for result in json.load(f)["results"]:
                out += result["times"]
    return out


def peak_rss_mib(folder, tool):
    """The largest peak resident set of TOOL's timed runs, and how many runs it is of."""
    with open(os.path.join(folder, tool + ".rss")) as f:
        values = [int(line) for line in f if line.strip().isdigit()]
    return max(values) / 1024.0, len(values)


def read_text(path, default=""):
    if not os.path.exists(path):
        return default
    with open(path) as f:
        return f.read().strip()


def skipped_peers(results):
    """{peer: why} for the peers that could not run."""
    reasons = {}
    for line in read_text(os.path.join(results, "skipped.txt")).splitlines():
        peer, why = line.split(":", 1)
        reasons[peer] = why.strip()
    return reasons


# --- Verdicts ------------------------------------------------------------------------------

def verdict(samples, line):
    """met: the whole spread below LINE; missed: the whole spread above; else inconclusive."""
    if max(samples) < line:
        return "met"
    if min(samples) > line:
        return "MISSED"
    return "inconclusive"


def combined(verdicts):
    if "MISSED" in verdicts:
        return "MISSED"
    return "met" if all(v == "met" for v in verdicts) else "inconclusive"


def spread(samples):
    return "%.3f [%.3f..%.3f]" % (statistics.median(samples), min(samples), max(samples))


def target_line(label, samples, ratio, reference_name, reference):
    """Prints one target: SAMPLES (Quarry's) against RATIO x the reference's median."""
    line = ratio * statistics.median(reference)
    result = verdict(samples, line)
    goal = "<= %.2f x %s" % (ratio, reference_name) if ratio != 1 else "below " + reference_name
    print("  %-9s quarry %-22s line %.3f s (%s)  %s" % (label, goal, line, spread(samples), result))
    return result


# --- The table -----------------------------------------------------------------------------

def print_rows(results, name):
    folder = os.path.join(results, name)
    method = read_text(os.path.join(folder, "method.txt"))
    quarry, limit = times(folder, "quarry"), times(folder, "limit")
    skipped = skipped_peers(results)
    for tool in ("quarry", "limit") + PEERS:
        label = "limit (%s)" % method if tool == "limit" else tool
        if tool in skipped:
            print("%-8s %-16s skipped: %s" % (name, label, skipped[tool]))
            continue
        samples = times(folder, tool)
        rss, _ = peak_rss_mib(folder, tool)
        ratio_limit = statistics.median(samples) / statistics.median(limit)
        ratio_quarry = statistics.median(quarry) / statistics.median(samples)
        print("%-8s %-16s %6.3f [%6.3f..%6.3f] %3d %8.1f MiB %7.2fx %9.2fx" % (
            name, label, statistics.median(samples), min(samples), max(samples), len(samples),
            rss, ratio_limit, ratio_quarry))


def print_small(results):
    """The small workload alone: Quarry (and a baseline build) against the limit and tar."""
    folder = os.path.join(results, "small")
    quarry, limit, tar = (times(folder, tool) for tool in ("quarry", "limit", "tar"))
    print("Load at the start: " + read_text(os.path.join(results, "load-start.txt")))
    for tool in ("quarry", "baseline", "limit", "tar"):
        samples = times(folder, tool)
        if samples:
            print("  small %-9s %s" % (tool, spread(samples)))
    target_line("small", quarry, LIMIT_RATIO["small"], "limit", limit)
    target_line("small", quarry, 1, "tar", tar)
    baseline = times(folder, "baseline")
    if baseline:
        print("  quarry/baseline %.3fx, baseline/limit %.3fx, baseline/tar %.3fx" % (
            statistics.median(quarry) / statistics.median(baseline),
            statistics.median(baseline) / statistics.median(limit),
            statistics.median(baseline) / statistics.median(tar)))
    print("  quarry/limit %.3fx, quarry/tar %.3fx" % (
        statistics.median(quarry) / statistics.median(limit),
        statistics.median(quarry) / statistics.median(tar)))


def print_methods(results):
    print("The limit's copy method, chosen per workload by the lowest median (seconds):")
    for name in MAIN_WORKLOADS:
        folder = os.path.join(results, name, "methods")
        medians = []
        for path in sorted(glob.glob(os.path.join(folder, "limit-*.rss"))):
            tool = os.path.basename(path)[:-len(".rss")]
            medians.append("%s %s" % (tool[len("limit-"):], spread(times(folder, tool))))
        unusable = "; ".join(  # "limit-cfr: limit: copy_file_range to PATH: why" -> "cfr: why"
            line.split(":", 1)[0][len("limit-"):] + ": " + line.rsplit(": ", 1)[-1]
            for line in read_text(os.path.join(folder, "unusable.txt")).splitlines())
        print("  %-6s %s -> %s%s" % (name, "; ".join(medians),
                                    read_text(os.path.join(results, name, "method.txt")),
                                    ("; unusable: " + unusable) if unusable else ""))


def print_entries(results):
    method = read_text(os.path.join(results, "small", "method.txt"))
    print("Entries (stored files of the small kind; Quarry and the limit (%s) only):" % method)
    print("  entries  tool    median s [min..max]        us per entry      peak RSS (runs)")
    per_entry = {}
    for count in ENTRY_COUNTS:
        folder = os.path.join(results, "entries-%d" % count)
        for tool in ("quarry", "limit"):
            samples = times(folder, tool)
            rss, rss_runs = peak_rss_mib(folder, tool)
            per_entry[count, tool] = statistics.median(samples) / count * 1e6
            print("  %7s  %-7s %-26s %8.2f %13.1f MiB (%d)" % (
                thousands(count), tool, spread(samples), per_entry[count, tool], rss, rss_runs))
    few, many = ENTRY_COUNTS
    print("  time per entry at %s against %s: quarry %.2fx, limit %.2fx; at %s quarry against "
          "the limit: %.2fx" % (
              thousands(many), thousands(few),
              per_entry[many, "quarry"] / per_entry[few, "quarry"],
              per_entry[many, "limit"] / per_entry[few, "limit"],
              thousands(many), per_entry[many, "quarry"] / per_entry[many, "limit"]))


def thousands(count):
    return "{:,}".format(count)


def memory_target(results):
    few, many = (peak_rss_mib(os.path.join(results, "entries-%d" % n), "quarry")[0]
                 for n in ENTRY_COUNTS)
    line = few + MEMORY_SLACK_MIB
    result = "met" if many <= line else "MISSED"
    print("  memory    quarry's peak RSS at %s entries %.1f MiB; line: that at %s + %.0f MiB = "
          "%.1f MiB  %s" % (thousands(ENTRY_COUNTS[1]), many, thousands(ENTRY_COUNTS[0]),
                            MEMORY_SLACK_MIB, line, result))


def print_targets(results):
    print("Targets (ratios of medians; met only if all of Quarry's runs are below the line, "
          "missed only if all are above):")
    skipped = skipped_peers(results)
    for name in MAIN_WORKLOADS:
        folder = os.path.join(results, name)
        quarry = times(folder, "quarry")
        verdicts = []
        if name in LIMIT_RATIO:
            verdicts.append(target_line(name, quarry, LIMIT_RATIO[name], "limit",
                                        times(folder, "limit")))
        if name in BELOW_PEERS:
            for peer in PEERS:
                if peer not in skipped:
                    verdicts.append(target_line(name, quarry, 1, peer, times(folder, peer)))
        print("  %-9s all of the above: %s" % (name, combined(verdicts)))
    memory_target(results)
    folder = os.path.join(results, "terminal")
    target_line("terminal", times(folder, "terminal"), TERMINAL_RATIO, "file",
                times(folder, "file"))


ORDER_WORKLOADS = ("random", "deep")


def print_order(results):
    """Quarry against tar on the same files in the same order, unrelated to the folders."""
    print("Entry order (the same files in the same order for both; Quarry must be below tar):")
    for name in ORDER_WORKLOADS:
        folder = os.path.join(results, name)
        quarry, tar = times(folder, "quarry"), times(folder, "tar")
        print("  %-7s quarry %s  tar %s  quarry/tar %.2fx" % (
            name, spread(quarry), spread(tar), statistics.median(quarry) / statistics.median(tar)))
        target_line(name, quarry, 1, "tar", tar)


LIST_SECONDS = 1.0  # quarry --list of 300,000 entries: all runs under this
LIST_RATIO = 0.1     # and at most this x tar -tf's median
ONE_RATIO = {"one-large": 0.3, "one-small": 0.2}  # one entry against all: at most this x


def print_selection(results):
    """The listing against tar -tf, and one entry by a pattern against the whole container."""
    print("A modder's container (300,000 entries; the large workload):")
    folder = os.path.join(results, "list")
    quarry, tar = times(folder, "quarry-list"), times(folder, "tar-list")
    print("  list    quarry --list %s  tar -tf %s  quarry/tar %.3fx" % (
        spread(quarry), spread(tar), statistics.median(quarry) / statistics.median(tar)))
    target_line("list", quarry, LIST_RATIO, "tar -tf", tar)
    print("  %-9s quarry --list under %.1f s (%s)  %s" % (
        "list", LIST_SECONDS, spread(quarry), verdict(quarry, LIST_SECONDS)))
    for name, ratio in ONE_RATIO.items():
        folder = os.path.join(results, name)
        one, every = times(folder, "quarry-one"), times(folder, "quarry")
        print("  %-9s one entry %s  every entry %s  one/all %.3fx" % (
            name, spread(one), spread(every), statistics.median(one) / statistics.median(every)))
        target_line(name, one, ratio, "all", every)


GAME_RATIO = 1.05  # the game folder at most this x the winners alone


def print_game(results):
    """A game's folder against its winners alone and against one run per container."""
    print("A game's folder (base, two patches replacing a third of its bytes, two levels):")
    folder = os.path.join(results, "game")
    game, winners, each = (times(folder, tool) for tool in ("quarry", "quarry-winners",
                                                            "quarry-each"))
    for label, samples in (("folder", game), ("winners", winners), ("each", each)):
        rss, _ = peak_rss_mib(folder, {"folder": "quarry", "winners": "quarry-winners",
                                        "each": "quarry-each"}[label])
        print("  %-8s %s  %.1f MiB" % (label, spread(samples), rss))
    print("  folder/winners %.3fx, folder/each %.3fx" % (
        statistics.median(game) / statistics.median(winners),
        statistics.median(game) / statistics.median(each)))
    target_line("game", game, GAME_RATIO, "winners", winners)
    target_line("game", game, 1, "each", each)


def table(results):
    print("Load at the start: " + read_text(os.path.join(results, "load-start.txt")))
    print()
    print("workload tool             median [  min..   max]   n  peak RSS   x limit  quarry/this")
    for name in MAIN_WORKLOADS:
        print_rows(results, name)
    print("(seconds; every run onto a fresh ext4, tools in rotating order; outputs checked equal "
          "to Quarry's with diff -r: %s)" % checked_summary(results))
    print()
    print_methods(results)
    print()
    print_entries(results)
    print()
    terminal = os.path.join(results, "terminal")
    print("Bar: small workload, stdout on a tmux terminal %s s, in a file %s s" % (
        spread(times(terminal, "terminal")), spread(times(terminal, "file"))))
    print()
    print_targets(results)
    print()
    print_order(results)
    print()
    print_selection(results)
    print()
    print_game(results)
    print()
    print("Load at the end: " + read_text(os.path.join(results, "load-end.txt")))


def checked_summary(results):
    checked = {}
    for line in read_text(os.path.join(results, "checked.txt")).splitlines():
        name, tool = line.split()
        checked.setdefault(name, []).append(tool)
    return "; ".join("%s: %s" % (name, ", ".join(tools)) for name, tools in checked.items())


def fastest(folder, tools):
    print(min(tools, key=lambda tool: statistics.median(times(folder, tool))))


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "table":
        table(sys.argv[2])
    elif len(sys.argv) == 3 and sys.argv[1] == "order":
        print_order(sys.argv[2])
    elif len(sys.argv) == 3 and sys.argv[1] == "select":
        print_selection(sys.argv[2])
    elif len(sys.argv) == 3 and sys.argv[1] == "small":
        print_small(sys.argv[2])
    elif len(sys.argv) == 3 and sys.argv[1] == "game":
        print_game(sys.argv[2])
    elif len(sys.argv) >= 4 and sys.argv[1] == "fastest":
        fastest(sys.argv[2], sys.argv[3:])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
