#!/usr/bin/env python3
"""The release package as users get it (scripts/release.sh, release/package.py).

  release_test.py reproducible --windows-build DIR --work DIR --vendor ID --fpga FILE --mcu FILE
                               [--setting NAME=VALUE...]
  release_test.py contents --windows-build DIR --work DIR --vendor ID --fpga FILE --mcu FILE
                           [--setting NAME=VALUE...]
  release_test.py placeholders --work DIR --generator NAME
  release_test.py signed --windows-build DIR --work DIR -- RUNNER ARGUMENTS...

reproducible: scripts/release.sh builds the program again in another folder,
with the same settings, and packages it; program and zip must be the same
bytes as those of the Windows build at hand, packaged here.
contents: the package holds the third-party notices (the index and the
notices themselves) and the bill of materials beside the program, and
SHA256SUMS lists every file. The index names every toolchain library the
link drew members from, with their number, and every notice in the package,
each the same bytes as release/notices/ keeps it. The bill of materials is
valid for the CycloneDX project's library (which calls a corrupted copy
invalid), is the same beside the zip as inside it, and gives the SHA-256 of
the program in the zip, of the images the build was given with their
versions, the vendor identifier, the supplier, manufacturer and author the
settings name, the sources' time (SOURCE_DATE_EPOCH) and commit, a purl for
the program and a distinct one for each library, with the Debian release,
each linked component's version as dpkg reports it with one licence
expression, and the dependencies the link map's cross references show;
packaged with another time, its serial number changes. A link map with one
more library or member that the notices do not cover is refused, and so are a
map without cross references (LLD's) and a package version whose notices were
not reviewed.
placeholders: a build with the placeholder firmware, vendor identifier and
maker is named as such when configured and refused by the packaging unless
it is a test release, and so is one with images but not their versions; one
with other images, versions, identifier and maker is neither, is refused
unsigned unless --unsigned says so, and refused without its sources' commit
and time.
signed: a throwaway CA issues a code-signing certificate, and the program is
packaged signed in each way there is: with the key in a SoftHSM2 token
(PKCS#11), with a PKCS#12 file, and signed by osslsigncode outside the
packaging and taken back. Each signature verifies against the CA, and no
longer once a byte of the program changes; SHA256SUMS and the bill of
materials give the signed program's SHA-256, and the bill the unsigned one's
as its ancestor. A copy taken back unsigned, with a byte changed outside its
signature and signed again, or with its signature broken is refused, saying
why. The program signed in the token runs under Wine with no Kalvo present,
alone (the end-to-end runner, whose arguments follow "--") and started by
the package's launcher.
Exit status 0 when the check passed.
"""
import argparse
import dataclasses
import hashlib
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import time
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# The launcher's check, shared with the hosted CI's Windows job.
sys.dont_write_bytecode = True
sys.path.insert(0, str(ROOT / "e2e"))
import first_steps  # noqa: E402
PACKAGE = ROOT / "release" / "package.py"
RELEASE = ROOT / "scripts" / "release.sh"
PROGRAM = "kalvo-update.exe"
NOTICES = "Third-party notices.txt"
NOTICES_FOLDER = "Third-party notices"
SUMS = "SHA256SUMS"
LINK_MAP = "kalvo-update.map"
# The CycloneDX project's library, as scripts/install-deps.sh installs it.
VALIDATE = ["node", ROOT / "release" / "cyclonedx" / "validate.cjs"]
# The sources' time the contents check packages with (SOURCE_DATE_EPOCH).
SOURCE_DATE = 1700000000
PLACEHOLDER_VENDOR_ID = 0x3A7C
SIGNING_PASSWORD = "throwaway"
TOKEN, TOKEN_PIN, TOKEN_KEY = "kalvo-update-test", "1234", "signing-key"
# The throwaway CA and the certificate it issues for code signing.
CERTIFICATES = """[req]
distinguished_name = name
[name]
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign
[signer]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
"""


