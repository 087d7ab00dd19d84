#!/usr/bin/env python3
"""Turns bench/run's samples (one line per measured run) into the Markdown report."""
import argparse
import csv
import statistics
import sys

CASES = {
    "svc": "1000 x 64 KiB, 10 clients at once",
    "big": "1 GiB, one file",
    "m20": "50 x 20 MiB at once",
    "m1": "50 x 1 MiB at once",
}
TOOL_LABELS = {
    ("big", "haul"): "haul get --sha1",
    ("big", "curl"): "curl -o",
    ("big", "wget"): "wget -O",
    ("big", "aria2c"): "aria2c -x1 -s1",
    ("big", "curl+sha1sum"): "curl -o && sha1sum",
    ("m20", "haul"): "haul get -i (MaxDownloads=50)",
    ("m20", "curl"): "curl -Z --parallel-max 50",
    ("m20", "aria2c"): "aria2c -j50",
    ("svc", "haul"): "haul serve, 10 clients on its socket (MaxDownloads=50)",
}
# case: (haul wall / curl wall at most, haul peak memory at most in MiB or None)
GOALS = {"svc": (2.0, None), "m1": (1.5, None), "big": (0.75, 32), "m20": (1.2, 96)}
# The service case's own goals: the owner's CPU (user + sys) per file, and the median time from
# a start request to the first byte.
SVC_CPU_MS_PER_FILE = 1.5
SVC_FIRST_BYTE_MEDIAN_MS = 300.0
SVC_FILES = 1000
# Before the owner's rewrite around one model of a download (bench/results/service.md of
# 2026-12-06, commit 24c1c3e; the 1 GiB case from the runs before it), on another machine:
# compare ratios, which depend on the machine, with care.
BEFORE = {"svc": "4.27x", "m1": "2.62x", "big": "~0.75x", "svc_cpu": "~3.3 ms", "svc_first_byte": "1164 ms"}


