#!/usr/bin/env python3
"""Runs kalvo-update.exe end to end under Wine against the simulated Kalvo
bootloader of e2e/pipe_server, and judges what happened.

  run_e2e.py prefix-up   --prefix DIR --wine WINE --wineserver WINESERVER [--system-dlls DIR]
  run_e2e.py prefix-down --prefix DIR --wineserver WINESERVER
  run_e2e.py scenario NAME --prefix DIR --plain-prefix DIR --wine WINE --exe EXE
                           --harness DIR --work DIR --vendor 0x3A7C --fpga FILE --mcu FILE

prefix-up makes a Wine prefix (once: it takes a while) and starts a
wineserver that stays up until prefix-down stops it, so that the scenarios
do not each pay for Wine's start. With --system-dlls it puts the test
hid.dll and setupapi.dll from that folder into the prefix's system
directory, the only place the program loads them from: the scenarios that
use them run in that prefix (--prefix), the ones that use Wine's own in a
plain one (--plain-prefix). A scenario gets a fresh folder with a copy of
the program and the interface list that the test DLLs present
(kalvo-e2e.txt); it starts the pipe server there, runs the program, stops
the server and compares the program's transcript and exit status and the
server's log with what the built-in images say they must be. Every file
stays in the folder for a look afterwards. The exit status is 0 when the
scenario passed.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

PAGE_BYTES = 2048
BLOCKS_PER_PAGE = 36
FPGA_HEADER_BYTES = 4
FIRST_FPGA_PAGE = 0x1000
FIRST_MCU_PAGE = 4
PRODUCT_ID = 0x00D2
RESTART_COMMAND = bytes([0x00, 0x46, 0x2A, 0x47, 0x00, 0xFF]) + bytes(58)
NOT_FOUND = (b"No Kalvo found. Please restart Kalvo in bootloader mode "
             b"(press and hold CONFIG during power on).\n")
# A read try waits 2 s and a page's acknowledgement gets three of them.
ACK_WAIT_SECONDS = 3 * 2.0
# Timer and scheduling slack on the lower bound of that wait.
WAIT_SLACK_SECONDS = 0.1

INTERFACES_FILE = "kalvo-e2e.txt"
CALL_TRACE_FILE = "kalvo-e2e-calls.txt"
SERVER_LOG = "server.log"
PREFIX_READY_MARK = ".kalvo-e2e-prefix-ready"
# Wine's own runtime installers would ask questions on a machine without a
# screen; nothing here needs them.
NO_RUNTIME_INSTALLERS = "mscoree,mshtml="
TEST_DLLS_FIRST = "hid,setupapi=n"
# How Windows searches for a DLL that is not a known DLL: native (a file)
# first, and the program's own folder before the system directory.
PLANTED_FIRST = "hid,setupapi=n,b"
SYSTEM_DLLS = ("hid.dll", "setupapi.dll")
PLANTED_MARK = "planted DLL loaded"

PREFIX_CREATION_TIMEOUT = 600
SERVER_READY_TIMEOUT = 60
SERVER_STOP_TIMEOUT = 30
SERVER_LIFETIME_SECONDS = 280


def wine_environment(prefix, overrides=""):
    env = dict(os.environ)
    env["WINEPREFIX"] = str(prefix)
    env["WINEDEBUG"] = "-all"
    env["WINEDLLOVERRIDES"] = ";".join(x for x in (NO_RUNTIME_INSTALLERS, overrides) if x)
    # Console programs only: no window may open, whatever the machine has.
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    return env


def run_quietly(command, env, timeout, log=None):
    """Runs a Wine tool with its output in `log` (or nowhere). Wine's helper
    processes inherit these handles, so they never get the caller's pipes."""
    out = open(log, "ab") if log else subprocess.DEVNULL
    try:
        return subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=out,
                              stderr=subprocess.STDOUT, timeout=timeout).returncode
    finally:
        if log:
            out.close()