class Failed(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise Failed(what)


def run(command, env=None, check=True):
    result = subprocess.run([str(x) for x in command], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    if check and result.returncode != 0:
        raise Failed(f"{' '.join(map(str, command))} ended with status {result.returncode}:\n"
                     f"{result.stdout}")
    return result


def unsigned_environment():
    return {k: v for k, v in os.environ.items() if not k.startswith("KALVO_SIGN_")}


def read_facts(build):
    return dict(line.split("=", 1) for line in (build / "kalvo-release.txt").read_text()
                .splitlines() if "=" in line)


def is_test_build(build):
    return read_facts(build)["test_release"] == "1"


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    path.mkdir(parents=True)
    return path


def only_zip(folder):
    zips = sorted(folder.glob("*.zip"))
    expect(len(zips) == 1, f"{folder} holds {len(zips)} zip files, not one")
    return zips[0]


def reproducible(args):
    build = Path(args.windows_build)
    work = fresh(Path(args.work))
    kind = ["--test-release"] if is_test_build(build) else ["--unsigned"]
    env = unsigned_environment()
    packaged = run([sys.executable, PACKAGE, "--build", build, "--out", work / "here"] + kind,
                   env=env)
    expect("NOT SIGNED" in packaged.stdout, "an unsigned package does not say so")

    # Another folder, at another depth, with another name.
    elsewhere = work / "elsewhere" / "release build"
    env.update(KALVO_RELEASE_BUILD=str(elsewhere / "build"), KALVO_DIST=str(elsewhere / "dist"))
    run(["bash", RELEASE] + kind + [f"-DKALVO_VENDOR_ID={args.vendor}",
        f"-DKALVO_FPGA_IMAGE={args.fpga}", f"-DKALVO_MCU_IMAGE={args.mcu}"]
        + [f"-D{x}" for x in args.setting], env=env)

    here, there = build / PROGRAM, elsewhere / "build" / PROGRAM
    expect(here.read_bytes() == there.read_bytes(), f"{here} and {there} differ")
    here, there = only_zip(work / "here"), only_zip(elsewhere / "dist")
    expect(here.name == there.name, f"the packages are named {here.name} and {there.name}")
    expect(here.read_bytes() == there.read_bytes(), f"{here} and {there} differ")
    print(f"{PROGRAM} and {here.name} are the same bytes from both builds")


def unpack(zip_path, into):
    """The package's files by name, and its folder once extracted into `into`."""
    with zipfile.ZipFile(zip_path) as archive:
        names = archive.namelist()
        folder = names[0].split("/")[0]
        expect(all(n.startswith(folder + "/") for n in names), f"{zip_path} is not one folder")
        archive.extractall(into)
    return {n.split("/", 1)[1]: (into / n).read_bytes() for n in names}, into / folder


def only_bom(files):
    boms = [n for n in files if n.endswith(".cdx.json")]
    expect(len(boms) == 1, f"the package holds {len(boms)} bills of materials, not one")
    return boms[0], json.loads(files[boms[0]])


def property_of(entry, name):
    return {p["name"]: p["value"] for p in entry.get("properties", [])}.get(f"kalvo:{name}")


def dpkg_version(package):
    return run(["dpkg-query", "-W", "-f", "${Version}", package]).stdout


def package_build(build, out, kind, **env):
    environment = unsigned_environment()
    environment.update(env)
    run([sys.executable, PACKAGE, "--build", build, "--out", out] + kind, env=environment)
    return only_zip(out)


def contents(args):
    build = Path(args.windows_build)
    work = fresh(Path(args.work))
    kind = ["--test-release"] if is_test_build(build) else ["--unsigned"]
    package = package_build(build, work / "dist", kind, SOURCE_DATE_EPOCH=str(SOURCE_DATE))
    files, _ = unpack(package, work / "unpacked")
    bom_name, bom = only_bom(files)
    notice_files = sorted(n for n in files if n.startswith(f"{NOTICES_FOLDER}/"))
    expect(sorted(files) == sorted([PROGRAM, first_steps.LAUNCHER, "User guide.txt", NOTICES,
                                    bom_name, SUMS] + notice_files),
           f"the package holds {sorted(files)}")
    sums = files[SUMS].decode()
    for name, data in files.items():
        expect(name == SUMS or f"{hashlib.sha256(data).hexdigest()}  {name}\r\n" in sums,
               f"{SUMS} does not give the SHA-256 of {name}")
    beside = work / "dist" / bom_name
    expect(beside.is_file() and beside.read_bytes() == files[bom_name],
           f"{beside} is not the bill of materials in the package")
    # The validator, and that it finds a fault: a component of no CycloneDX type.
    corrupted = work / "corrupted.cdx.json"
    corrupted.write_text(json.dumps({**bom, "components": [
        {**bom["components"][0], "type": "gadget"}] + bom["components"][1:]}))
    for document, valid in ((beside, True), (corrupted, False)):
        checked = run(VALIDATE + [document], check=False)
        expect((checked.returncode == 0) == valid, f"the CycloneDX library calls {document} "
               f"{'in' if checked.returncode else ''}valid:\n{checked.stdout}")

    map_text = (build / LINK_MAP).read_text()
    settings = dict(x.split("=", 1) for x in args.setting)
    check_bill(args, build, bom, files[PROGRAM], settings, map_text)
    archives = check_notices(files, map_text, bom)

    # Another time of the sources: another bill, another serial number.
    again = package_build(build, work / "again", kind, SOURCE_DATE_EPOCH=str(SOURCE_DATE + 1))
    other_bom = only_bom(unpack(again, work / "again-unpacked")[0])[1]
    expect(other_bom["metadata"]["component"]["hashes"] == bom["metadata"]["component"]["hashes"]
           and other_bom["serialNumber"] != bom["serialNumber"],
           "two bills of materials of one program share a serial number, or differ in its "
           f"hash: {bom['serialNumber']}, {other_bom['serialNumber']}")
    check_refusals(build, work, kind, map_text)
    print(f"{package.name}: {NOTICES} names {len(archives)} toolchain libraries and "
          f"{len(notice_files)} notices; {bom_name} is valid CycloneDX with the package's "
          "hashes, makers and dependencies; what the notices do not cover is refused")


def check_bill(args, build, bom, program_bytes, settings, map_text):
    metadata, program = bom["metadata"], bom["metadata"]["component"]
    expect(program["hashes"] == [{"alg": "SHA-256",
                                  "content": hashlib.sha256(program_bytes).hexdigest()}],
           f"the bill of materials gives the program as {program['hashes']}")
    vendor = int(args.vendor, 16)
    expect(property_of(program, "usb-vendor-id") == f"0x{vendor:04X}" and
           property_of(program, "usb-vendor-id-placeholder") ==
           str(vendor == PLACEHOLDER_VENDOR_ID).lower(),
           f"the bill of materials gives the vendor identifier as {program['properties']}")
    # Who made it, when, from which commit.
    maker = {"name": settings["KALVO_MANUFACTURER"]}
    supplier = {"name": settings["KALVO_SUPPLIER"] or maker["name"]}
    commit = run(["git", "-C", ROOT, "rev-parse", "HEAD"], check=False).stdout.strip() \
        if (ROOT / ".git").exists() else settings["KALVO_SOURCE_COMMIT"]
    for what, found, wanted in (
            ("supplier", (metadata.get("supplier"), program.get("supplier")), (supplier,) * 2),
            ("manufacturer", (metadata.get("manufacturer"), program.get("manufacturer")),
             (maker,) * 2),
            ("author", metadata.get("authors"), [maker]),
            ("time", metadata.get("timestamp"), time.strftime(
                "%Y-%m-%dT%H:%M:%SZ", time.gmtime(SOURCE_DATE))),
            ("program's purl", program.get("purl"), f"pkg:generic/kalvo-update@{program['version']}"),
            ("source commit", property_of(program, "source-commit"), commit or None),
            ("tool that wrote it", [t["name"] for t in metadata["tools"]["components"]],
             ["kalvo-update packaging"])):
        expect(found == wanted, f"the bill of materials gives the {what} as {found!r}, not "
               f"{wanted!r}")

    facts = read_facts(build)
    components = {c["bom-ref"]: c for c in bom["components"]}
    for kind_name, image in (("fpga", Path(args.fpga)), ("mcu", Path(args.mcu))):
        entry = components.get(f"{kind_name}-image", {})
        data = image.read_bytes()
        placeholder = data == (ROOT / "images" / f"{kind_name}.bin").read_bytes()
        expect(entry.get("name") == image.name and
               entry.get("version") == facts[f"{kind_name}_version"] and
               entry.get("hashes") == [{"alg": "SHA-256",
                                        "content": hashlib.sha256(data).hexdigest()}] and
               property_of(entry, "size") == str(len(data)) and
               property_of(entry, "placeholder") == str(placeholder).lower(),
               f"the bill of materials gives {image} as {entry}")

    libraries = [c for c in bom["components"] if c["type"] == "library"]
    distro = "debian-" + platform.freedesktop_os_release()["VERSION_ID"]
    expect(len({c["purl"] for c in libraries}) == len(libraries) and
           all(f"distro={distro}" in c["purl"] for c in libraries),
           f"the libraries' purls are not distinct, or lack distro={distro}: "
           f"{[c['purl'] for c in libraries]}")
    for library in libraries:
        package_name = property_of(library, "debian-package")
        expect(library["version"] == dpkg_version(package_name) and
               len(library.get("licenses", [])) == 1 and "expression" in library["licenses"][0],
               f"the bill of materials gives {library['name']} as {library}")

    # Who uses whom, read here from the map's cross references: the program's
    # own objects lie in the build folder, the toolchain's files are named by
    # each library's linked files.
    owner = {f: c["bom-ref"] for c in libraries for f in property_of(c, "linked-files").split()}

    def component_of(path):
        return owner[Path(re.sub(r"\(.*\)$", "", path)).name] if path.startswith("/") \
            else "kalvo-update"

    uses = {ref: set() for ref in ["kalvo-update"] + list(components)}
    uses["kalvo-update"] |= {c for c in components if c.endswith("-image")}
    uses["kalvo-update"] |= {component_of(p) for p in re.findall(r"^LOAD (/\S+\.o)$", map_text,
                                                                   re.M)}
    definer = None
    for line in map_text.split("Cross Reference Table", 1)[1].splitlines()[3:]:
        if line[:1].strip():
            definer = component_of(line.split(None, 1)[1].strip()) if " " in line else None
        elif line.strip() and definer not in (None, "kalvo-update"):
            user = component_of(line.strip())
            if user != definer:
                uses[user].add(definer)
    found = {d["ref"]: set(d["dependsOn"]) for d in bom["dependencies"]}
    expect(found == uses, f"the bill of materials gives the dependencies as {found}, the "
           f"link map as {uses}")


def check_notices(files, map_text, bom):
    """Every toolchain archive and the number of members the link drew from it named, each
    notice the index names in the package as release/notices/ keeps it, and none other;
    returns the archives."""
    archives = {}
    for path, member in set(re.findall(r"^(/\S+\.a)\((.+?)\)", map_text, re.M)):
        archives[Path(path).name] = archives.get(Path(path).name, 0) + 1
    index = files[NOTICES].decode().replace("\r\n", "\n")
    for archive, members in sorted(archives.items()):
        expect(re.search(rf"\b{re.escape(archive)}\s+\({members}\s+members?\)", index),
               f"the notices do not name {archive} with its {members} members")
    for library in (c for c in bom["components"] if c["type"] == "library"):
        expect(f"\n  {library['name']:<14} {library['licenses'][0]['expression']}\n" in index,
               f"the notices do not give {library['name']} the licence of the bill of materials")
    named = set(re.findall(rf"^ +(?:notices: +)?({re.escape(NOTICES_FOLDER)}/.+)$", index, re.M))
    shipped = {n for n in files if n.startswith(f"{NOTICES_FOLDER}/")}
    expect(named == shipped, f"the notices name {sorted(named)}, the package holds "
           f"{sorted(shipped)}")
    for name in shipped:
        kept = ROOT / "release" / "notices" / name.split("/", 1)[1]
        expect(kept.is_file() and kept.read_bytes() == files[name],
               f"{name} is not {kept} unchanged")
    for name, file, text in (("libstdc++", "/COPYING.RUNTIME", "GCC RUNTIME LIBRARY EXCEPTION"),
                             ("winpthreads", "/winpthreads/COPYING", "Lockless Inc.")):
        expect(f"\n{name}: " in index and any(n.endswith(file) and text in files[n].decode()
                                               for n in shipped),
               f"the notices lack {name} or its text {text!r}")
    return archives


def check_refusals(build, work, kind, map_text):
    """One more input in the link that the notices do not cover: a toolchain library no
    component claims, one that no package installed, a library that CMake's FetchContent
    built into the build folder, a member of a reviewed library whose source was not read;
    a map without cross references, as LLD writes; and a package version whose notices
    were not reviewed."""
    one_more = fresh(work / "one-more")
    for name in ("kalvo-release.txt", PROGRAM):
        shutil.copyfile(build / name, one_more / name)
    toolchain = Path(re.search(r"^(/\S+)/libstdc\+\+\.a\(", map_text, re.M).group(1))
    mingwex = re.search(r"^(/\S+/libmingwex\.a)\(", map_text, re.M).group(1)
    header = "Archive member included to satisfy reference by file (symbol)\n"
    for member, named in ((f"{toolchain}/libquadmath.a(extra.o)", f"{toolchain}/libquadmath.a ("),
                          (f"{work}/libextra.a(extra.o)", f"{work}/libextra.a ("),
                          ("_deps/zlib-build/libzlibstatic.a(deflate.c.obj)",
                           "_deps/zlib-build/libzlibstatic.a(deflate.c.obj): in the build folder"),
                          (f"{mingwex}(lib64_libmingwex_a-getopt.o)",
                           "libmingwex.a(lib64_libmingwex_a-getopt.o): a part of mingw-w64-crt")):
        (one_more / LINK_MAP).write_text(map_text.replace(
            header, f"{header}\n{member}\n{' ' * 30}main.o (extra)\n"))
        refused = run([sys.executable, PACKAGE, "--build", one_more, "--out",
                       work / "refused"] + kind, check=False)
        expect(refused.returncode == 1 and named in refused.stdout and
               "do not cover" in refused.stdout, f"a link with {member} in it was packaged:"
               f"\n{refused.stdout}")
    # A map without the cross reference table, as LLD writes one (clang's toolchain).
    (one_more / LINK_MAP).write_text(map_text[:map_text.index("Cross Reference Table")])
    refused = run([sys.executable, PACKAGE, "--build", one_more, "--out", work / "refused"]
                  + kind, check=False)
    expect(refused.returncode == 1 and "a release is linked by GNU ld" in refused.stdout,
           f"a link map without cross references was packaged:\n{refused.stdout}")
    expect(not list(work.glob("refused/*")), "a refused package left files behind")

    sys.path.insert(0, str(ROOT / "release"))
    import reviewed
    import third_party
    crt = next(c for c in reviewed.COMPONENTS if c.name == "mingw-w64-crt")
    installed = dpkg_version(crt.releases[0].package)
    reviewed.COMPONENTS = tuple(dataclasses.replace(c, releases=tuple(
        r for r in c.releases if r.version != installed)) if c is crt else c
        for c in reviewed.COMPONENTS)
    try:
        third_party.link_components(build / LINK_MAP, build.resolve(), read_facts(build))
        expect(False, f"mingw-w64-crt {installed}, its notices not reviewed, was accepted")
    except third_party.Uncovered as refusal:
        expect(f"mingw-w64-crt comes from {crt.releases[0].package} {installed}, whose notices "
               "were not reviewed" in str(refusal), f"the refusal does not name mingw-w64-crt "
               f"{installed}:\n{refusal}")


def configure(work, name, generator, settings):
    folder = work / name
    result = run(["cmake", "-S", ROOT, "-B", folder, "-G", generator, "-DKALVO_TESTS=OFF"]
                 + settings)
    # CMake wraps its warnings: compare with the white space folded.
    return folder, " ".join(result.stdout.split())


def placeholders(args):
    work = fresh(Path(args.work))
    build, log = configure(work, "placeholders", args.generator, [])
    for what in (f"The FPGA image {ROOT}/images/fpga.bin", f"The MCU image {ROOT}/images/mcu.bin",
                 "KALVO_VENDOR_ID 0x3A7C", 'KALVO_MANUFACTURER "Example Maker (placeholder)"',
                 'The supplier "Example Maker (placeholder)"'):
        expect(f"{what} is the placeholder" in log,
               f"configuring with the placeholders does not say that {what} is one:\n{log}")
    refused = run([sys.executable, PACKAGE, "--build", build, "--out", work / "dist"], check=False)
    expect(refused.returncode == 1, f"packaging the placeholders ended with status "
           f"{refused.returncode}:\n{refused.stdout}")
    expect("placeholder FPGA image, MCU image, vendor identifier, manufacturer, supplier"
           in refused.stdout,
           f"the refusal does not name the placeholders:\n{refused.stdout}")
    expect(not list(work.glob("dist/*")), "a refused package left files behind")

    fpga, mcu = work / "fpga.bin", work / "mcu.bin"
    fpga.write_bytes(b"kalvo" * 1000)
    mcu.write_bytes(b"m" * 4096)
    # The sources' commit and time given, so that the rows below reach what
    # they are about in a tree without .git too (a hosted checkout, a clean
    # room); a git checkout's own commit wins.
    other = ["-DKALVO_VENDOR_ID=0x1234", f"-DKALVO_FPGA_IMAGE={fpga}", f"-DKALVO_MCU_IMAGE={mcu}",
             "-DKALVO_MANUFACTURER=Test Maker", f"-DKALVO_SOURCE_COMMIT={'0' * 40}"]
    dated = unsigned_environment() | {"SOURCE_DATE_EPOCH": str(SOURCE_DATE)}
    # Real images need their versions for the bill of materials.
    build, log = configure(work, "other", args.generator, other)
    refused = run([sys.executable, PACKAGE, "--build", build, "--out", work / "dist"], check=False)
    expect(f"The FPGA image {fpga} has no version" in log and refused.returncode == 1 and
           "placeholder FPGA image version, MCU image version." in refused.stdout,
           f"images without versions are not named:\n{log}\n{refused.stdout}")
    build, log = configure(work, "other", args.generator, other + [
        "-DKALVO_FPGA_VERSION=1.2.3", "-DKALVO_MCU_VERSION=4.5.6"])
    expect("is the placeholder" not in log and "has no version" not in log,
           f"other images, versions, identifier and maker called placeholders:\n{log}")
    # Refused as a test release, and unsigned unless on purpose (then on to
    # the program, which this configured build lacks).
    for options, said in ((["--test-release"], ["does not call itself one"]),
                          ([], ["without a signature", "--unsigned", "--signed-program FILE"]),
                          (["--unsigned"], ["is missing"])):
        refused = run([sys.executable, PACKAGE, "--build", build, "--out", work / "dist"]
                      + options, env=dated, check=False)
        expect(refused.returncode == 1 and all(x in refused.stdout for x in said),
               f"packaging a build that is no test release with {options} does not say "
               f"{said}:\n{refused.stdout}")
    # A release gives its sources' commit and time: packaged from a tree that
    # cannot tell them, it is refused.
    bare = work / "bare" / "release"
    shutil.copytree(ROOT / "release", bare, ignore=shutil.ignore_patterns("cyclonedx", "notices"))
    refused = run([sys.executable, bare / "package.py", "--build", build, "--out",
                   work / "dist", "--unsigned"],
                  env=unsigned_environment() | {"SOURCE_DATE_EPOCH": ""}, check=False)
    expect(refused.returncode == 1 and "time cannot be told" in refused.stdout,
           f"a release of unknown sources was not refused:\n{refused.stdout}")
    print("placeholders named at configure time and refused unless a test release; "
          "a release refused unsigned unless --unsigned")


def throwaway_signer(work):
    """A throwaway CA and the code-signing certificate and key it issued."""
    conf, csr = work / "certificates.cnf", work / "signer.csr"
    ca, ca_key, cert, key = (work / n for n in ("ca.pem", "ca.key", "cert.pem", "key.pem"))
    conf.write_text(CERTIFICATES)
    run(["openssl", "req", "-x509", "-config", conf, "-extensions", "ca", "-newkey", "rsa:2048",
         "-nodes", "-days", "1", "-subj", "/CN=kalvo-update throwaway test CA", "-keyout", ca_key,
         "-out", ca])
    run(["openssl", "req", "-new", "-config", conf, "-newkey", "rsa:2048", "-nodes",
         "-subj", "/CN=kalvo-update throwaway test signer", "-keyout", key, "-out", csr])
    run(["openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-set_serial", "2",
         "-days", "1", "-extfile", conf, "-extensions", "signer", "-out", cert])
    return ca, cert, key


def softhsm_token(work, key):
    """The settings that sign with `key` once imported into a new SoftHSM2
    token, whose files are kept in `work`."""
    tokens = fresh(work / "tokens")
    (work / "softhsm2.conf").write_text(f"directories.tokendir = {tokens}\n")
    env = {**unsigned_environment(), "SOFTHSM2_CONF": str(work / "softhsm2.conf")}
    run(["softhsm2-util", "--init-token", "--free", "--label", TOKEN, "--pin", TOKEN_PIN,
         "--so-pin", TOKEN_PIN], env=env)
    run(["softhsm2-util", "--import", key, "--token", TOKEN, "--label", TOKEN_KEY, "--id", "01",
         "--pin", TOKEN_PIN], env=env)
    module = next(f for f in run(["dpkg-query", "-L", "libsofthsm2"]).stdout.split()
                  if f.endswith("/libsofthsm2.so"))
    return {"SOFTHSM2_CONF": env["SOFTHSM2_CONF"], "KALVO_SIGN_PKCS11_MODULE": module,
            "KALVO_SIGN_PKCS11_KEY": f"pkcs11:token={TOKEN};object={TOKEN_KEY};type=private",
            "KALVO_SIGN_PASSWORD": TOKEN_PIN}


def flipped(data, at):
    changed = bytearray(data)
    changed[at] ^= 0x01
    return bytes(changed)


def signature_end(data):
    """Where the certificate table ends (the PE32+ security directory)."""
    optional = int.from_bytes(data[0x3C:0x40], "little") + 24
    table, size = (int.from_bytes(data[optional + 144 + i:optional + 148 + i], "little")
                   for i in (0, 4))
    return table + size


def signed(args):
    build = Path(args.windows_build)
    work = fresh(Path(args.work))
    ca, cert, key = throwaway_signer(work)
    pfx = work / "cert.pfx"
    run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pfx,
         "-passout", f"pass:{SIGNING_PASSWORD}"])
    built = (build / PROGRAM).read_bytes()

    def signed_outside(name, program):
        """`program` signed by osslsigncode, not by the packaging."""
        (work / f"{name} unsigned.exe").write_bytes(program)
        run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256",
             "-in", work / f"{name} unsigned.exe", "-out", work / f"{name}.exe"])
        return work / f"{name}.exe"

    elsewhere = signed_outside("signed elsewhere", built)
    token = softhsm_token(work, key)
    token["KALVO_SIGN_CERTS"] = str(cert)
    kind = ["--test-release"] if is_test_build(build) else []

    # Each way of signing: the settings, the options, what the packaging says.
    ways = {"token": (token, [], "Signed with the key pkcs11:"),
            "pkcs12": ({"KALVO_SIGN_PFX": str(pfx), "KALVO_SIGN_PASSWORD": SIGNING_PASSWORD},
                       [], f"Signed with {pfx}"),
            "elsewhere": ({"KALVO_SIGN_CA": str(ca)}, ["--signed-program", elsewhere],
                          "Signed elsewhere")}
    packaged = {}
    for way, (settings, options, said) in ways.items():
        env = {**unsigned_environment(), **settings}
        result = run([sys.executable, PACKAGE, "--build", build, "--out", work / way / "dist"]
                     + kind + options, env=env)
        expect(said in result.stdout, f"signed by {way}, the package does not say "
               f"{said!r}:\n{result.stdout}")
        files, folder = unpack(only_zip(work / way / "dist"), work / way / "unpacked")
        program = files[PROGRAM]
        expect(f"{hashlib.sha256(program).hexdigest()}  {PROGRAM}" in files[SUMS].decode(),
               f"signed by {way}, SHA256SUMS does not list the signed program")
        program_entry = only_bom(files)[1]["metadata"]["component"]
        expect(program_entry["hashes"][0]["content"] == hashlib.sha256(program).hexdigest(),
               f"signed by {way}, the bill of materials does not give the signed program's "
               "SHA-256")
        # The unsigned program, the same bytes from any build, is the signed
        # one's ancestor.
        expect([x["hashes"][0]["content"] for x in program_entry.get("pedigree", {})
                .get("ancestors", [])] == [hashlib.sha256(built).hexdigest()],
               f"signed by {way}, the bill of materials does not give the unsigned program's "
               "SHA-256")
        exe = work / way / "run" / PROGRAM
        exe.parent.mkdir()
        exe.write_bytes(program)
        run(["osslsigncode", "verify", "-CAfile", ca, "-in", exe])
        # The middle of the program: the built-in firmware images.
        broken = work / way / "tampered.exe"
        broken.write_bytes(flipped(program, len(program) // 2))
        result = run(["osslsigncode", "verify", "-CAfile", ca, "-in", broken], check=False)
        expect(result.returncode != 0, f"signed by {way}, osslsigncode accepts the signature "
               "of a changed program")
        packaged[way] = exe, folder

    # Copies brought back that are refused, and what the refusal says: the
    # program unsigned; with a byte changed outside the signature, validly
    # signed (which only the comparison with the build can tell); with a
    # byte of its signature changed.
    data = elsewhere.read_bytes()
    (work / "badly signed.exe").write_bytes(flipped(data, signature_end(data) - 64))
    copies = {build / PROGRAM: "carries no signature",
              signed_outside("changed", flipped(built, len(built) // 2)):
              f"1 byte differs, the first at file offset 0x{len(built) // 2:x} (section ",
              work / "badly signed.exe": "does not verify"}
    for brought, said in copies.items():
        refused = run([sys.executable, PACKAGE, "--build", build, "--out", work / "refused"]
                      + kind + ["--signed-program", brought],
                      env={**unsigned_environment(), "KALVO_SIGN_CA": str(ca)}, check=False)
        expect(refused.returncode == 1 and said in refused.stdout,
               f"{brought} was not refused with {said!r}:\n{refused.stdout}")
    expect(not list(work.glob("refused/*")), "a refused package left files behind")

    exe, folder = packaged["token"]
    run([sys.executable] + args.runner + ["--exe", exe])
    # As a user starts it: the launcher in the unpacked package, a key for its
    # pause, Wine's own hid.dll and setupapi.dll; the Windows CI job runs the
    # same check on Windows.
    start = first_steps.Starter(runner_option(args, "--wine"), runner_option(args, "--plain-prefix"))
    failures, _ = first_steps.launched(folder, start)
    expect(not failures, "; ".join(failures))
    print("signed with a key in a token, a PKCS#12 file and elsewhere, each verified; copies "
          "brought back unsigned, changed or badly signed refused; the program signed in the "
          "token run under Wine with no Kalvo present, alone and by the launcher")


# What a row that packages the Windows build returns when the toolchain installed here was
# not reviewed: ctest counts it skipped (SKIP_RETURN_CODE in tests/CMakeLists.txt).
SKIPPED = 77


def unreviewed_toolchain(build):
    """The packaging's refusals of the Windows build's link, when every one is of a package
    version whose notices were not reviewed (a newer Debian's toolchain); else none."""
    if not (build / LINK_MAP).is_file():
        return []
    sys.path.insert(0, str(ROOT / "release"))
    import third_party
    try:
        third_party.link_components(build / LINK_MAP, build.resolve(), read_facts(build))
    except third_party.Uncovered as refusal:
        problems = str(refusal).splitlines()[1:]
        if problems and all("whose notices were not reviewed" in p for p in problems):
            return problems
    return []


def runner_option(args, name):
    return args.runner[args.runner.index(name) + 1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    for command in ("reproducible", "contents"):
        check = commands.add_parser(command)
        for option in ("--windows-build", "--work", "--vendor", "--fpga", "--mcu"):
            check.add_argument(option, required=True)
        # The Windows build's other settings, NAME=VALUE.
        check.add_argument("--setting", action="append", default=[])
    check = commands.add_parser("placeholders")
    check.add_argument("--work", required=True)
    check.add_argument("--generator", required=True)
    check = commands.add_parser("signed")
    check.add_argument("--windows-build", required=True)
    check.add_argument("--work", required=True)
    check.add_argument("runner", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    if args.command == "signed":
        args.runner = [x for x in args.runner if x != "--"]
    if args.command != "placeholders":
        unreviewed = unreviewed_toolchain(Path(args.windows_build))
        if unreviewed:
            print("SKIPPED: the packaging refuses to package what this toolchain links, as it "
                  "must until its notices are reviewed (release/notices/README.md says how):\n"
                  + "\n".join(unreviewed))
            return SKIPPED
    try:
        {"reproducible": reproducible, "contents": contents, "placeholders": placeholders,
         "signed": signed}[args.command](args)
    except Failed as failure:
        print(f"FAILED: {failure}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
