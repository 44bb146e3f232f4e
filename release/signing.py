"""Authenticode for the release's program: signed here with a key that
stays in a PKCS#11 token, or with a PKCS#12 file (what test certificates
come as), or signed on another machine and taken back.

Here, through the environment (osslsigncode signs, SHA-256):
  KALVO_SIGN_PKCS11_MODULE  the token's PKCS#11 module: a smart card's or
                            USB token's, a network HSM's, a signing service's
  KALVO_SIGN_PKCS11_KEY     the key's PKCS#11 URI (pkcs11:token=...;object=...)
  KALVO_SIGN_CERTS          the certificate chain (PEM), the signing certificate
                            first, then the intermediates
  KALVO_SIGN_PASSWORD       the token's PIN, handed to osslsigncode on its input
or
  KALVO_SIGN_PFX            a PKCS#12 file with the certificate and its key
  KALVO_SIGN_PASSWORD       its password (none: an empty one)
and, with either,
  KALVO_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server.

Elsewhere (where the key is on a machine or service this one cannot reach):
--unsigned packages the program unsigned and says what to sign;
--signed-program FILE takes the signed program back. FILE must be the
program built here, byte for byte, once its signature is taken off (the
certificate table at the end, the zero bytes that align it, and the two
header fields a signing tool rewrites: the table's directory entry and the
checksum), and its signature must verify (osslsigncode verify, against
KALVO_SIGN_CA when given, a PEM file of root certificates, else
osslsigncode's default, the system's).

The publisher's signature and no other: KALVO_SIGN_PUBLISHER is the SHA-256
fingerprint of the signing certificate (hex, with or without colons, as
openssl x509 -fingerprint -sha256 prints it). A release that is not a test
release needs it, and so goes out only with a signature whose signer is that
certificate, made with SHA-256, and counter-signed by an RFC 3161 time stamp
that verifies (against KALVO_SIGN_CA too when given), unless --no-timestamp
says that it goes out without one: without one, Windows stops trusting the
signature once the certificate expires. A test release is held to the same
when KALVO_SIGN_PUBLISHER is given, and takes any signature that verifies
when not.

Everything that can be told before the program is built is checked by
plan(): the settings complete, the files readable, the PIN given, the
signing certificate the publisher's. No tool run here can wait on a
terminal: each gets its input, and no controlling terminal.

A release that is not a test release goes out only signed, or unsigned
when --unsigned says so; a test release is unsigned unless a key is given.
"""
import hashlib
import os
import re
import struct
import subprocess
import tempfile
from pathlib import Path

import signature

PKCS11 = ("KALVO_SIGN_PKCS11_MODULE", "KALVO_SIGN_PKCS11_KEY", "KALVO_SIGN_CERTS")
PFX = "KALVO_SIGN_PFX"
PASSWORD = "KALVO_SIGN_PASSWORD"
PUBLISHER = "KALVO_SIGN_PUBLISHER"
CA = "KALVO_SIGN_CA"
STAMP_URL = "KALVO_SIGN_TIMESTAMP_URL"
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


class Plan:
    """How the program will be signed (`how`: "pkcs11", "pfx", "elsewhere",
    "unsigned" on purpose, or "test", a test release with no key given), the
    program brought back, the publisher's fingerprint (hex, or None), whether
    the signature is held to it (`strict`) and whether it may go without a
    time stamp."""

    def __init__(self, how, signed_program, publisher, strict, no_timestamp):
        self.how, self.signed_program, self.publisher = how, signed_program, publisher
        self.strict, self.no_timestamp = strict, no_timestamp


def run(command, data=b""):
    """A tool's result, its input given and no terminal to ask on."""
    return subprocess.run([str(x) for x in command], input=data, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, start_new_session=True)


def output_of(result):
    return result.stdout.decode(errors="replace").rstrip()


def readable(name, what):
    """The file a setting names, refused unless it can be read."""
    path = Path(os.environ[name])
    try:
        with path.open("rb"):
            pass
    except OSError as problem:
        raise Refused(f"Refusing to sign: {name} names {what} {path} that cannot be read "
                      f"({problem.strerror or problem}).")
    return path


