#!/usr/bin/env python3
"""The update's wall time under Wine beside the platform's own floor.

  wine_ratio.py --windows-build DIR --work DIR [--rounds N]

One pipe server (e2e/pipe_server, the simulated bootloader on a message-mode
named pipe) serves, one after another on the same pipe, kalvo-update.exe with
the test hid.dll and setupapi.dll, then e2e/bare_loop: the same 9360 writes
and 260 reads with no updater around them; that pair is repeated --rounds
times. Each session is timed by the server, from the client's connection to
its disconnection, so Wine's own process start is in neither; the process
wall times are reported too. The Wine prefix and the harness's way of running
things under Wine are e2e/run_e2e.py's.

Prints key=value lines: update_s, bare_s, ratio (medians over the rounds, the
ratio's of each round's pair), update_least_s, bare_least_s, ratio_least (the
least session of each kind), update_process_s, bare_process_s, update_cpu_s,
bare_cpu_s (the CPU time, user and system, of the process that ran each
program, Wine's start included: medians over the rounds), rounds. Exit
status 0 when measured; else 1, with the reason on the last line.
"""
import argparse
import contextlib
import importlib.util
import resource
import shutil
import statistics
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
RUNNER = ROOT / "e2e" / "run_e2e.py"
# Far beyond a healthy run's time, even on a busy machine: a program that
# takes this long is hung.
PROGRAM_TIMEOUT_S = 300


def load_runner():
    # The harness's source tree gets no bytecode cache from this import.
    sys.dont_write_bytecode = True
    source = importlib.util.spec_from_file_location("run_e2e", RUNNER)
    runner = importlib.util.module_from_spec(source)
    source.loader.exec_module(runner)
    return runner


def cache_value(build, name):
    for line in (build / "CMakeCache.txt").read_text().splitlines():
        if line.startswith(name + ":"):
            return line.split("=", 1)[1]
    raise RuntimeError(f"{name} is not in {build}/CMakeCache.txt")


def sessions(log):
    """(connected, disconnected) pairs in microseconds, in order."""
    return list(zip(log.times("connect"), log.times("disconnect")))


def cpu_seconds():
    """The CPU time, user and system, of the children waited for so far."""
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    return used.ru_utime + used.ru_stime


def timed(s, overrides, command, name):
    """Runs `command` under Wine; its process's wall and CPU seconds. Wine's
    loader execs into the Windows process, so the CPU time is the program's
    with Wine's share of the work in that process (the wineserver's is not)."""
    before = cpu_seconds()
    status, _ = s.run_program(overrides, PROGRAM_TIMEOUT_S, command)
    s.checks.equal(status, 0, f"{name}'s exit status")
    return s.program_seconds, cpu_seconds() - before


def alternate(s, rounds, overrides, bare):
    """Runs kalvo-update.exe (with `overrides`) and then the bare loop `bare`,
    `rounds` times, and returns each one's process wall and CPU times, and
    the bare loop's reads issued again after a read try (each adds one to its
    time)."""
    update, bare_loop, reissued = [], [], 0
    for _ in range(rounds):
        update.append(timed(s, overrides, ["kalvo-update.exe"], "kalvo-update.exe"))
        bare_loop.append(timed(s, "", bare, "bare_loop.exe"))
        reissued += (s.work / "program.err").read_text(errors="replace").count("issued again;")
    return update, bare_loop, reissued


