"""Authenticode for the release's program: signed here with a key that
stays in a PKCS#11 token, or with a PKCS#12 file (what test certificates
come as), or signed on another machine and taken back.

Here, through the environment (osslsigncode signs, SHA-256):
  KALVO_SIGN_PKCS11_MODULE  the token's PKCS#11 module: a smart card's or
                            USB token's, a network HSM's, a signing service's
  KALVO_SIGN_PKCS11_KEY     the key's PKCS#11 URI (pkcs11:token=...;object=...)
  KALVO_SIGN_CERTS          the certificate chain (PEM), the signing certificate
                            first, then the intermediates
or
  KALVO_SIGN_PFX            a PKCS#12 file with the certificate and its key
and, with either,
  KALVO_SIGN_PASSWORD       the token's PIN, or the PKCS#12 file's password,
                            handed to osslsigncode on its input
  KALVO_SIGN_TIMESTAMP_URL  optional: an RFC 3161 time-stamp server.

Elsewhere (where the key is on a machine or service this one cannot reach):
--unsigned packages the program unsigned and says what to sign;
--signed-program FILE takes the signed program back. FILE must be the
program built here, byte for byte, once its signature is taken off (the
certificate table at the end, the zero bytes that align it, and the two
header fields a signing tool rewrites: the table's directory entry and the
checksum), and its signature must verify (osslsigncode verify, against
KALVO_SIGN_CA when given, a PEM file of root certificates, else
osslsigncode's default, the system's).

A release that is not a test release goes out only signed, or unsigned
when --unsigned says so; a test release is unsigned unless a key is given.
"""
import hashlib
import os
import struct
import subprocess
import tempfile
from pathlib import Path

PKCS11 = ("KALVO_SIGN_PKCS11_MODULE", "KALVO_SIGN_PKCS11_KEY", "KALVO_SIGN_CERTS")
PFX = "KALVO_SIGN_PFX"
TOOL = "osslsigncode"
# Where a PE32+ file keeps what a signing tool changes: the optional
# header's checksum, and the security directory (the fifth data directory:
# the certificate table's file offset and size).
PE_OFFSET = 0x3C
CHECKSUM = 64
SECURITY_DIRECTORY = 112 + 4 * 8
# The certificate table starts on an 8-byte boundary.
TABLE_ALIGNMENT = 8


class Refused(Exception):
    pass


class Signed:
    """The program as packaged: its bytes, what was done (`note`), the tool
    that signed it here (None when none did) and the program's bytes as
    built, before any signature."""

    def __init__(self, program, note, tool, built):
        self.program, self.note, self.tool, self.built = program, note, tool, built


def way(test_release, unsigned, signed_program):
    """How the program will be signed: "pkcs11", "pfx", "elsewhere",
    "unsigned" (on purpose) or "test" (a test release, no key given).
    Refuses, before anything goes into a package, a release that would go
    out unsigned by mistake, and a key half given."""
    if signed_program:
        return "elsewhere"
    if unsigned:
        return "unsigned"
    given = [name for name in PKCS11 if os.environ.get(name)]
    if given and len(given) < len(PKCS11):
        raise Refused("Refusing to sign with a PKCS#11 token: "
                      + ", ".join(n for n in PKCS11 if n not in given) + " not given.")
    if given and os.environ.get(PFX):
        raise Refused(f"Refusing to sign: both a PKCS#11 token ({', '.join(PKCS11)}) and "
                      f"{PFX} are given; give one.")
    if given:
        return "pkcs11"
    if os.environ.get(PFX):
        return "pfx"
    if test_release:
        return "test"
    raise Refused(
        "Refusing to package a release without a signature: Windows would warn its users "
        "that the publisher is unknown. Sign it here with the key in its token "
        f"({', '.join(PKCS11)}, and KALVO_SIGN_PASSWORD for the PIN), or give --unsigned, "
        "sign the program where the key is, and bring it back with --signed-program FILE "
        "(scripts/release.sh takes both).")


