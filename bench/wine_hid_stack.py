#!/usr/bin/env python3
"""The update's wall time through Wine's own HID stack beside a bare loop of
the same traffic through the same stack.

  wine_hid_stack.py --windows-build DIR --work DIR [--rounds N]

One virtual Kalvo bootloader (e2e/hid_stack) is installed into a Wine prefix
of its own (e2e/run_e2e.py's hid-stack backend); kalvo-update.exe, then
e2e/bare_loop pointed at the bootloader's HID interface path (the same 9360
writes and 260 reads with no updater around them) run one after another
against it, --rounds times. Each session is timed from the program's open of
the collection to its close, as the function driver logged them, so Wine's
process start is in neither; the process wall times are reported too.

Prints key=value lines: the median, least and greatest session of each kind
(update_s, update_least_s, update_most_s, bare_s, ...), the median of each
round's ratio, the median process wall and CPU times, the reads that Wine's class driver
held back and the bare loop's reads issued again (each adds a read try to a
session), the rounds, and each round's sessions. Exit status 0 when
measured; else 1, with the reason on the last line.
"""
import argparse
import statistics
import sys
from pathlib import Path

# The harness's source tree gets no bytecode cache from these imports.
sys.dont_write_bytecode = True
from wine_ratio import PROGRAM_TIMEOUT_S, alternate, cache_value, measure_in_prefix, sessions


def measure(runner, args, wine, wineserver):
    build = Path(args.windows_build).resolve()
    harness = build / "e2e"
    work = Path(args.work).resolve()
    setup = argparse.Namespace(
        name="wine-hid-stack", work=str(work / "session"), exe=str(build / "kalvo-update.exe"),
        harness=str(harness), prefix=str(work / "wineprefix"), wine=wine, wineserver=wineserver,
        backend="hid-stack", vendor=cache_value(build, "KALVO_VENDOR_ID"),
        fpga=cache_value(build, "KALVO_FPGA_IMAGE"), mcu=cache_value(build, "KALVO_MCU_IMAGE"))
    s = runner.Scenario(setup, PROGRAM_TIMEOUT_S)
    kalvo = s.add()
    s.prepare()
    server = s.start_server()
    try:
        s.backend.attach(s)
        bare = [str(harness / "bare_loop.exe"), s.devices[kalvo][1], str(s.images.fpga_pages),
                str(s.images.mcu_pages)]
        try:
            update_process, bare_process, reissued = alternate(s, args.rounds, "", bare)
        finally:
            s.backend.detach(s)
    finally:
        s.stop_server(server)
    served = runner.read_server_log(work / "session" / runner.SERVER_LOG)
    s.backend.merge(s, served)
    log = served.get(kalvo)
    if log is None:
        raise RuntimeError("the pipe server logged nothing")
    s.checks.equal(log.complaints, [], "the device's complaints about the traffic")
    pages = s.images.fpga_pages + s.images.mcu_pages
    reports = args.rounds * (2 * pages * runner.BLOCKS_PER_PAGE + 1)
    s.checks.equal(len(log.reports()), reports, "reports received")
    timed = sessions(log)
    s.checks.equal(len(timed), 2 * args.rounds, "sessions (opens and closes)")
    if s.checks.failures:
        raise RuntimeError("; ".join(s.checks.failures))
    update = [(d - c) / 1e6 for c, d in timed[0::2]]
    bare_s = [(d - c) / 1e6 for c, d in timed[1::2]]
    return {
        "update_s": statistics.median(update),
        "update_least_s": min(update),
        "update_most_s": max(update),
        "bare_s": statistics.median(bare_s),
        "bare_least_s": min(bare_s),
        "bare_most_s": max(bare_s),
        "ratio": statistics.median(u / b for u, b in zip(update, bare_s)),
        # alternate() gives each process's wall and CPU seconds.
        "update_process_s": statistics.median(wall for wall, _ in update_process),
        "bare_process_s": statistics.median(wall for wall, _ in bare_process),
        "update_cpu_s": statistics.median(cpu for _, cpu in update_process),
        "bare_cpu_s": statistics.median(cpu for _, cpu in bare_process),
        # Reads that Wine's class driver left waiting with their report in the
        # queue (none while the minidriver's read gate is shut): each costs
        # the update or the bare loop a read try.
        "reads_held_back": sum(len(x) for x in s.held_back.values()),
        "bare_reads_issued_again": reissued,
        "rounds": args.rounds,
        "update_rounds_s": ",".join(f"{x:.3f}" for x in update),
        "bare_rounds_s": ",".join(f"{x:.3f}" for x in bare_s),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--windows-build", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    harness = str(Path(args.windows_build).resolve() / "e2e")
    return measure_in_prefix(args, ["--backend", "hid-stack", "--harness", harness], measure)


if __name__ == "__main__":
    sys.exit(main())