def publisher_of(text):
    """The hex digits of a SHA-256 fingerprint, or None when it is not one."""
    digits = text.split("=")[-1].replace(":", "").strip().lower()
    return digits if re.fullmatch(r"[0-9a-f]{64}", digits) else None


def describe(certificate):
    """A certificate (DER) as a refusal names it: its subject and fingerprint."""
    subject = output_of(run(["openssl", "x509", "-inform", "DER", "-noout", "-subject",
                             "-nameopt", "RFC2253"], certificate)).removeprefix("subject=")
    return (f"{subject} " if subject else "") + \
        f"(SHA-256 {signature.fingerprint_text(hashlib.sha256(certificate).hexdigest())})"


def signing_certificate(how):
    """The certificate (DER) that signing here signs with: the first of
    KALVO_SIGN_CERTS, or the PKCS#12 file's own, opened with its password."""
    if how == "pkcs11":
        source = readable(PKCS11[2], "the certificate chain")
        result = run(["openssl", "x509", "-in", source, "-outform", "DER"])
        problem = f"{PKCS11[2]} {source} holds no certificate in PEM"
    else:
        source = readable(PFX, "the PKCS#12 file")
        password = os.environ.get(PASSWORD, "")
        opened = run(["openssl", "pkcs12", "-in", source, "-nokeys", "-clcerts",
                      "-passin", "stdin"], f"{password}\n".encode())
        result = run(["openssl", "x509", "-outform", "DER"], opened.stdout) \
            if opened.returncode == 0 else opened
        problem = f"{PFX} {source} cannot be opened with the password in {PASSWORD}"
    if result.returncode != 0 or not result.stdout:
        raise Refused(f"Refusing to sign: {problem}. What openssl said:\n{output_of(result)}")
    return result.stdout


def expected(plan):
    return f"the publisher's (SHA-256 {signature.fingerprint_text(plan.publisher)}, {PUBLISHER})"


def plan(test_release, unsigned, signed_program, no_timestamp=False):
    """How the program will be signed. Refuses, before anything is built, a
    release that would go out unsigned by mistake, a key half given or
    unreadable, a token without its PIN, and, where the signature is held to
    the publisher, a signing certificate that is not the publisher's and a
    signature here with no time stamp that was not declared."""
    given = [name for name in PKCS11 if os.environ.get(name)]
    if signed_program:
        how = "elsewhere"
    elif unsigned:
        how = "unsigned"
    elif given and len(given) < len(PKCS11):
        raise Refused("Refusing to sign with a PKCS#11 token: "
                      + ", ".join(n for n in PKCS11 if n not in given) + " not given.")
    elif given and os.environ.get(PFX):
        raise Refused(f"Refusing to sign: both a PKCS#11 token ({', '.join(PKCS11)}) and "
                      f"{PFX} are given; give one.")
    elif given:
        how = "pkcs11"
    elif os.environ.get(PFX):
        how = "pfx"
    elif test_release:
        how = "test"
    else:
        raise Refused(
            "Refusing to package a release without a signature: Windows would warn its users "
            "that the publisher is unknown. Sign it here with the key in its token "
            f"({', '.join(PKCS11)}, {PASSWORD} for the PIN and {PUBLISHER}), or give "
            "--unsigned, sign the program where the key is, and bring it back with "
            "--signed-program FILE (scripts/release.sh takes both).")

    publisher = None
    if os.environ.get(PUBLISHER):
        publisher = publisher_of(os.environ[PUBLISHER])
        if not publisher:
            raise Refused(f"Refusing to sign: {PUBLISHER} is {os.environ[PUBLISHER]!r}, not a "
                          "SHA-256 fingerprint (64 hexadecimal digits, as openssl x509 "
                          "-fingerprint -sha256 prints them).")
    signs = how in ("pkcs11", "pfx", "elsewhere")
    if signs and not publisher and not test_release:
        raise Refused(f"Refusing to sign a release without knowing its publisher: set "
                      f"{PUBLISHER} to the SHA-256 fingerprint of the signing certificate "
                      "(openssl x509 -fingerprint -sha256 -noout -in CERTIFICATE).")
    result = Plan(how, signed_program, publisher, signs and publisher is not None, no_timestamp)
    if os.environ.get(CA) and signs:
        readable(CA, "the root certificates")
    if how == "elsewhere":
        try:
            with Path(signed_program).open("rb"):
                pass
        except OSError as problem:
            raise Refused(f"Refusing --signed-program {signed_program}: it cannot be read "
                          f"({problem.strerror or problem}).")
    if how == "pkcs11":
        readable(PKCS11[0], "the token's module")
        if PASSWORD not in os.environ:
            raise Refused(f"Refusing to sign with a PKCS#11 token without its PIN: set "
                          f"{PASSWORD}.")
    if how in ("pkcs11", "pfx"):
        certificate = signing_certificate(how)
        if result.strict and hashlib.sha256(certificate).hexdigest() != publisher:
            raise Refused(f"Refusing to sign with {describe(certificate)}: it is not "
                          f"{expected(result)}. Give the publisher's certificate "
                          f"({PKCS11[2]} or {PFX}), or correct {PUBLISHER}.")
        if result.strict and not os.environ.get(STAMP_URL) and not no_timestamp:
            raise Refused(f"Refusing to sign without a time stamp: once the certificate "
                          f"expires, Windows would stop trusting the signature. Set "
                          f"{STAMP_URL}, or give --no-timestamp to release without one.")
    return result


