"""What a program's Authenticode signature says of itself: the certificate
that signed it, the digests it was made with, and the RFC 3161 time stamp
that counter-signs it.

Read from the PKCS#7 SignedData in the program's certificate table (one
WIN_CERTIFICATE of type PKCS_SIGNED_DATA), DER as Authenticode writes it.
OpenSSL's own PKCS#7 and CMS readers do not take Authenticode's content
type, and the Python at hand has no ASN.1 library, so the few fields read
here are read by hand; whether they hold is left to the tools: osslsigncode
verify for the signature and its chain, openssl ts -verify for the time
stamp (signing.py).
"""
import hashlib
import struct

SHA256 = "2.16.840.1.101.3.4.2.1"
DIGESTS = {"1.2.840.113549.2.5": "MD5", "1.3.14.3.2.26": "SHA-1", SHA256: "SHA-256",
           "2.16.840.1.101.3.4.2.2": "SHA-384", "2.16.840.1.101.3.4.2.3": "SHA-512"}
# Unsigned attributes of a signer: an RFC 3161 time stamp token, the older
# Authenticode counter-signature, and another signature nested in this one.
RFC3161_STAMP = "1.3.6.1.4.1.311.3.3.1"
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 2
SEQUENCE, SET, INTEGER, OCTET_STRING, OID = 0x30, 0x31, 0x02, 0x04, 0x06
CONTEXT_0, CONTEXT_1 = 0xA0, 0xA1


class Unreadable(Exception):
    pass


class Element:
    """One DER element of `data`: its tag, and where its content lies."""

    def __init__(self, data, at):
        if at + 2 > len(data):
            raise Unreadable("it ends inside an element")
        self.data, self.start, self.tag = data, at, data[at]
        length, at = data[at + 1], at + 2
        if length & 0x80:
            count = length & 0x7F
            if not 0 < count <= 4 or at + count > len(data):
                raise Unreadable("an element's length cannot be read")
            length, at = int.from_bytes(data[at:at + count], "big"), at + count
        self.content, self.end = at, at + length
        if self.end > len(data):
            raise Unreadable("an element runs past its end")

    def raw(self):
        return self.data[self.start:self.end]

    def value(self):
        return self.data[self.content:self.end]

    def children(self):
        found, at = [], self.content
        while at < self.end:
            found.append(Element(self.data, at))
            at = found[-1].end
        return found

    def expect(self, tag, what):
        if self.tag != tag:
            raise Unreadable(f"{what} is not where Authenticode puts it")
        return self


def oid_text(element):
    body = element.expect(OID, "an object identifier").value()
    numbers, value = [], 0
    for byte in body:
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            numbers.append(value)
            value = 0
    if not numbers:
        raise Unreadable("an empty object identifier")
    first = min(numbers[0] // 40, 2)
    return ".".join(map(str, [first, numbers[0] - 40 * first] + numbers[1:]))


def digest_name(identifier):
    return DIGESTS.get(identifier, identifier)


def attributes(element):
    """An attribute set: {object identifier: [values]}."""
    found = {}
    for attribute in element.children():
        kind, values = attribute.expect(SEQUENCE, "an attribute").children()[:2]
        found.setdefault(oid_text(kind), []).extend(values.children())
    return found


class Signature:
    """The signer's certificate (DER), its SHA-256 fingerprint, the signer's
    digest and the file digest's algorithm, the signature value, the RFC
    3161 time stamp token (DER, or None) and the number of signatures nested
    in this one."""

    def __init__(self, certificate, signer_digest, file_digest, value, stamp, nested):
        self.certificate, self.signer_digest, self.file_digest = certificate, signer_digest, \
            file_digest
        self.value, self.stamp, self.nested = value, stamp, nested
        self.fingerprint = hashlib.sha256(certificate).hexdigest()


def fingerprint_text(hex_digits):
    """As openssl x509 -fingerprint prints it: AB:CD:..."""
    upper = hex_digits.upper()
    return ":".join(upper[i:i + 2] for i in range(0, len(upper), 2))


def read(data, table, size):
    """The signature in the certificate table at `table` (`size` bytes) of a program."""
    if size < 8:
        raise Unreadable("its certificate table is too short")
    length, _, kind = struct.unpack_from("<IHH", data, table)
    if kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA or not 8 < length <= size:
        raise Unreadable("its certificate table holds no Authenticode signature")
    if size - length >= 8 and data[table + length:table + size].strip(b"\0"):
        raise Unreadable("its certificate table holds more than one signature")
    try:
        return read_signed_data(data[table + 8:table + length])
    except (IndexError, StopIteration, ValueError):
        raise Unreadable("its signature lacks a part Authenticode gives")


def read_signed_data(content_info):
    top = Element(content_info, 0).expect(SEQUENCE, "the signature")
    signed_data = top.children()[1].expect(CONTEXT_0, "the signed data").children()[0]
    parts = signed_data.expect(SEQUENCE, "the signed data").children()
    content = parts[2].expect(SEQUENCE, "the signed content")
    indirect = content.children()[1].expect(CONTEXT_0, "the signed content").children()[0]
    digest_info = indirect.expect(SEQUENCE, "the file's digest").children()[1]
    file_digest = oid_text(digest_info.expect(SEQUENCE, "the file's digest").children()[0]
                           .children()[0])
    certificates = [certificate.raw() for part in parts[3:-1] if part.tag == CONTEXT_0
                    for certificate in part.children()]
    signers = parts[-1].expect(SET, "the signers").children()
    if len(signers) != 1:
        raise Unreadable(f"it has {len(signers)} signers, not one")
    fields = signers[0].expect(SEQUENCE, "the signer").children()
    issuer_serial = fields[1].expect(SEQUENCE, "the signer's certificate").children()
    digest = oid_text(fields[2].expect(SEQUENCE, "the signer's digest").children()[0])
    value = next(f for f in fields[3:] if f.tag == OCTET_STRING).value()
    unsigned = next((attributes(f) for f in fields if f.tag == CONTEXT_1), {})
    stamps = unsigned.get(RFC3161_STAMP, [])
    certificate = next((c for c in certificates if issued_as(c, issuer_serial)), None)
    if certificate is None:
        raise Unreadable("it does not carry the certificate that signed it")
    return Signature(certificate, digest, file_digest, value, stamps[0].raw() if stamps else None,
                     len(unsigned.get(NESTED_SIGNATURE, [])))


def issued_as(certificate, issuer_serial):
    """Whether a certificate (DER) has the signer's issuer and serial number."""
    fields = Element(certificate, 0).children()[0].children()
    if fields[0].tag == CONTEXT_0:
        fields = fields[1:]
    issuer, serial = issuer_serial
    return fields[0].raw() == serial.raw() and fields[2].raw() == issuer.raw()