def prefix_up(args):
    prefix = Path(args.prefix)
    env = wine_environment(prefix)
    # A wineserver left from an interrupted run would not be persistent.
    run_quietly([args.wineserver, "-k"], env, 60)
    started = time.monotonic()
    if not (prefix / PREFIX_READY_MARK).exists():
        # What an interrupted creation left is not to be trusted.
        shutil.rmtree(prefix, ignore_errors=True)
        prefix.parent.mkdir(parents=True, exist_ok=True)
        print("creating the Wine prefix", prefix)
        status = run_quietly([args.wine, "wineboot", "--init"], env, PREFIX_CREATION_TIMEOUT,
                             log=str(prefix) + ".log")
        # The wineserver writes the registry out when it ends.
        run_quietly([args.wineserver, "-w"], env, 120)
        if status != 0 or not (prefix / "system.reg").exists():
            print(f"wineboot failed (status {status}); see {prefix}.log")
            return 1
        (prefix / PREFIX_READY_MARK).write_text("made by e2e/run_e2e.py\n")
    if args.system_dlls:
        system32 = prefix / "drive_c" / "windows" / "system32"
        for dll in SYSTEM_DLLS:
            shutil.copy2(Path(args.system_dlls) / dll, system32 / dll)
    if run_quietly([args.wineserver, "-p"], env, 60) != 0:
        print("cannot start a wineserver for", prefix)
        return 1
    # Wine's services start with the first program: start them now.
    status = run_quietly([args.wine, "cmd", "/c", "exit", "0"], env, 120)
    if status != 0:
        print(f"Wine cannot start a program in {prefix} (status {status})")
        return 1
    print(f"Wine prefix {prefix} up in {time.monotonic() - started:.1f} s")
    return 0


def prefix_down(args):
    env = wine_environment(Path(args.prefix))
    run_quietly([args.wineserver, "-k"], env, 60)
    status = run_quietly([args.wineserver, "-w"], env, 60)
    return 0 if status == 0 else 1