def sign(program, how, signed_program=None):
    """The program to package, signed as `how` (way()) says."""
    built = program.read_bytes()
    if how == "elsewhere":
        return Signed(taken_back(built, program, Path(signed_program)), f"Signed elsewhere: "
                      f"{signed_program} is {program} with a valid signature.", None, built)
    if how == "test":
        return Signed(built, "NOT SIGNED: no code-signing key given; Windows will warn that "
                      "the publisher is unknown.", None, built)
    if how == "unsigned":
        return Signed(built, (
            f"NOT SIGNED (--unsigned). Sign {program} (SHA-256 "
            f"{hashlib.sha256(built).hexdigest()}) where the key is, with Authenticode, "
            "SHA-256 and a time stamp, for example\n"
            "  signtool sign /fd SHA256 /tr TIME-STAMP-URL /td SHA256 /a kalvo-update.exe\n"
            "then package the signed copy: scripts/release.sh --signed-program FILE, with the "
            "same CMake arguments."), None, built)
    command = [TOOL, "sign"]
    if how == "pkcs11":
        # No -pkcs11engine: osslsigncode then loads OpenSSL's engine named
        # pkcs11 from OpenSSL's engines folder, where Debian's
        # libengine-pkcs11-openssl puts it. osslsigncode 2.5 cannot start
        # that engine when given its path (2.9 can).
        command += ["-pkcs11module", os.environ[PKCS11[0]], "-key", os.environ[PKCS11[1]],
                    "-certs", os.environ[PKCS11[2]]]
        key = f"the key {os.environ[PKCS11[1]]} of {os.environ[PKCS11[0]]}"
    else:
        command += ["-pkcs12", os.environ[PFX]]
        key = os.environ[PFX]
    # The PIN or password goes through a pipe, never the command line.
    # -readpass takes a file's name: "-" means standard input only from
    # osslsigncode 2.8 on (Debian 12 has 2.5), /dev/stdin with every version.
    password = os.environ.get("KALVO_SIGN_PASSWORD")
    if password is not None or how == "pfx":
        command += ["-readpass", "/dev/stdin"]
    command += ["-h", "sha256", "-n", "kalvo-update"]
    stamp = os.environ.get("KALVO_SIGN_TIMESTAMP_URL")
    if stamp:
        command += ["-ts", stamp]
    with tempfile.TemporaryDirectory() as work:
        signed = Path(work) / program.name
        command += ["-in", str(program), "-out", str(signed)]
        result = subprocess.run(command, input=(password or "").encode(),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if result.returncode != 0:
            raise Refused(f"{TOOL} could not sign the program:\n"
                          + result.stdout.decode(errors="replace"))
        data = signed.read_bytes()
    return Signed(data, f"Signed with {key}" + (f", time-stamped by {stamp}." if stamp else
                                                ", not time-stamped."), TOOL, built)


def signature_fields(data):
    """The file offsets of the checksum and of the security directory, and
    the certificate table's (offset, size), (0, 0) when there is none."""
    try:
        optional = struct.unpack_from("<I", data, PE_OFFSET)[0] + 24
        if data[optional - 24:optional - 20] != b"PE\0\0" or \
                struct.unpack_from("<H", data, optional)[0] != 0x20B:
            raise Refused("not a 64-bit Windows program")
        return (optional + CHECKSUM, optional + SECURITY_DIRECTORY,
                struct.unpack_from("<II", data, optional + SECURITY_DIRECTORY))
    except struct.error:
        raise Refused("not a Windows program")


def without_signature(data):
    """The program as it was before it was signed, with the checksum and the
    security directory entry zeroed in it, and the signature's (offset, size)."""
    checksum, directory, (table, size) = signature_fields(data)
    body = bytearray(data[:table] if size else data)
    body[checksum:checksum + 4] = bytes(4)
    body[directory:directory + 8] = bytes(8)
    return body, (table, size)


def where(data, offset):
    """Which part of the program a file offset lies in."""
    optional = struct.unpack_from("<I", data, PE_OFFSET)[0] + 24
    count = struct.unpack_from("<H", data, optional - 18)[0]
    optional_size = struct.unpack_from("<H", data, optional - 4)[0]
    for i in range(count):
        at = optional + optional_size + 40 * i
        raw_size, raw = struct.unpack_from("<II", data, at + 16)
        if raw <= offset < raw + raw_size:
            return "section " + data[at:at + 8].rstrip(b"\0").decode("ascii", "replace")
    return "the headers" if offset < optional + optional_size + 40 * count else \
        "no section"


def taken_back(built, program, brought):
    """The bytes of `brought`, refused unless they are the built program,
    byte for byte once the signature is taken off, with a signature that
    verifies."""
    try:
        data = brought.read_bytes()
        body, (table, size) = without_signature(data)
    except (OSError, Refused) as problem:
        raise Refused(f"Refusing {brought}: {problem}")
    if not size:
        raise Refused(f"Refusing {brought}: it carries no signature. Sign it, then bring it "
                      "back.")
    if table + size != len(data):
        raise Refused(f"Refusing {brought}: {len(data) - table - size} bytes follow its "
                      "signature.")
    expected, _ = without_signature(built)
    padding = body[len(expected):]
    if len(padding) < TABLE_ALIGNMENT and not padding.strip(b"\0"):
        body = body[:len(expected)]
    if body != expected:
        differing = [i for i, (a, b) in enumerate(zip(body, expected)) if a != b]
        said = []
        if differing:
            said.append(f"{len(differing)} byte{'s differ' if len(differing) > 1 else ' differs'}"
                        f", the first at file offset 0x{differing[0]:x} "
                        f"({where(built, differing[0])})")
        if len(body) != len(expected):
            said.append(f"it is {abs(len(body) - len(expected))} bytes "
                        f"{'longer' if len(body) > len(expected) else 'shorter'}")
        raise Refused(f"Refusing {brought}: it is not {program} apart from its signature: "
                      + "; ".join(said) + ".")
    with tempfile.TemporaryDirectory() as work:
        # The very bytes compared, whatever happens to the file meanwhile.
        copy = Path(work) / program.name
        copy.write_bytes(data)
        command = [TOOL, "verify", "-in", str(copy)]
        if os.environ.get("KALVO_SIGN_CA"):
            command[2:2] = ["-CAfile", os.environ["KALVO_SIGN_CA"]]
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode != 0:
        raise Refused(f"Refusing {brought}: its signature does not verify:\n"
                      + result.stdout.decode(errors="replace"))
    return data
