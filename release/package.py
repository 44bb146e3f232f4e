#!/usr/bin/env python3
"""Packages a Windows build of kalvo-update for users.

  package.py --build DIR --out DIR [--test-release] [--unsigned | --signed-program FILE]

Takes DIR/kalvo-update.exe, what its configure step wrote about it
(DIR/kalvo-release.txt: version, whether it is a test release, which
placeholders it embeds, the images built in, the tools) and its link map
(DIR/kalvo-update.map), signs the program (release/signing.py), and writes
OUT/kalvo-update-VERSION[-test]-windows-x64.zip holding one folder of that
name with the program, the launcher "Update Kalvo.cmd", the user guide, the
third-party notices (an index, and the folder of notices as their authors
wrote them), the bill of materials
(kalvo-update-VERSION[-test].cdx.json, CycloneDX) and SHA256SUMS; beside the
zip, the bill of materials again and the zip's own SHA-256
(NAME.zip.sha256). A build that embeds placeholder firmware, vendor
identifier, manufacturer or supplier, or was configured as a test release,
is packaged only with --test-release, and --test-release only such a build;
a release needs to know its sources' commit and time too. A build whose link
put in what the reviewed notices do not cover (release/third_party.py) is
not packaged.

Signing: with a key in a PKCS#11 token or a PKCS#12 file given in the
environment, or elsewhere: --unsigned packages the program unsigned and says
what to sign, --signed-program FILE packages FILE once it is checked to be
the built program, signed (release/signing.py). A release that is not a test
release is refused unsigned without --unsigned.

The zip is the same bytes for the same program and sources: fixed entry
times and attributes, a fixed order, one compressor. Exit status 0 when the
zip was written; else 1, with the reason.
"""
import argparse
import hashlib
import sys
import zipfile
from pathlib import Path

import sbom
import signing
import third_party

ROOT = Path(__file__).resolve().parent.parent
PROGRAM = "kalvo-update.exe"
FACTS = "kalvo-release.txt"
LINK_MAP = "kalvo-update.map"
NOTICES = "Third-party notices.txt"
LAUNCHER = "Update Kalvo.cmd"
GUIDE = "User guide.txt"
SUMS = "SHA256SUMS"
# What goes into the package, from where; text goes out with Windows line ends.
TEXT_SOURCES = {LAUNCHER: ROOT / "release" / "update-kalvo.cmd",
                GUIDE: ROOT / "USER-GUIDE.md"}
# The earliest time a zip entry can carry: no build's time goes in.
ZIP_ENTRY_TIME = (1980, 1, 1, 0, 0, 0)
ZIP_FILE_MODE = 0o644 << 16


class Refused(Exception):
    pass


def read_facts(build):
    path = build / FACTS
    if not path.is_file():
        raise Refused(f"{path} is missing: {build} is not a configured build of kalvo-update")
    return dict(line.split("=", 1) for line in path.read_text().splitlines() if "=" in line)


def check_release_kind(test_build, placeholders, test_release):
    if test_build and not test_release:
        if placeholders:
            raise Refused(
                "Refusing to package: this build embeds the placeholder " + ", ".join(placeholders)
                + ". Flashed into a Kalvo, placeholder firmware leaves it without working "
                "firmware. Build with the real images, their versions, the vendor identifier "
                "and the maker's name (KALVO_FPGA_IMAGE, KALVO_MCU_IMAGE, KALVO_FPGA_VERSION, "
                "KALVO_MCU_VERSION, KALVO_VENDOR_ID, KALVO_MANUFACTURER, KALVO_SUPPLIER), or "
                "make a test release (--test-release).")
        raise Refused("Refusing to package: this build is marked as a test release "
                      "(KALVO_TEST_RELEASE); give --test-release.")
    if test_release and not test_build:
        raise Refused("Refusing to package a test release of a build that does not call itself "
                      "one: configure it with -DKALVO_TEST_RELEASE=ON.")


def windows_text(path):
    return path.read_text(encoding="utf-8").replace("\r\n", "\n").replace("\n", "\r\n").encode()