def label(case, tool):
    return TOOL_LABELS.get((case, tool)) or TOOL_LABELS.get(("m20", tool)) or tool


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("samples")
    parser.add_argument("output")
    parser.add_argument("--machine", default="")
    parser.add_argument("--commit", default="")
    parser.add_argument("--date", default="")
    parser.add_argument("--runs", default="")
    parser.add_argument("--versions", default="")
    parser.add_argument("--latency", default="")
    args = parser.parse_args()

    rows = {}
    order = []
    with open(args.samples, newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            key = (row["case"], row["tool"])
            if key not in rows:
                rows[key] = []
                order.append(key)
            rows[key].append(row)

    def owner(sample, name):
        text = sample.get(name) or ""
        return float(text) if text else 0.0

    stats = {}
    for key, samples in rows.items():
        wall = [float(s["wall"]) for s in samples]
        # A `haul get` hands its downloads to an owner it started: CPU is both processes'
        # together, memory the larger peak (the owner's).
        rss = [max(int(s["maxrss_kib"]), owner(s, "owner_rss_kib")) / 1024.0 for s in samples]
        stats[key] = {
            "n": len(samples),
            "wall": statistics.median(wall),
            "wall_min": min(wall),
            "wall_max": max(wall),
            "user": statistics.median(float(s["user"]) + owner(s, "owner_user") for s in samples),
            "sys": statistics.median(float(s["sys"]) + owner(s, "owner_sys") for s in samples),
            "cpu": statistics.median(float(s["user"]) + float(s["sys"]) + owner(s, "owner_user") + owner(s, "owner_sys")
                                     for s in samples),
            "owner_cpu": statistics.median(owner(s, "owner_user") + owner(s, "owner_sys") for s in samples),
            "spawned_owner": any(s.get("owner_rss_kib") for s in samples),
            "rss": statistics.median(rss),
            "rss_max": max(rss),
        }

    loads = [float(s["load"]) for samples in rows.values() for s in samples if s.get("load")]
    lines = []
    lines.append("# haul against curl, wget and aria2c on 127.0.0.1")
    lines.append("")
    lines.append(f"- Date: {args.date}")
    lines.append(f"- Commit: {args.commit}")
    lines.append(f"- Machine: {args.machine}")
    lines.append(f"- Peers: {args.versions}")
    if loads:
        lines.append(
            f"- Machine load (1-minute average before each run): median {statistics.median(loads):.1f}, "
            f"max {max(loads):.1f}; above the core count, other work competed for the CPU and wall times spread"
        )
    lines.append(
        f"- Method: nginx (sendfile on, gzip off) on a free loopback port serving files "
        f"from the page cache; downloads written to disk under /tmp; {args.runs} measured runs per tool "
        f"after one warm-up, tools alternated run by run; output deleted and `sync` between runs; "
        f"`/usr/bin/time -f '%e %U %S %M'`. Wall: median (min-max). CPU: medians. Memory: peak resident "
        f"set, median (max). Ratio: median wall time over curl's in the same run. Service case: a "
        f"`haul serve` started before the clock; ten Python clients, each with its event stream, send one "
        f"start request per file on a keep-alive connection and wait for every ending; CPU and memory "
        f"are the owner's; first byte: from a start request to nginx's receipt of the file's request. "
        f"`haul get`: the command starts an owner of its data directory in the background (its start is "
        f"on the clock), which does the transfers; CPU is the command's and that owner's together, memory "
        f"the owner's peak; the owner is stopped after each run."
    )
    lines.append("")
    lines.append("| Case | Tool | Wall s, median (min-max) | User s | Sys s | Peak RSS MiB, median (max) | Wall / curl |")
    lines.append("|---|---|---|---|---|---|---|")
    for key in order:
        case, tool = key
        s = stats[key]
        curl = stats.get((case, "curl"))
        ratio = f"{s['wall'] / curl['wall']:.2f}x" if curl and curl["wall"] > 0 else "-"
        lines.append(
            f"| {CASES.get(case, case)} | {label(case, tool)} | {s['wall']:.2f} ({s['wall_min']:.2f}-{s['wall_max']:.2f}) "
            f"| {s['user']:.2f} | {s['sys']:.2f} | {s['rss']:.1f} ({s['rss_max']:.1f}) | {ratio} |"
        )
    first_byte = None
    if args.latency:
        with open(args.latency, newline="") as f:
            rows_latency = list(csv.DictReader(f, delimiter="\t"))
        measured = [r for r in rows_latency if r["run"] != "0"]
        if measured:
            median = statistics.median(float(r["median_ms"]) for r in measured)
            p99 = statistics.median(float(r["p99_ms"]) for r in measured)
            worst = max(float(r["p99_ms"]) for r in measured)
            first_byte = median
            lines.append("")
            lines.append(
                f"Service case, start request to first byte: median {median:.1f} ms, 99th percentile "
                f"{p99:.1f} ms (median over runs; worst run's 99th percentile {worst:.1f} ms)."
            )
            if all(r.get("answer_median_ms") for r in measured):
                answer = statistics.median(float(r["answer_median_ms"]) for r in measured)
                clients = statistics.median(float(r["clients_user"]) + float(r["clients_sys"]) for r in measured)
                lines.append(
                    f"Start request to its answer (the record on disk): median {answer:.1f} ms. The ten Python "
                    f"clients used {clients:.2f} s of CPU per run (median), on the same two cores as the owner."
                )
    svc = stats.get(("svc", "haul"))
    if svc:
        per_file = svc["cpu"] * 1000.0 / SVC_FILES
        lines.append("")
        lines.append(
            f"Service case, owner CPU: {svc['user']:.2f} s user + {svc['sys']:.2f} s sys (medians), "
            f"{per_file:.2f} ms per file (median of user + sys over runs)."
        )
    spawned = [(key, s) for key, s in stats.items() if s["spawned_owner"]]
    if spawned:
        lines.append("")
        lines.append(
            "`haul get` cases, the background owner's share of the CPU above: "
            + "; ".join(f"{CASES.get(case, case)}: {s['owner_cpu']:.2f} s of {s['cpu']:.2f} s" for (case, _), s in spawned)
            + "."
        )
    lines.append("")
    lines.append("## Goals")
    lines.append("")

    def verdict(ok):
        return "met" if ok else "NOT met"

    for case, (max_ratio, max_mib) in GOALS.items():
        haul = stats.get((case, "haul"))
        curl = stats.get((case, "curl"))
        if not haul or not curl:
            continue
        ratio = haul["wall"] / curl["wall"]
        before = f"; before the rewrite, elsewhere: {BEFORE[case]}" if case in BEFORE else ""
        lines.append(f"- {CASES[case]}: wall {ratio:.2f}x curl (goal at most {max_ratio:.2f}x{before}): {verdict(ratio <= max_ratio)}")
        if max_mib is not None:
            ok = haul["rss_max"] <= max_mib
            lines.append(f"- {CASES[case]}: peak memory {haul['rss_max']:.1f} MiB, worst run (goal at most {max_mib} MiB): {verdict(ok)}")
        if case == "svc":
            per_file = haul["cpu"] * 1000.0 / SVC_FILES
            lines.append(
                f"- {CASES[case]}: owner CPU {per_file:.2f} ms per file (goal at most {SVC_CPU_MS_PER_FILE} ms; "
                f"before the rewrite, elsewhere: {BEFORE['svc_cpu']}): {verdict(per_file <= SVC_CPU_MS_PER_FILE)}"
            )
            if first_byte is not None:
                lines.append(
                    f"- {CASES[case]}: start request to first byte, median {first_byte:.0f} ms (goal at most "
                    f"{SVC_FIRST_BYTE_MEDIAN_MS:.0f} ms; before the rewrite, elsewhere: {BEFORE['svc_first_byte']}): "
                    f"{verdict(first_byte <= SVC_FIRST_BYTE_MEDIAN_MS)}"
                )
    lines.append("")
    if svc:
        lines.append("Where the service case's time goes, and changes tried against it: service.md, "
                     "service-profile.md and compare.md beside this file.")
        lines.append("")

    text = "\n".join(lines)
    with open(args.output, "w") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
