#!/usr/bin/env python3
"""Prints the benchmarks' results (Google Benchmark JSON files) as one table, with the targets.

usage: table.py MACHINE FILE.json...
"""
import json
import sys


def load(paths):
    results = {}
    for path in paths:
        with open(path) as f:
            for b in json.load(f).get("benchmarks", []):
                results[b["name"].split("/iterations")[0].split("/real_time")[0]] = b
    return results


def main():
    machine, paths = sys.argv[1], sys.argv[2:]
    r = load(paths)
    rows = []
    verdicts = []

    def verdict(ok):
        verdicts.append(ok)
        return "met" if ok else "NOT MET"

    def rate(name):
        b = r.get(name)
        return b["bytes_per_second"] / 1e9 if b and "bytes_per_second" in b else None

    print(f"Machine: {machine}")
    print()
    print("Codec, one core (GB/s = 10^9 bytes per second of CPU time)")
    codec = [
        ("pack + CRC of a 4096-byte block", "BM_PackAndCrc/4096", 1.0),
        ("Write-block frame build, 4096 bytes", "BM_BuildWriteBlock", None),
        ("unpack of a 16,383-byte Read reply", "BM_Unpack7/16383", None),
        ("CRC of a 4096-byte block", "BM_CrcBlock/4096", None),
        ("pack of a 4096-byte block", "BM_Pack7/4096", None),
    ]
    for label, name, target in codec:
        value = rate(name)
        if value is None:
            print(f"  {label:<44} (not run)")
            continue
        note = f"target >= {target:g} GB/s: {verdict(value >= target)}" if target else ""
        print(f"  {label:<44} {value:8.2f} GB/s   {note}")

    b = r.get("BM_BlockRoundTrip")
    if b:
        print()
        blocks = int(b.get("event_blocks", 0))
        print(f"Host time per block against a zero-latency echo ({blocks} blocks per timing, alternating rounds)")
        print(f"  {'':<34} {'polled':>10} {'event':>10} {'ratio':>8}")
        for label, key in [("block out -> ack dispatched", "out_to_dispatched"),
                           ("ack in -> next block out", "ack_in_to_out"),
                           ("block out -> next block out", "cycle")]:
            for q in ("median", "p99"):
                polled = b[f"polled_{key}_{q}_us"]
                event = b[f"event_{key}_{q}_us"]
                ratio = polled / event if event else 0
                print(f"  {label + ', ' + q:<34} {polled:8.1f}us {event:8.1f}us {ratio:7.1f}x")
        event = b["event_cycle_median_us"]
        ratio = b["ratio_cycle_median"]
        print(f"  target: event median <= 100 us ({event:.1f}): {verdict(event <= 100)}; "
              f"at least 15x below polled ({ratio:.1f}x): {verdict(ratio >= 15)}")

    b = r.get("BM_WholeUpdate")
    if b:
        print()
        runs = int(b.get("event_runs", 1))
        print(f"Whole update, realistic model (scale=1), wall time (best of {runs} runs per timing, "
              "alternating) against the model's lower bound")
        print(f"  {'':<34} {'polled':>10} {'event':>10}")
        print(f"  {'wall time':<34} {b['polled_wall_s']:9.2f}s {b['event_wall_s']:9.2f}s")
        print(f"  {'lower bound':<34} {b['polled_bound_s']:9.2f}s {b['event_bound_s']:9.2f}s")
        print(f"  {'wall / bound':<34} {b['polled_ratio']:10.4f} {b['event_ratio']:10.4f}")
        print(f"  target: event within 2% of the bound: {verdict(b['event_ratio'] <= 1.02)}")

    b = r.get("BM_ReadBackCost")
    if b:
        print()
        print(f"Read-back before Finish-update, realistic model (scale=1), event-driven, best of "
              f"{int(b.get('runs', 1))} runs each")
        print(f"  {'without (--no-verify)':<34} {b['without_wall_s']:9.2f}s")
        print(f"  {'with the read-back (default)':<34} {b['with_wall_s']:9.2f}s")
        print(f"  target: the read-back adds at most 15% ({b['added_percent']:.1f}%): "
              f"{verdict(b['added_percent'] <= 15)}")

    print()
    print("All targets met." if verdicts and all(verdicts) else "Some targets NOT met.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