class Images:
    """The pages that the program's built-in images make on the device."""

    def __init__(self, fpga_file, mcu_file):
        fpga = Path(fpga_file).read_bytes()
        mcu = Path(mcu_file).read_bytes()
        stream = len(fpga).to_bytes(FPGA_HEADER_BYTES, "big") + fpga
        self.fpga_pages = -(-len(stream) // PAGE_BYTES)
        stream += bytes(self.fpga_pages * PAGE_BYTES - len(stream))
        self.mcu_pages = len(mcu) // PAGE_BYTES
        self.pages = {}
        for i in range(self.fpga_pages):
            self.pages[FIRST_FPGA_PAGE + i] = stream[i * PAGE_BYTES:(i + 1) * PAGE_BYTES]
        for i in range(self.mcu_pages):
            self.pages[FIRST_MCU_PAGE + i] = mcu[i * PAGE_BYTES:(i + 1) * PAGE_BYTES]

    def success_transcript(self):
        return (b"Updating FPGA." + b"." * self.fpga_pages + b" done.\n" +
                b"Updating MCU." + b"." * self.mcu_pages + b" done.\n" +
                b"Restarting...\n")


class ServedLog:
    """What the pipe server logged about one interface."""

    def __init__(self):
        self.events = []  # (kind, microseconds, detail)
        self.pages = {}
        self.restarts = None
        self.complaints = []
        self.errors = []

    def times(self, kind):
        return [t for k, t, _ in self.events if k == kind]

    def reports(self):
        return [(t, bytes.fromhex(d)) for k, t, d in self.events if k == "report"]


def read_server_log(path):
    served = {}
    for line in Path(path).read_text().splitlines():
        words = line.split(" ", 3)
        if not words or words[0].startswith("#") or words[0] in ("end", "interface"):
            continue
        kind, number = words[0], int(words[1])
        log = served.setdefault(number, ServedLog())
        if kind == "page":
            page, data = line.split(" ")[2:4]
            log.pages[int(page, 16)] = bytes.fromhex(data)
        elif kind == "restarts":
            log.restarts = int(words[2])
        elif kind == "complaint":
            log.complaints.append(line.split(" ", 2)[2])
        elif kind == "error":
            log.errors.append(line)
        else:
            log.events.append((kind, int(words[2]), words[3] if len(words) > 3 else ""))
    return served


def page_list(numbers):
    return " ".join(f"0x{n:04X}" for n in sorted(numbers))


def frame_page(report):
    return report[3] | (report[4] << 8)


def is_block(report):
    return report[1:3] == b"F*" and report[5] < BLOCKS_PER_PAGE


class Checks:
    def __init__(self):
        self.failures = []

    def expect(self, condition, what):
        if not condition:
            self.failures.append(what)
        return condition

    def equal(self, actual, expected, what):
        return self.expect(actual == expected, f"{what}: {actual!r}, expected {expected!r}")


class Scenario:
    def __init__(self, args, timeout, test_dlls):
        self.args = args
        # The test DLLs lie in one prefix's system directory, Wine's own in the other's.
        self.prefix = args.prefix if test_dlls else args.plain_prefix
        self.timeout = timeout
        self.work = Path(args.work)
        self.images = Images(args.fpga, args.mcu)
        self.vendor = int(args.vendor, 0)
        self.checks = Checks()
        self.tag = f"kalvo-e2e-{args.name}-{os.getpid()}"
        self.interfaces = []

    # --- the interfaces a scenario presents ---
    def add(self, serve="bootloader", vendor=None, product=PRODUCT_ID, string="FW01", noack=None):
        number = len(self.interfaces)
        vendor = self.vendor if vendor is None else vendor
        line = (f"pipe={self.tag}-{number} vendor=0x{vendor:04X} "
                f"product=0x{product:04X} version=0x0100 string={string} serve={serve}")
        if noack is not None:
            line += f" noack=0x{noack:04X}"
        self.interfaces.append(line)
        return number

    # --- running ---
    def prepare(self):
        shutil.rmtree(self.work, ignore_errors=True)
        self.work.mkdir(parents=True)
        shutil.copy2(self.args.exe, self.work / "kalvo-update.exe")
        (self.work / INTERFACES_FILE).write_text(
            "# made by e2e/run_e2e.py\n" + "".join(line + "\n" for line in self.interfaces))

    def start_server(self):
        server = Path(self.args.harness) / "pipe_server.exe"
        ready = self.work / (SERVER_LOG + ".ready")
        out = open(self.work / "server.out", "wb")
        process = subprocess.Popen(
            [self.args.wine, str(server), INTERFACES_FILE, SERVER_LOG,
             str(SERVER_LIFETIME_SECONDS)],
            cwd=self.work, env=wine_environment(self.prefix), stdin=subprocess.PIPE,
            stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        out.close()
        deadline = time.monotonic() + SERVER_READY_TIMEOUT
        while not ready.exists():
            if process.poll() is not None or time.monotonic() > deadline:
                self.stop_server(process)
                raise RuntimeError("the pipe server did not come up; see "
                                   f"{self.work / 'server.out'}")
            time.sleep(0.02)
        return process

    def stop_server(self, process):
        # The server ends when its standard input does, and then writes its log.
        process.stdin.close()
        try:
            status = process.wait(timeout=SERVER_STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            status = None
        self.checks.equal(status, 0, "pipe server exit status (see server.out, server.log)")

    def run_program(self, overrides, timeout, program, cwd=None):
        env = wine_environment(self.prefix, overrides)
        with open(self.work / "transcript.bin", "wb") as out, \
                open(self.work / "program.err", "wb") as err:
            started = time.monotonic()
            process = subprocess.Popen([self.args.wine] + program, cwd=cwd or self.work,
                                       env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                       start_new_session=True)
            try:
                status = process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
                status = None
            self.program_seconds = time.monotonic() - started
        print(f"{program[0]} ran {self.program_seconds:.2f} s under Wine, status {status}")
        return status, (self.work / "transcript.bin").read_bytes()

    def run(self, test_dlls=True, serve=True, program=("kalvo-update.exe",)):
        """Runs `program` (the updater unless told otherwise) and returns its exit
        status and transcript, and the server's log."""
        self.prepare()
        server = self.start_server() if serve else None
        try:
            status, transcript = self.run_program(TEST_DLLS_FIRST if test_dlls else "",
                                                  self.timeout, list(program))
        finally:
            if server:
                self.stop_server(server)
        served = read_server_log(self.work / SERVER_LOG) if serve else {}
        for log in served.values():
            for error in log.errors:
                self.checks.expect(False, f"pipe server: {error}")
        return status, transcript, served

    def call_trace(self):
        path = self.work / CALL_TRACE_FILE
        lines = path.read_text().splitlines() if path.exists() else []
        self.checks.expect(lines, "the program did not call the test hid.dll and setupapi.dll")
        for line in lines:
            self.checks.expect(not line.startswith("anomaly"), f"test DLLs saw {line}")
        self.checks.equal(sum(x.startswith("SetupDiDestroyDeviceInfoList") for x in lines),
                          sum(x.startswith("SetupDiGetClassDevsA") for x in lines),
                          "device information sets destroyed (against sets made)")
        return lines

    # --- judging ---
    def check_pages(self, log, numbers):
        c = self.checks
        c.equal(page_list(set(numbers) - set(log.pages)), "", "pages the device lacks")
        c.equal(page_list(set(log.pages) - set(numbers)), "", "pages the device should not have")
        c.equal(page_list(n for n in numbers
                          if n in log.pages and log.pages[n] != self.images.pages[n]),
                "", "stored pages that differ from the built-in images")
        c.equal(log.complaints, [], "the device's complaints about the traffic")

    def check_updated(self, status, transcript, log):
        """A whole update with every page acknowledged at once."""
        c = self.checks
        c.equal(transcript, self.images.success_transcript(), "transcript")
        c.equal(status, 0, "exit status")
        self.check_pages(log, list(self.images.pages))
        reports = [r for _, r in log.reports()]
        c.equal(len(reports), len(self.images.pages) * BLOCKS_PER_PAGE + 1, "reports received")
        firsts = [frame_page(r) for r in reports if is_block(r) and r[5] == 0]
        c.equal(page_list(n for n in set(firsts) if firsts.count(n) > 1), "",
                "pages sent more than once")
        c.equal(log.restarts, 1, "restart commands")
        if reports:
            c.equal(reports[-1].hex(), RESTART_COMMAND.hex(), "the last report")
        c.equal(len(log.times("input")), len(self.images.pages), "acknowledgements sent")
        c.equal(len(log.times("connect")), 1, "connections")
        # The program closes the device after the restart command.
        disconnects = log.times("disconnect")
        if c.equal(len(disconnects), 1, "disconnections") and reports:
            c.expect(disconnects[0] >= log.times("report")[-1], "closed before the restart")

    def check_untouched(self, served, number, opened):
        log = served.get(number, ServedLog())
        self.checks.equal(len(log.reports()), 0, f"reports received by interface {number}")
        self.checks.equal(len(log.times("connect")), 1 if opened else 0,
                          f"times interface {number} was opened")
        if opened:
            self.checks.equal(len(log.times("disconnect")), 1,
                              f"times interface {number} was closed")


def full_update(s):
    kalvo = s.add()
    status, transcript, served = s.run()
    s.check_updated(status, transcript, served.get(kalvo, ServedLog()))
    s.call_trace()


def no_bootloader(s):
    # Wine's own hid.dll and setupapi.dll: no HID interface is a Kalvo.
    status, transcript, _ = s.run(test_dlls=False, serve=False)
    s.checks.equal(transcript, NOT_FOUND, "transcript")
    s.checks.equal(status, 2, "exit status")


def planted_dlls(s):
    """A hid.dll and setupapi.dll that record being loaded, beside the program
    and in its current directory, with Windows' search order for them: the
    program takes neither and goes on with Wine's own."""
    s.prepare()
    current = s.work / "current"
    current.mkdir()
    planted = Path(s.args.harness) / "planted"
    for folder in (s.work, current):
        for dll in SYSTEM_DLLS:
            shutil.copy2(planted / dll, folder / dll)
    trace = s.work / CALL_TRACE_FILE

    def loads():
        return [x for x in trace.read_text().splitlines() if x.startswith(PLANTED_MARK)] \
            if trace.exists() else []

    # A search by name finds them: without that, their absence proves nothing.
    shutil.copy2(planted / "search_probe.exe", s.work / "search_probe.exe")
    status, _ = s.run_program(PLANTED_FIRST, 60, [str(s.work / "search_probe.exe")], current)
    s.checks.equal((status, len(loads())), (0, len(SYSTEM_DLLS)),
                   "the search probe's status and the planted DLLs it loaded")
    trace.unlink(missing_ok=True)
    status, transcript = s.run_program(PLANTED_FIRST, s.timeout,
                                       [str(s.work / "kalvo-update.exe")], current)
    s.checks.equal(loads(), [], "planted DLLs that kalvo-update.exe loaded")
    s.checks.equal(transcript, NOT_FOUND, "transcript")
    s.checks.equal(status, 2, "exit status")


def never_acknowledged(s):
    silent_page = FIRST_FPGA_PAGE + 5
    kalvo = s.add(noack=silent_page)
    status, transcript, served = s.run()
    log = served.get(kalvo, ServedLog())
    c = s.checks
    c.equal(transcript, b"Updating FPGA." + b"." * 5 + b" failed.\n", "transcript")
    c.equal(status, 3, "exit status")
    confirmed = list(range(FIRST_FPGA_PAGE, silent_page))
    s.check_pages(log, confirmed + [silent_page])
    reports = log.reports()
    silent = [(t, r) for t, r in reports if is_block(r) and frame_page(r) == silent_page]
    four_attempts = c.equal(len(silent), 4 * BLOCKS_PER_PAGE,
                            f"frames of page 0x{silent_page:04X}")
    c.equal([r[5] for _, r in silent], list(range(BLOCKS_PER_PAGE)) * 4,
            f"block order of page 0x{silent_page:04X}'s four attempts")
    c.equal(len(reports), (len(confirmed) + 4) * BLOCKS_PER_PAGE,
            "reports received (nothing after the last attempt)")
    c.equal(log.restarts, 0, "restart commands")
    # Each new attempt follows three full read waits for the acknowledgement.
    for attempt in range(1, 4 if four_attempts else 1):
        first = attempt * BLOCKS_PER_PAGE
        gap = (silent[first][0] - silent[first - 1][0]) / 1e6
        c.expect(gap >= ACK_WAIT_SECONDS - WAIT_SLACK_SECONDS,
                 f"attempt {attempt + 1} began {gap:.3f} s after the previous one's last frame")
    s.call_trace()


def identification(s):
    wrong_vendor = s.add(vendor=s.vendor ^ 0x8000)
    wrong_string = s.add(string="WF01")
    no_string = s.add(string="-")
    busy = s.add(serve="busy")
    absent = s.add(serve="none")
    kalvo = s.add()
    second_kalvo = s.add()
    status, transcript, served = s.run()
    s.check_updated(status, transcript, served.get(kalvo, ServedLog()))
    for number in (wrong_vendor, wrong_string, no_string):
        s.check_untouched(served, number, opened=True)
    for number in (busy, second_kalvo):
        s.check_untouched(served, number, opened=False)
    s.checks.equal(len(served.get(busy, ServedLog()).times("held")), 1,
                   "the other client's hold on the busy interface")
    s.checks.expect(absent not in served, "the absent interface has no server")
    trace = s.call_trace()
    pipe = f"pipe={s.tag}-"
    strings_read = [int(x.split(pipe)[1].split(" ")[0]) for x in trace
                    if x.startswith("HidD_GetIndexedString")]
    s.checks.equal(strings_read, [wrong_string, no_string, kalvo],
                   "interfaces whose string index 4 was read")


def bare_loop(s):
    """The update's traffic without the updater (e2e/bare_loop), for timing."""
    kalvo = s.add()
    status, transcript, served = s.run(
        test_dlls=False, program=(str(Path(s.args.harness) / "bare_loop.exe"), f"{s.tag}-{kalvo}",
                                  str(s.images.fpga_pages), str(s.images.mcu_pages)))
    print(transcript.decode(errors="replace"), end="")
    log = served.get(kalvo, ServedLog())
    s.checks.equal(status, 0, "exit status")
    s.checks.equal(len(log.reports()), len(s.images.pages) * BLOCKS_PER_PAGE, "reports received")
    s.checks.equal(len(log.times("input")), len(s.images.pages), "acknowledgements sent")
    s.checks.equal(log.complaints, [], "the device's complaints about the traffic")


# Each scenario and how long the program may take in it before it counts as hung.
SCENARIOS = {
    "full-update": (full_update, 120),
    "no-bootloader": (no_bootloader, 60),
    "planted-dlls": (planted_dlls, 60),
    "never-acknowledged-page": (never_acknowledged, 180),
    "identification": (identification, 120),
    "bare-loop": (bare_loop, 120),
}

# The scenarios that run with Wine's own hid.dll and setupapi.dll.
WINES_OWN = (no_bootloader, planted_dlls)


def scenario(args):
    judge, timeout = SCENARIOS[args.name]
    for needed in [Path(args.exe)] + [Path(args.harness) / x for x in
                                      ("pipe_server.exe", "hid.dll", "setupapi.dll", "planted")]:
        if not needed.exists():
            print(f"{needed} is missing: build the Windows target with KALVO_E2E=ON")
            return 1
    s = Scenario(args, timeout, judge not in WINES_OWN)
    started = time.monotonic()
    try:
        judge(s)
    except (RuntimeError, OSError, ValueError) as error:
        s.checks.failures.append(str(error))
    print(f"scenario {args.name}: {time.monotonic() - started:.2f} s in all; files in {s.work}")
    for failure in s.checks.failures:
        print("FAILED:", failure)
    return 1 if s.checks.failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    up = sub.add_parser("prefix-up")
    down = sub.add_parser("prefix-down")
    run = sub.add_parser("scenario")
    run.add_argument("name", choices=sorted(SCENARIOS))
    for p in (up, down, run):
        p.add_argument("--prefix", required=True)
        p.add_argument("--wineserver", default="wineserver")
    for p in (up, run):
        p.add_argument("--wine", default="wine")
    up.add_argument("--system-dlls", help="folder of the test DLLs to put in the system directory")
    run.add_argument("--plain-prefix", required=True)
    for option in ("--exe", "--harness", "--work", "--vendor", "--fpga", "--mcu"):
        run.add_argument(option, required=True)
    args = parser.parse_args()
    # Wine takes only an absolute prefix.
    args.prefix = str(Path(args.prefix).resolve())
    if args.command == "scenario":
        args.plain_prefix = str(Path(args.plain_prefix).resolve())
    if args.command == "prefix-up":
        return prefix_up(args)
    if args.command == "prefix-down":
        return prefix_down(args)
    return scenario(args)


if __name__ == "__main__":
    sys.exit(main())