def sign(program, plan):
    """The program to package, signed as the plan says, and refused unless
    its signature is what the plan holds it to."""
    built = program.read_bytes()
    if plan.how == "elsewhere":
        brought = Path(plan.signed_program)
        data = taken_back(built, program, brought, plan)
        return Signed(data, f"Signed elsewhere: {brought} is {program} with a valid "
                      f"signature{signer_note(plan)}.", None, built)
    if plan.how == "test":
        return Signed(built, "NOT SIGNED: no code-signing key given; Windows will warn that "
                      "the publisher is unknown.", None, built)
    if plan.how == "unsigned":
        return Signed(built, (
            f"NOT SIGNED (--unsigned). Sign {program} (SHA-256 "
            f"{hashlib.sha256(built).hexdigest()}) where the key is, with Authenticode, "
            "SHA-256 and a time stamp, for example\n"
            "  signtool sign /fd SHA256 /tr TIME-STAMP-URL /td SHA256 /a kalvo-update.exe\n"
            "then package the signed copy: scripts/release.sh --signed-program FILE, with the "
            "same CMake arguments."), None, built)
    command = [TOOL, "sign"]
    if plan.how == "pkcs11":
        # No -pkcs11engine: osslsigncode then loads OpenSSL's engine named
        # pkcs11 from OpenSSL's engines folder, where Debian's
        # libengine-pkcs11-openssl puts it. osslsigncode 2.5 cannot start
        # that engine when given its path (2.9 can).
        command += ["-pkcs11module", os.environ[PKCS11[0]], "-key", os.environ[PKCS11[1]],
                    "-certs", os.environ[PKCS11[2]]]
        key = f"the key {os.environ[PKCS11[1]]} of {os.environ[PKCS11[0]]}"
        check = (f"the key's URI ({PKCS11[1]}), the token's module ({PKCS11[0]}) and the PIN "
                 f"({PASSWORD})")
    else:
        command += ["-pkcs12", os.environ[PFX]]
        key = os.environ[PFX]
        check = f"the file ({PFX}) and its password ({PASSWORD})"
    # The PIN or password goes through a pipe, never the command line, and
    # always: without it, the PKCS#11 engine asks on the terminal.
    # -readpass takes a file's name: "-" means standard input only from
    # osslsigncode 2.8 on (Debian 12 has 2.5), /dev/stdin with every version.
    command += ["-readpass", "/dev/stdin", "-h", "sha256", "-n", "kalvo-update"]
    stamp = os.environ.get(STAMP_URL)
    if stamp:
        command += ["-ts", stamp]
    with tempfile.TemporaryDirectory() as work:
        signed = Path(work) / program.name
        command += ["-in", program, "-out", signed]
        result = run(command, os.environ.get(PASSWORD, "").encode())
        if result.returncode != 0:
            raise Refused(f"Refusing: {TOOL} could not sign with {key}; check {check}. "
                          f"What {TOOL} said:\n{output_of(result)}")
        data = signed.read_bytes()
    if plan.strict:
        check_signature(data, signed, plan)
    return Signed(data, f"Signed with {key}" + (f", time-stamped by {stamp}" if stamp else
                                                ", not time-stamped")
                  + signer_note(plan) + ".", TOOL, built)


