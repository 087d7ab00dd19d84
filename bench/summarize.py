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
GOALS = {"svc": (2.0, None), "big": (1.0, 32), "m20": (1.2, 96), "m1": (1.5, None)}


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

    stats = {}
    for key, samples in rows.items():
        wall = [float(s["wall"]) for s in samples]
        rss = [int(s["maxrss_kib"]) / 1024.0 for s in samples]
        stats[key] = {
            "n": len(samples),
            "wall": statistics.median(wall),
            "wall_min": min(wall),
            "wall_max": max(wall),
            "user": statistics.median(float(s["user"]) for s in samples),
            "sys": statistics.median(float(s["sys"]) for s in samples),
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
        f"are the owner's; first byte: from a start request to nginx's receipt of the file's request."
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
    if args.latency:
        with open(args.latency, newline="") as f:
            rows_latency = list(csv.DictReader(f, delimiter="\t"))
        measured = [r for r in rows_latency if r["run"] != "0"]
        if measured:
            median = statistics.median(float(r["median_ms"]) for r in measured)
            p99 = statistics.median(float(r["p99_ms"]) for r in measured)
            worst = max(float(r["p99_ms"]) for r in measured)
            lines.append("")
            lines.append(
                f"Service case, start request to first byte: median {median:.1f} ms, 99th percentile "
                f"{p99:.1f} ms (median over runs; worst run's 99th percentile {worst:.1f} ms)."
            )
    lines.append("")
    lines.append("## Goals")
    lines.append("")
    for case, (max_ratio, max_mib) in GOALS.items():
        haul = stats.get((case, "haul"))
        curl = stats.get((case, "curl"))
        if not haul or not curl:
            continue
        ratio = haul["wall"] / curl["wall"]
        parts = [f"wall {ratio:.2f}x curl (goal at most {max_ratio:.1f}x): {'met' if ratio <= max_ratio else 'NOT met'}"]
        if max_mib is not None:
            ok = haul["rss_max"] <= max_mib
            parts.append(f"peak memory {haul['rss_max']:.1f} MiB, worst run (goal at most {max_mib} MiB): {'met' if ok else 'NOT met'}")
        lines.append(f"- {CASES[case]}: " + "; ".join(parts))
    lines.append("")

    text = "\n".join(lines)
    with open(args.output, "w") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