def measure(runner, args, wine, wineserver):
    rounds = args.rounds
    build = Path(args.windows_build).resolve()
    harness = build / "e2e"
    for needed in (build / "kalvo-update.exe", harness / "pipe_server.exe",
                   harness / "bare_loop.exe", harness / "hid.dll", harness / "setupapi.dll"):
        if not needed.exists():
            raise RuntimeError(f"{needed} is missing: build the Windows target with KALVO_E2E=ON")
    work = Path(args.work).resolve()
    setup = argparse.Namespace(
        name="wine-ratio", work=str(work / "session"), exe=str(build / "kalvo-update.exe"),
        harness=str(harness), prefix=str(work / "wineprefix"), plain_prefix=None, wine=wine,
        wineserver=wineserver,
        vendor=cache_value(build, "KALVO_VENDOR_ID"), fpga=cache_value(build, "KALVO_FPGA_IMAGE"),
        mcu=cache_value(build, "KALVO_MCU_IMAGE"))
    s = runner.Scenario(setup, PROGRAM_TIMEOUT_S)
    kalvo = s.add()
    pipe = f"{s.tag}-{kalvo}"
    bare = [str(harness / "bare_loop.exe"), pipe, str(s.images.fpga_pages), str(s.images.mcu_pages)]
    s.prepare()
    server = s.start_server()
    try:
        update_process, bare_process, reissued = alternate(s, rounds,
                                                           runner.TEST_DLLS_FIRST, bare)
        update_cpu = [cpu for _, cpu in update_process]
        bare_cpu = [cpu for _, cpu in bare_process]
        update_process = [wall for wall, _ in update_process]
        bare_process = [wall for wall, _ in bare_process]
    finally:
        s.stop_server(server)
    log = runner.read_server_log(work / "session" / runner.SERVER_LOG).get(kalvo)
    if log is None:
        raise RuntimeError("the pipe server logged nothing")
    s.checks.equal(log.errors, [], "the pipe server's errors")
    s.checks.equal(log.complaints, [], "the device's complaints about the traffic")
    pages = s.images.fpga_pages + s.images.mcu_pages
    reports = rounds * (2 * pages * runner.BLOCKS_PER_PAGE + 1)
    s.checks.equal(len(log.reports()), reports, "reports received")
    timed = sessions(log)
    s.checks.equal(len(timed), 2 * rounds, "sessions (connections and disconnections)")
    if s.checks.failures:
        raise RuntimeError("; ".join(s.checks.failures))
    update = [(d - c) / 1e6 for c, d in timed[0::2]]
    bare_s = [(d - c) / 1e6 for c, d in timed[1::2]]
    ratios = [u / b for u, b in zip(update, bare_s)]
    return {
        "update_s": statistics.median(update),
        "bare_s": statistics.median(bare_s),
        "ratio": statistics.median(ratios),
        # Other work on the machine only ever adds time: the least session of
        # each kind is the figure that best repeats.
        "update_least_s": min(update),
        "bare_least_s": min(bare_s),
        "ratio_least": min(update) / min(bare_s),
        "update_process_s": statistics.median(update_process),
        "bare_process_s": statistics.median(bare_process),
        "update_cpu_s": statistics.median(update_cpu),
        "bare_cpu_s": statistics.median(bare_cpu),
        "bare_reads_issued_again": reissued,
        "rounds": rounds,
    }


def measure_in_prefix(args, up_options, measure):
    """Makes a Wine prefix in args.work (prefix-up with `up_options`), prints
    the key=value figures that measure(runner, args, wine, wineserver) returns
    in it, and stops its wineserver. Returns the exit status."""
    wine, wineserver = shutil.which("wine"), shutil.which("wineserver")
    if not wine or not wineserver:
        print("Wine is not installed")
        return 1
    if not RUNNER.exists():
        print(f"{RUNNER} is missing")
        return 1
    runner = load_runner()
    prefix = ["--prefix", str(Path(args.work).resolve() / "wineprefix"), "--wineserver", wineserver]
    # Everything but the figures goes to standard error.
    if subprocess.run([sys.executable, str(RUNNER), "prefix-up", "--wine", wine] + prefix +
                      up_options, stdout=sys.stderr).returncode != 0:
        print("the Wine prefix could not be made")
        return 1
    try:
        with contextlib.redirect_stdout(sys.stderr):
            figures = measure(runner, args, wine, wineserver)
    except (RuntimeError, OSError, ValueError) as error:
        print(error)
        return 1
    finally:
        subprocess.run([sys.executable, str(RUNNER), "prefix-down"] + prefix, stdout=sys.stderr)
    for key, value in figures.items():
        print(f"{key}={value}")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--windows-build", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    # The test DLLs go into the prefix's system directory, where the program takes them from.
    system_dlls = ["--system-dlls", str(Path(args.windows_build).resolve() / "e2e")]
    return measure_in_prefix(args, system_dlls, measure)


if __name__ == "__main__":
    sys.exit(main())
