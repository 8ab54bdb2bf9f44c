"""Tables of bench_queries.py's results, from its JSON entries (one per data set, radius
rule, query order, method, cells_per_radius and thread count).

Reprints the summary of a finished run without measuring again:

    .venv/bin/python bench/result_tables.py [bench/results/latest.json] [--threads 2]
        [--markdown] [--detail]
"""

import argparse
import json
import sys
from pathlib import Path

from kesra.demo import format_table

REPO = Path(__file__).resolve().parents[1]
OPS = ("find", "count", "build")
# Summary columns in this order; other methods follow.
SUMMARY_METHODS = ["auto", "voxel", "hybrid", "kdtree"]
EXPLICIT = ("voxel", "hybrid", "kdtree")


def fmt(value, form=".2f"):
    return "-" if value is None else format(value, form)


def detail_table(results):
    rows = [[r["dataset"], f"{r['points']:,}", f"{r['radius']:.3g}", r["radius_rule"], r["order"], r["method"],
             r["cells_per_radius"], r["threads"], f"{r['build_s']['kesra']:.3f}",
             *[fmt(r["ratios"][peer]["build"]) for peer in ("ckdtree", "nanoflann")],
             *[item for op in ("find", "count") for item in
               (f"{r[op + '_mqps']['kesra']:.2f}", fmt(r["ratios"]["ckdtree"][op]), fmt(r["ratios"]["nanoflann"][op]))]]
            for r in results]
    return format_table(["dataset", "N", "r", "rule", "order", "method", "cells", "T", "build s", "x ckd", "x nf",
                         "find Mq/s", "x ckd", "x nf", "count Mq/s", "x ckd", "x nf"], rows)


def peer_table(results):
    rows = {}
    for r in results:
        key = (r["dataset"], r["radius_rule"], r["order"], r["threads"])
        rows[key] = [*key, f"{r['build_s']['ckdtree']:.3f}", fmt(r["build_s"]["nanoflann"], ".3f"),
                     *[fmt(r[op + "_mqps"][peer]) for op in ("find", "count") for peer in ("ckdtree", "nanoflann")]]
    return format_table(["dataset", "rule", "order", "T", "ckd build s", "nf build s", "ckd find Mq/s",
                         "nf find Mq/s", "ckd count Mq/s", "nf count Mq/s"], list(rows.values()))


def memory_table(results):
    rows = {}
    for r in results:
        memory = r["bytes_per_point"]
        if memory["kesra"] is not None:
            key = (r["dataset"], r["radius_rule"], r["method"], r["cells_per_radius"])
            rows[key] = [*key, f"{memory['kesra']:.1f}", fmt(memory["ckdtree"], ".1f")]
    return rows and format_table(["dataset", "rule", "method", "cells", "kesra B/pt", "cKDTree B/pt"],
                                 list(rows.values()))


def summary_table(results, threads=None, markdown=False):
    """One line per data set, query order and radius rule: kesra / nanoflann at `threads`
    (default: the most measured) for every method's find, count and build."""
    threads = threads or max(r["threads"] for r in results)
    cells = min(r["cells_per_radius"] for r in results)
    groups = {}
    for r in results:
        if r["threads"] == threads and r["cells_per_radius"] == cells:
            groups.setdefault((r["dataset"], r["order"], r["radius_rule"]), {})[r["method"]] = r["ratios"]["nanoflann"]
    present = {method for ratios in groups.values() for method in ratios}
    methods = [m for m in SUMMARY_METHODS if m in present] + sorted(present - set(SUMMARY_METHODS))
    headers = ["dataset", "order", "rule"] + [f"{method} {op}" for op in OPS for method in methods]
    rows = [[*key] + [fmt(ratios.get(method, {}).get(op)) for op in OPS for method in methods]
            for key, ratios in groups.items()]
    note = (f"x nanoflann at T = {threads} (queries: throughput ratio, build: nanoflann time / kesra time; "
            "above 1: kesra faster)")
    if markdown:
        lines = ["| " + " | ".join(map(str, row)) + " |" for row in [headers, ["---"] * len(headers), *rows]]
        return note + "\n\n" + "\n".join(lines)
    return format_table(headers, rows) + "\n" + note


def job_table(results, threads=None, markdown=False):
    """The default's whole job (build plus one k-nearest find of every point) per data
    set, order and rule: against the fastest explicit exact method's and nanoflann's
    build plus find, and its counts against nanoflann's; with what "auto" chose and
    what the choice cost beside its build."""
    threads = threads or max(r["threads"] for r in results)
    groups = {}
    for r in results:
        if r["threads"] == threads:
            groups.setdefault((r["dataset"], r["order"], r["radius_rule"]), {})[r["method"]] = r

    def job(r, who):
        rate = r["find_mqps"][who]
        build = r["build_s"][who]
        return None if rate is None or build is None else build + r["points"] / (rate * 1e6)

    rows = []
    for key, by_method in groups.items():
        auto = by_method.get("auto")
        if auto is None:
            continue
        explicit = {m: job(by_method[m], "kesra") for m in EXPLICIT if m in by_method}
        best = min(explicit, key=explicit.get) if explicit else None
        mine, peer = job(auto, "kesra"), job(auto, "nanoflann")
        rows.append([*key, auto.get("auto_chose", "-"), fmt(mine, ".3f"),
                     f"{best} {explicit[best]:.3f}" if best else "-",
                     fmt(explicit[best] / mine if best and mine else None), fmt(peer / mine if peer and mine else None),
                     fmt(auto["ratios"]["nanoflann"]["count"]),
                     fmt(100 * auto["choice_s"] / auto["build_s"]["kesra"] if auto.get("choice_s") else None, ".1f")])
    headers = ["dataset", "order", "rule", "chose", "job s", "fastest explicit", "x fastest", "x nf job",
               "count x nf", "choice % build"]
    note = (f"T = {threads}; job: build + find of k = 16 for every point; x fastest: the fastest explicit exact "
            "method's job / auto's (target 0.9); x nf job: nanoflann's build + find / auto's (target 1.3 from "
            "100k points); count x nf (target 1.5); choice % build (target 3)")
    if markdown:
        lines = ["| " + " | ".join(map(str, row)) + " |" for row in [headers, ["---"] * len(headers), *rows]]
        return note + "\n\n" + "\n".join(lines)
    return format_table(headers, rows) + "\n" + note


def main(argv=None):
    parser = argparse.ArgumentParser(description="Print the tables of a bench_queries.py run.")
    parser.add_argument("results", type=Path, nargs="?", default=REPO / "bench" / "results" / "latest.json")
    parser.add_argument("--threads", type=int, help="thread count of the summary (default: the largest)")
    parser.add_argument("--markdown", action="store_true", help="the summary as a Markdown table")
    parser.add_argument("--detail", action="store_true", help="also the detail, peer and memory tables")
    args = parser.parse_args(argv)
    results = json.loads(args.results.read_text())["results"]
    if args.detail:
        for table in (detail_table(results), peer_table(results), memory_table(results)):
            if table:
                print(table, end="\n\n")
    print(summary_table(results, args.threads, args.markdown))
    if any(r["method"] == "auto" for r in results):
        print("\n" + job_table(results, args.threads, args.markdown))


if __name__ == "__main__":
    sys.exit(main())
