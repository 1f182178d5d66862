"""Reads Google Benchmark's JSON report (--benchmark_format=json, with
repetitions and their aggregates) on standard input and prints, on one
line, the median time per item in nanoseconds of each benchmark named as
an argument, in the order named.
"""
import json, sys

runs = {b["run_name"]: 1e9 / b["items_per_second"]
        for b in json.load(sys.stdin)["benchmarks"]
        if b.get("aggregate_name") == "median"}
print(*(runs[name] for name in sys.argv[1:]))
