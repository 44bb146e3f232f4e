"""What a program's Authenticode signature says of itself: the certificate
that signed it, the digests it was made with, and the RFC 3161 time stamp
that counter-signs it.

Read from the PKCS#7 SignedData in the program's certificate table (one
WIN_CERTIFICATE of type PKCS_SIGNED_DATA) with asn1crypto, which reads the
SignedData, its certificates and its signer; the content it signs,
Authenticode's SpcIndirectDataContent, is a type asn1crypto does not know,
and is read as the two sequences declared below. Whether the signature holds is left
to the tools: osslsigncode verify for the signature and its chain, openssl
ts -verify for the time stamp (signing.py).
"""
import hashlib
import struct

from asn1crypto import algos, cms, core

SHA256 = "2.16.840.1.101.3.4.2.1"
DIGESTS = {"1.2.840.113549.2.5": "MD5", "1.3.14.3.2.26": "SHA-1", SHA256: "SHA-256",
           "2.16.840.1.101.3.4.2.2": "SHA-384", "2.16.840.1.101.3.4.2.3": "SHA-512"}
# Unsigned attributes of a signer: an RFC 3161 time stamp token, and another
# signature nested in this one.
RFC3161_STAMP = "1.3.6.1.4.1.311.3.3.1"
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
# The content an Authenticode signature signs: the file's digest.
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 2


class Unreadable(Exception):
    pass


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", algos.DigestInfo)]


def digest_name(identifier):
    return DIGESTS.get(identifier, identifier)


def attributes(signer):
    """The signer's unsigned attributes: {object identifier: [values]}."""
    found = {}
    for attribute in signer["unsigned_attrs"] or []:
        found.setdefault(attribute["type"].dotted, []).extend(attribute["values"])
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
    except (ValueError, TypeError, KeyError, IndexError):
        # What asn1crypto raises for DER it cannot read, or a part missing.
        raise Unreadable("its signature lacks a part Authenticode gives")


def read_signed_data(der):
    content_info = cms.ContentInfo.load(der)
    if content_info["content_type"].native != "signed_data":
        raise Unreadable("the signed data is not where Authenticode puts it")
    signed_data = content_info["content"]
    content = signed_data["encap_content_info"]
    if content["content_type"].dotted != SPC_INDIRECT_DATA:
        raise Unreadable("the signed content is not where Authenticode puts it")
    indirect = content["content"].parse(SpcIndirectDataContent)
    file_digest = indirect["message_digest"]["digest_algorithm"]["algorithm"].dotted
    signers = signed_data["signer_infos"]
    if len(signers) != 1:
        raise Unreadable(f"it has {len(signers)} signers, not one")
    signer = signers[0]
    if signer["sid"].name != "issuer_and_serial_number":
        raise Unreadable("the signer's certificate is not where Authenticode puts it")
    issuer_serial = signer["sid"].chosen
    unsigned = attributes(signer)
    stamps = unsigned.get(RFC3161_STAMP, [])
    certificate = next((choice.chosen for choice in signed_data["certificates"] or []
                        if choice.name == "certificate" and issued_as(choice.chosen,
                                                                      issuer_serial)), None)
    if certificate is None:
        raise Unreadable("it does not carry the certificate that signed it")
    return Signature(certificate.dump(), signer["digest_algorithm"]["algorithm"].dotted,
                     file_digest, signer["signature"].native,
                     stamps[0].dump() if stamps else None,
                     len(unsigned.get(NESTED_SIGNATURE, [])))


def issued_as(certificate, issuer_serial):
    """Whether a certificate has the signer's issuer and serial number, the
    issuer compared as RFC 5280 compares names, as OpenSSL finds the signer."""
    return certificate.serial_number == issuer_serial["serial_number"].native and \
        certificate.issuer == issuer_serial["issuer"]