def signer_note(plan):
    return f"; the signer is {expected(plan)}" if plan.strict else ""


def check_signature(data, name, plan):
    """Refuses a signature whose signer is not the publisher, made with
    another digest than SHA-256, with another signature nested in it, or
    without an RFC 3161 time stamp that verifies (unless the plan goes
    without one)."""
    _, _, (table, size) = signature_fields(data)
    try:
        found = signature.read(data, table, size)
    except signature.Unreadable as problem:
        raise Refused(f"Refusing {name}: its signature cannot be read: {problem}.")
    if found.fingerprint != plan.publisher:
        raise Refused(f"Refusing {name}: it is signed by {describe(found.certificate)}, not by "
                      f"{expected(plan)}.")
    digests = {signature.digest_name(x) for x in (found.signer_digest, found.file_digest)}
    if digests != {"SHA-256"}:
        raise Refused(f"Refusing {name}: its signature is made with {', '.join(sorted(digests))}"
                      ", not SHA-256 alone. Sign it with SHA-256 (osslsigncode -h sha256, "
                      "signtool /fd SHA256).")
    if found.nested:
        raise Refused(f"Refusing {name}: it carries {found.nested} more signature"
                      f"{'s' if found.nested > 1 else ''} nested in its own; sign it once.")
    if found.stamp is None:
        if plan.no_timestamp:
            return
        raise Refused(f"Refusing {name}: its signature has no RFC 3161 time stamp; once the "
                      "certificate expires, Windows would stop trusting it. Time-stamp it "
                      "(signtool /tr URL /td SHA256), or give --no-timestamp to release "
                      "without one.")
    with tempfile.TemporaryDirectory() as work:
        token, value = Path(work) / "stamp.der", Path(work) / "signature.bin"
        token.write_bytes(found.stamp)
        value.write_bytes(found.value)
        command = ["openssl", "ts", "-verify", "-token_in", "-in", token, "-data", value]
        if os.environ.get(CA):
            command += ["-CAfile", os.environ[CA]]
        result = run(command)
    if result.returncode != 0:
        raise Refused(f"Refusing {name}: its time stamp does not verify"
                      + (f" against {CA} ({os.environ[CA]})" if os.environ.get(CA) else "")
                      + f". What openssl said:\n{output_of(result)}")


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


def taken_back(built, program, brought, plan):
    """The bytes of `brought`, refused unless they are the built program,
    byte for byte once the signature is taken off, with a signature that
    verifies and is what the plan holds it to."""
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
    if plan.strict:
        check_signature(data, brought, plan)
    with tempfile.TemporaryDirectory() as work:
        # The very bytes compared, whatever happens to the file meanwhile.
        copy = Path(work) / program.name
        copy.write_bytes(data)
        command = [TOOL, "verify", "-in", copy]
        if os.environ.get(CA):
            command[2:2] = ["-CAfile", os.environ[CA], "-TSA-CAfile", os.environ[CA]]
        result = run(command)
    if result.returncode != 0:
        against = f"{CA} ({os.environ[CA]})" if os.environ.get(CA) else \
            f"the system's root certificates (or set {CA})"
        raise Refused(f"Refusing {brought}: its signature does not verify against {against}. "
                      f"What {TOOL} said:\n{output_of(result)}")
    return data