def write_zip(path, folder, files):
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in files:
            entry = zipfile.ZipInfo(f"{folder}/{name}", date_time=ZIP_ENTRY_TIME)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 0
            entry.external_attr = ZIP_FILE_MODE
            archive.writestr(entry, data, compresslevel=9)


def linked_components(build):
    link_map = build / LINK_MAP
    if not link_map.is_file():
        raise Refused(f"{link_map} is missing: the link of kalvo-update.exe writes it; "
                      "build the kalvo-update target again")
    try:
        return third_party.link_components(link_map, build, read_facts(build))
    except third_party.Uncovered as uncovered:
        raise Refused(f"Refusing to package: {uncovered}")


def package(build, out, test_release, unsigned=False, signed_program=None):
    facts = read_facts(build)
    version = facts["version"]
    placeholders = [x for x in facts.get("placeholders", "").split(",") if x]
    check_release_kind(facts["test_release"] == "1", placeholders, test_release)
    signing_way = signing.way(test_release, unsigned, signed_program)
    source = sbom.source_facts(ROOT, facts)
    unknown = [key for key in ("commit", "time") if not source[key]]
    if unknown and not test_release:
        raise Refused(f"Refusing to package: the sources' {' and '.join(unknown)} cannot be told "
                      "here, and the bill of materials gives them. Package from a git checkout, "
                      "or set KALVO_SOURCE_COMMIT (CMake) and SOURCE_DATE_EPOCH.")
    program = build / PROGRAM
    if not program.is_file():
        raise Refused(f"{program} is missing: build the kalvo-update target first")
    link = linked_components(build)
    kind = "-test" if test_release else ""
    name = f"kalvo-update-{version}{kind}-windows-x64"
    bom_name = f"kalvo-update-{version}{kind}.cdx.json"

    signed = signing.sign(program, signing_way, signed_program)
    files = [(PROGRAM, signed.program)]
    files += [(target, windows_text(source)) for target, source in TEXT_SOURCES.items()]
    notices = third_party.notices_text(PROGRAM, version, link.components)
    files.append((NOTICES, notices.replace("\n", "\r\n").encode()))
    # The notices themselves go out byte for byte as their authors wrote them.
    files += [(f"{third_party.NOTICES_FOLDER}/{name}", data)
              for name, data in third_party.notice_files(link.components).items()]
    bom = sbom.bill_of_materials(facts, source, PROGRAM, signed.built, signed.program, link,
                                 signed.tool)
    files.append((bom_name, bom))
    sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {n}\r\n" for n, data in files)
    files.append((SUMS, sums.encode()))

    out.mkdir(parents=True, exist_ok=True)
    zip_path = out / f"{name}.zip"
    write_zip(zip_path, name, files)
    zip_sha256 = hashlib.sha256(zip_path.read_bytes()).hexdigest()
    (out / f"{name}.zip.sha256").write_text(f"{zip_sha256}  {zip_path.name}\n")
    (out / bom_name).write_bytes(bom)

    print(signed.note)
    if test_release:
        print("TEST RELEASE: not for general use"
              + (" (placeholder " + ", ".join(placeholders) + ")." if placeholders else "."))
    for n, data in files:
        print(f"  {n}: {len(data)} bytes, SHA-256 {hashlib.sha256(data).hexdigest()}")
    print("Linked in: " + ", ".join(f"{x.component.name} {x.release.version}"
                                    for x in link.components))
    print(f"Package: {zip_path} ({zip_path.stat().st_size} bytes, SHA-256 {zip_sha256})")
    print(f"Bill of materials: {out / bom_name}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, type=Path)
    parser.add_argument("--out", required=True, type=Path)
    parser.add_argument("--test-release", action="store_true")
    elsewhere = parser.add_mutually_exclusive_group()
    elsewhere.add_argument("--unsigned", action="store_true")
    elsewhere.add_argument("--signed-program", type=Path, metavar="FILE")
    args = parser.parse_args()
    try:
        package(args.build.resolve(), args.out.resolve(), args.test_release, args.unsigned,
                args.signed_program)
    except (Refused, signing.Refused) as refusal:
        print(refusal, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
