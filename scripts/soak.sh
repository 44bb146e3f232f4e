#!/usr/bin/env bash
# Runs every test under Wine (both end-to-end backends, WineE2E.* and
# WineHidStack.*, the release tests, Release.*, and the stack-protection
# proofs under Wine's debugger) ROUNDS times (default 10)
# while every core is kept busy, and prints, per test, the rounds it passed out
# of the rounds run. The first round starts from fresh Wine prefixes. Every
# round's ctest output stays in build/soak/round-N.log, with every test's own
# output in round-N.full.log (a passing scenario may still say that Wine's
# class driver held a report back); a failed test's work folder is kept in
# build/soak/failed/round-N/TEST. The exit status is 0 when
# every test passed in every round. Not part of the CI run: a round takes
# 2 to 3 minutes on a busy 2-core machine.
#
# Builds both targets first (scripts/build.sh; extra arguments go to it).
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
rounds="${1:-10}"
shift $(($# > 0 ? 1 : 0))
if ! [[ "$rounds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/soak.sh [ROUNDS] [CMAKE ARGUMENTS...]" >&2
  exit 2
fi
host="$root/build/host"
soak="$root/build/soak"
tests='^(WineE2E|WineHidStack|Release)\.|^(Clang)?WindowsExe\.(StackProtectionProvedUnderWine|EachRunTimeProofFailsWhenBroken)$'
cores="$(nproc)"
# Twice as many tests as cores at once: most of a Wine scenario's time is
# spent waiting for the program's own timers, the device and Wine.
jobs=$((2 * cores))

"$root/scripts/build.sh" "$@" || exit 1

# One busy process per core, stopped however the soak ends.
busy=()
stop_busy() {
  ((${#busy[@]})) && kill "${busy[@]}" 2>/dev/null
  busy=()
}
trap stop_busy EXIT
trap 'stop_busy; exit 130' INT TERM
for ((i = 0; i < cores; ++i)); do
  (while :; do :; done) &
  busy+=($!)
done

# Fresh prefixes: what the ctest fixtures make when there is none.
for prefix in "$host"/e2e-*wineprefix*; do
  if [[ -d "$prefix" ]]; then
    WINEPREFIX="$prefix" wineserver -k 2>/dev/null
    rm -rf "$prefix" "$prefix.log"
  fi
done
rm -rf "$soak"
mkdir -p "$soak"

# Each test's work folder (its --work argument), to keep when it fails.
ctest --test-dir "$host" -R "$tests" --show-only=json-v1 >"$soak/tests.json" || exit 1

started=$SECONDS
for ((round = 1; round <= rounds; ++round)); do
  round_started=$SECONDS
  log="$soak/round-$round.log"
  ctest --test-dir "$host" -R "$tests" -j "$jobs" --output-on-failure >"$log" 2>&1
  cp "$host/Testing/Temporary/LastTest.log" "$soak/round-$round.full.log" 2>/dev/null
  python3 - "$soak" "$round" <<'EOF'
import json, re, shutil, sys
from pathlib import Path
soak, round = Path(sys.argv[1]), sys.argv[2]
work = {}
for test in json.loads((soak / "tests.json").read_text())["tests"]:
    command = test.get("command", [])
    if "--work" in command:
        work[test["name"]] = command[command.index("--work") + 1]
outcomes = {}
for line in (soak / f"round-{round}.log").read_text(errors="replace").splitlines():
    found = re.search(r"Test +#\d+: (\S+) \.+\**\s*(\w[\w ]*?)\s+[\d.]+ sec", line)
    if found:
        outcomes[found.group(1)] = found.group(2)
with open(soak / "outcomes.txt", "a") as out:
    for name, outcome in sorted(outcomes.items()):
        out.write(f"{round} {name} {outcome}\n")
        if outcome != "Passed" and name in work and Path(work[name]).exists():
            shutil.copytree(work[name], soak / "failed" / f"round-{round}" / name, symlinks=True)
failed = [n for n, o in outcomes.items() if o != "Passed"]
full = soak / f"round-{round}.full.log"
held = full.read_text(errors="replace").count("held back report") if full.exists() else 0
print(f"round {round}: {len(outcomes) - len(failed)} of {len(outcomes)} tests passed"
      + (f"; failed: {' '.join(sorted(failed))}" if failed else "")
      + (f"; Wine's class driver held back {held} reports" if held else ""))
EOF
  echo "round $round took $((SECONDS - round_started)) s"
done
stop_busy

echo
echo "soak: $rounds rounds in $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s" \
  "with $cores busy processes, $jobs tests at once; logs in $soak"
python3 - "$soak" "$rounds" <<'EOF'
import json, sys
from pathlib import Path
soak, rounds = Path(sys.argv[1]), int(sys.argv[2])
# A test that a round did not get to (its fixture failed) did not pass in it.
passed = {t["name"]: 0 for t in json.loads((soak / "tests.json").read_text())["tests"]}
outcomes = soak / "outcomes.txt"
for line in (outcomes.read_text().splitlines() if outcomes.exists() else []):
    _, name, outcome = line.split(" ", 2)
    passed[name] = passed.get(name, 0) + (outcome == "Passed")
print("passed/rounds  test")
for name in sorted(passed):
    print(f"{passed[name]:6d}/{rounds:<6d} {name}")
short = [n for n in passed if passed[n] != rounds]
if short:
    print(f"{len(short)} tests did not pass in every round; failed tests' folders are in "
          f"{soak / 'failed'}")
sys.exit(1 if short or not passed else 0)
EOF
