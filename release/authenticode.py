"""Authenticode signatures read with asn1crypto and checked directly:
osslsigncode's verify accepts a wrong PE checksum, edited certificate copies
and unauthenticated extra data, so whoever checks must look at each part."""
import base64
import hashlib
import os
import struct
import subprocess
import tempfile

from asn1crypto import algos, cms, core, tsp  # noqa: F401 (tsp registers TSTInfo)
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.hazmat.primitives.serialization import load_der_public_key

from release import pe
from release.der import NotDer, header as der_header, length as der_length, \
    problem as der_problem

SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"
COUNTER_SIGNATURE = "1.2.840.113549.1.9.6"
# WIN_CERTIFICATE: revision 2.0, holding PKCS#7 signed data.
WIN_CERT_REVISION, WIN_CERT_PKCS_SIGNED_DATA = 0x0200, 0x0002
# A signer's chain and a timestamp's take a few kilobytes; a table larger
# than this holds what no signer writes, and is refused unread.
MAX_SIGNATURE = 64 * 1024
# A TSTInfo is a few hundred bytes; the nonce is the requester's to choose
# and the authority echoes it, so only its size keeps it from being a payload.
MAX_TST_INFO, MAX_NONCE_BITS = 1024, 128
# The exit status of scripts/build --attach-signatures when a signature does
# not fit its file: the verifier tells it from a failed rebuild. A published
# release's own scripts/build exits with it, so its value never changes.
MISFIT = 3


class Problem(Exception):
    """One plain sentence saying what does not hold."""


class Refused(Exception):
    """One plain sentence saying why the signature, intact as it may be, is
    not one a careful verifier trusts."""


# Windows no longer accepts MD5 or SHA-1 for code: a collision lets one
# signature cover two files. Anything unknown is refused as well.
STRONG_DIGESTS = ("sha256", "sha384", "sha512")
DIGEST_NAMES = {"md5": "MD5", "sha1": "SHA-1", "sha256": "SHA-256", "sha384": "SHA-384",
                "sha512": "SHA-512"}
USAGE_NAMES = {"code_signing": "code signing", "time_stamping": "time stamping"}


def strong(hash_name, what):
    if hash_name not in STRONG_DIGESTS:
        raise Refused(f"{what} is {DIGEST_NAMES.get(hash_name, hash_name)}, which Windows "
                      "no longer accepts for code")
    return hash_name


def usage_problem(certificate, purpose):
    """Why certificate may not serve purpose ("code_signing" or
    "time_stamping"), None if it may. A certificate without the extended key
    usage is refused: that it may do anything is not that it was meant to."""
    usages = certificate.extended_key_usage_value
    if usages is None or purpose not in usages.native:
        return f"its certificate lacks the {USAGE_NAMES[purpose]} extended key usage"
    key_usage = certificate.key_usage_value
    if key_usage is not None and "digital_signature" not in key_usage.native:
        return "its certificate's key usage lacks digitalSignature"
    return None


def invalid_at(certificate, when):
    """Why certificate is not valid at when, None if it is."""
    if when < certificate.not_valid_before:
        return f"its certificate is valid only from {certificate.not_valid_before:%Y-%m-%d}"
    if when > certificate.not_valid_after:
        return f"its certificate expired on {certificate.not_valid_after:%Y-%m-%d}"
    return None


def signature_der(data):
    """The PKCS#7 signature in the certificate table, which must be one
    WIN_CERTIFICATE whose length is its DER padded with zeros to eight
    bytes, as signing tools write it, and nothing else."""
    shape = pe.layout(data)
    if not shape or not shape.cert_size:
        return None
    at, size = shape.cert_at, shape.cert_size
    if at + size > len(data) or size < 8:
        raise Problem("the certificate table lies outside the file")
    if size > MAX_SIGNATURE:
        raise Problem(f"the certificate table takes {size} bytes, more than any signature "
                      f"({MAX_SIGNATURE})")
    length, revision, kind = struct.unpack_from("<IHH", data, at)
    if (revision, kind) != (WIN_CERT_REVISION, WIN_CERT_PKCS_SIGNED_DATA) or length != size:
        raise Problem("the certificate table does not hold one PKCS#7 signature")
    der = data[at + 8:at + size]
    try:
        used = der_length(der)
    except NotDer as error:
        raise Problem(f"the signature is not DER: {error}") from None
    if len(der) - used != -used % 8 or der[used:] != bytes(len(der) - used):
        raise Problem("the certificate table holds more than the signature and its padding")
    return der[:used]


def pem(der):
    body = base64.encodebytes(der).decode().replace("\n", "")
    lines = [body[i:i + 64] for i in range(0, len(body), 64)]
    return "-----BEGIN PKCS7-----\n" + "\n".join(lines) + "\n-----END PKCS7-----\n"


def der_from_pem(text):
    lines = [line for line in text.splitlines() if line and not line.startswith("-----")]
    return base64.b64decode("".join(lines))


NAME_KEYS = {"common_name": "CN", "organization_name": "O", "organizational_unit_name": "OU",
             "country_name": "C", "state_or_province_name": "ST", "locality_name": "L"}


def name_text(name):
    """A name as a person reads it: CN=..., O=..."""
    return ", ".join(f"{NAME_KEYS.get(key, key)}={value}" for key, value in name.native.items())


def subject(certificate):
    return name_text(certificate.subject)


def key_fingerprint(certificate):
    """The SHA-256 of the certificate's SubjectPublicKeyInfo, which a renewal
    that keeps the key keeps."""
    return ":".join(f"{b:02X}" for b in hashlib.sha256(certificate.public_key.dump()).digest())


def fingerprint(certificate):
    return ":".join(f"{b:02X}" for b in hashlib.sha256(certificate.dump()).digest())


def _contents(encoded):
    """The value inside one DER tag and length."""
    length, at = encoded[1], 2
    if length & 0x80:
        at += length & 0x7F
        length = int.from_bytes(encoded[2:at], "big")
    return encoded[at:at + length]


def _hash_name(algorithm):
    return algorithm["algorithm"].native


# The digests asn1crypto names for an RSA or ECDSA signature, MD2 aside:
# OpenSSL no longer verifies with it, so such a signature does not verify.
HASHES = {"md5": hashes.MD5, "sha1": hashes.SHA1, "sha224": hashes.SHA224,
          "sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}


def _verifies(public_key, hash_name, signature, message):
    """Whether signature is public_key's over message. Every byte of the
    key and the signature is the file's to choose, so whatever cryptography
    cannot read is a signature that does not verify."""
    try:
        key = load_der_public_key(public_key.dump())
        digest = HASHES[hash_name]()
        if isinstance(key, rsa.RSAPublicKey):
            key.verify(signature, message, padding.PKCS1v15(), digest)
        elif isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(signature, message, ec.ECDSA(digest))
        else:
            return False
    except (InvalidSignature, UnsupportedAlgorithm, KeyError, ValueError, TypeError,
            OverflowError):
        return False
    return True


def certificate_verifies(certificate, issuer):
    algorithm = certificate["signature_algorithm"]
    if algorithm.signature_algo not in ("rsassa_pkcs1v15", "ecdsa"):
        return False
    return _verifies(issuer.public_key, algorithm.hash_algo,
                     certificate["signature_value"].native,
                     certificate["tbs_certificate"].dump())


def _issued_by(certificate, issuer):
    if certificate.issuer != issuer.subject:
        return False
    wanted = certificate.authority_key_identifier
    return wanted is None or issuer.key_identifier in (None, wanted)


def chain(leaf, pool):
    """The leaf and its issuers found in pool, up to a self-issued one."""
    found = [leaf]
    while not found[-1].self_issued and len(found) < 10:
        issuers = [c for c in pool if _issued_by(found[-1], c) and c not in found]
        if not issuers:
            break
        found.append(issuers[0])
    return found


def _signer_certificate(signer_info, pool):
    sid = signer_info["sid"]
    for certificate in pool:
        if sid.name == "issuer_and_serial_number":
            if (certificate.issuer == sid.chosen["issuer"] and
                    certificate.serial_number == sid.chosen["serial_number"].native):
                return certificate
        elif certificate.key_identifier == sid.chosen.native:
            return certificate
    raise Problem("the signer's certificate is not in the signature")


def _check_signer_info(signer_info, pool, content, what):
    """A signer's signed attributes carry the content's digest, and its
    signature over them verifies with its certificate's key."""
    certificate = _signer_certificate(signer_info, pool)
    hash_name = strong(_hash_name(signer_info["digest_algorithm"]), f"the {what}'s digest")
    attributes = signer_info["signed_attrs"]
    digests = [a["values"][0].native for a in attributes if a["type"].native == "message_digest"]
    if digests != [hashlib.new(hash_name, content).digest()]:
        raise Problem(f"the {what}'s message digest does not match what it signs")
    # The signature covers the attributes as a SET, not as the [0] field.
    signed = b"\x31" + attributes.dump()[1:]
    if signer_info["signature_algorithm"].signature_algo not in ("rsassa_pkcs1v15", "ecdsa") or \
            not _verifies(certificate.public_key, hash_name,
                          signer_info["signature"].native, signed):
        raise Problem(f"the {what}'s signature does not verify")
    return certificate


def _certificates(signed_data):
    """The certificates in signed data, which must hold nothing else: what
    no signature covers and no check reads is room for any bytes."""
    choices = signed_data["certificates"] or []
    if signed_data["crls"] or any(c.name != "certificate" for c in choices):
        raise Problem("the signature carries data beside its certificates that no one signed")
    return [c.chosen for c in choices]


# What no signature covers is the attacker's to change, so it must be as
# the signer writes it, in one encoding only: else two files that differ
# both verify (the class of CVE-2013-3900), and whatever bytes were stuffed
# into the difference ride along. The forms below are osslsigncode's,
# whether from a PFX, a token or a sign command, and an OpenSSL timestamp
# authority's.
READING_ERRORS = (ValueError, KeyError, TypeError, IndexError, AttributeError, OverflowError)


def _unplaced(value):
    """Whether value holds a value where its structure has none: asn1crypto
    keeps whatever follows a SEQUENCE's last field, unread, and reads only
    the first value inside an explicit tag."""
    explicit = getattr(value, "explicit", None) or ()
    encoded = value.dump() if explicit else b""
    try:
        for _ in explicit:
            # asn1crypto writes the tag as it read it, around only the
            # first value: a second one shows as a length past the end.
            _, start, stop = der_header(encoded, 0, len(encoded))
            encoded = encoded[start:stop]
            if der_length(encoded) != len(encoded):
                return True
    except NotDer:
        return True
    if isinstance(value, core.Sequence):
        names = list(value)
        # A SEQUENCE of no known structure (Authenticode's signed content)
        # has no fields to count.
        return bool(names) and (len(value) != len(names) or
                                any(_unplaced(value[name]) for name in names))
    if isinstance(value, core.SequenceOf):
        return any(_unplaced(child) for child in value)
    if isinstance(value, core.Choice):
        return _unplaced(value.chosen)
    return False


def _version_problem(value, version, what):
    if value.dump() != core.Integer(version).dump():
        return f"the {what} is version {value.native}, not v{version}"
    return None


def _digest_forms(algorithm, authority):
    """OpenSSL's PKCS#7, and so osslsigncode, gives a digest algorithm NULL
    parameters; an authority may leave them out, as RFC 5754 2 prefers."""
    oid = algorithm["algorithm"].dump()
    # Built by hand: asn1crypto adds NULL parameters to a digest algorithm
    # given none.
    forms = [b"\x30" + bytes([len(oid) + 2]) + oid + b"\x05\x00"]
    return forms + [b"\x30" + bytes([len(oid)]) + oid] if authority else forms


def _signature_forms(certificate, digest_algorithm, authority):
    """RSA as rsaEncryption with NULL parameters, ECDSA as ecdsa-with-SHA*
    without any (RFC 3370 3.2, RFC 5758 3.2), as osslsigncode writes them;
    an authority may write sha*WithRSAEncryption instead (RFC 4056 2)."""
    key, hash_name = certificate.public_key.algorithm, digest_algorithm["algorithm"].native
    if key == "ec":
        return [algos.SignedDigestAlgorithm({"algorithm": f"{hash_name}_ecdsa"}).dump()]
    names = ["rsassa_pkcs1v15", f"{hash_name}_rsa"] if authority else ["rsassa_pkcs1v15"]
    return [algos.SignedDigestAlgorithm({"algorithm": name, "parameters": core.Null()}).dump()
            for name in names] if key == "rsa" else []


def _signer_info_form(signer_info, certificate, what, authority=False):
    """A SignerInfo as a signer, or a timestamp authority, writes it:
    version 1, its certificate named by issuer and serial number exactly as
    the certificate has them, its algorithms in their forms."""
    reason = _version_problem(signer_info["version"], 1, f"{what}'s SignerInfo")
    sid = signer_info["sid"]
    tbs = certificate["tbs_certificate"]
    if sid.name != "issuer_and_serial_number" or \
            sid.chosen["issuer"].dump() != tbs["issuer"].dump() or \
            sid.chosen["serial_number"].dump() != tbs["serial_number"].dump():
        reason = f"the {what} names its certificate otherwise than the certificate does"
    digest = signer_info["digest_algorithm"]
    if digest.dump() not in _digest_forms(digest, authority):
        reason = f"the {what}'s digest algorithm carries other parameters than NULL"
    try:
        expected = _signature_forms(certificate, digest, authority)
    except READING_ERRORS:
        expected = []
    if signer_info["signature_algorithm"].dump() not in expected:
        reason = (f"the {what}'s signature algorithm is not written as its signer writes it "
                  f"for its {certificate.public_key.algorithm.upper()} key")
    if reason:
        raise Problem(f"not as its signer wrote it: {reason}")


def _signed_data_form(signed_data, version, signer_info, what):
    """One digest algorithm, the SignerInfo's own, in SignedData's version."""
    reason = _version_problem(signed_data["version"], version, what)
    algorithms = signed_data["digest_algorithms"]
    if [a.dump() for a in algorithms] != [signer_info["digest_algorithm"].dump()]:
        reason = (f"the {what}'s digest algorithms ({len(algorithms)}) are not exactly the one "
                  "its signer uses")
    if reason:
        raise Problem(f"not as its signer wrote it: {reason}")


def _certificates_form(certificates, order, what):
    """No certificate twice, in the order the signer writes them, each with
    the algorithm outside its signed part that it names inside (RFC 5280
    4.1.1.2): the outer one is covered by no signature."""
    encoded = [c.dump() for c in certificates]
    if len(set(encoded)) != len(encoded):
        raise Problem(f"not as its signer wrote it: the {what} carries a certificate twice")
    for certificate in certificates:
        # Read whole now, so that a field no one can read is a change to
        # the signature here rather than an error in a later check.
        certificate.native
        if certificate["signature_algorithm"].dump() != \
                certificate["tbs_certificate"]["signature"].dump():
            raise Problem(f"not as its signer wrote it: the certificate {subject(certificate)} "
                          "names another signature algorithm outside its signed part than "
                          "inside")
    if encoded != [c.dump() for c in order]:
        raise Problem(f"not as its signer wrote it: the {what}'s certificates are not in the "
                      "order its signer writes them")


def _issuer_problem(signer, certificates, what):
    """scripts/build refuses a signature without its signer's issuer, and a
    timestamp authority sends its own: without it, removing a certificate
    would make another file that verifies."""
    if not signer.self_issued and not any(_issued_by(signer, c) for c in certificates):
        raise Problem(f"not as its signer wrote it: the {what} lacks the certificate that "
                      "issued its signer")


def _der_order(certificates):
    """X.690 11.6's order of a SET OF, which osslsigncode 2.6 and later, and
    a CMS timestamp authority, write; Windows requires it of catalog files
    since KB4580358."""
    return sorted(certificates, key=lambda c: c.dump())


def _token_form(token):
    """An RFC 3161 token as its authority writes it: SignedData version 3
    (RFC 5652 5.1: its content is not data), a TSTInfo in DER of version 1
    with a nonce of at most 16 bytes, certificates in DER order."""
    signed = token["content"]
    if token["content_type"].native != "signed_data" or len(signed["signer_infos"]) != 1:
        raise Problem("the timestamp cannot be read: not one signer's signed data")
    signer_info = signed["signer_infos"][0]
    _signed_data_form(signed, 3, signer_info, "timestamp")
    certificates = _certificates(signed)
    _certificates_form(certificates, _der_order(certificates), "timestamp")
    authority = _signer_certificate(signer_info, certificates)
    _signer_info_form(signer_info, authority, "timestamp", authority=True)
    _issuer_problem(authority, certificates, "timestamp")
    content = signed["encap_content_info"]["content"]
    reason = der_problem(content.contents) if len(content.contents) <= MAX_TST_INFO else \
        f"it takes {len(content.contents)} bytes, more than {MAX_TST_INFO}"
    info = content.parsed if not reason else None
    if not reason:
        reason = _version_problem(info["version"], 1, "TSTInfo")
    if not reason and abs(info["nonce"].native or 0).bit_length() > MAX_NONCE_BITS:
        reason = f"its nonce takes {len(info['nonce'].contents)} bytes, more than 16"
    if reason:
        raise Problem(f"not as its authority wrote it: the timestamp's TSTInfo: {reason}")


class Timestamp:
    def __init__(self, time, authority, certificates):
        self.time, self.authority, self.certificates = time, authority, certificates


class Signature:
    """One Authenticode signature: who signed, which digest, its timestamp."""

    def __init__(self, der):
        self.der = der
        reason = der_problem(der)
        if reason:
            raise Problem(f"the signature is not DER: {reason}")
        try:
            info = cms.ContentInfo.load(der, strict=True)
            if info["content_type"].native != "signed_data":
                raise ValueError("not signed data")
            self.signed_data = info["content"]
            # Authenticode's is version 1; another makes asn1crypto read
            # the content as CMS's, which it is not.
            reason = _version_problem(self.signed_data["version"], 1, "signature")
            if reason:
                raise Problem(f"not as its signer wrote it: {reason}")
            content = self.signed_data["encap_content_info"]
            if content["content_type"].dotted != SPC_INDIRECT_DATA:
                raise ValueError("not an Authenticode signature")
            # PKCS#7 1.5 content: the SEQUENCE sits inside the [0] tag, and
            # the signed digest covers the SEQUENCE's contents.
            raw = content["content"].dump()
            if raw[0] == 0xA0:
                raw = _contents(raw)
            self.indirect = core.Sequence.load(raw)
            digest_info = algos.DigestInfo.load(self.indirect[1].dump())
            self.hash_name = _hash_name(digest_info["digest_algorithm"])
            self.digest = digest_info["digest"].native
            self.certificates = _certificates(self.signed_data)
            infos = self.signed_data["signer_infos"]
            if len(infos) != 1:
                raise ValueError(f"{len(infos)} signers, not one")
            self.signer_info = infos[0]
            self.signer = _signer_certificate(self.signer_info, self.certificates)
        except READING_ERRORS as error:
            raise Problem(f"the signature cannot be read: {' '.join(str(error).split())}") \
                from None
        self.timestamp = None

    def check_form(self):
        """What no signature covers is as the signer writes it: raises
        Problem naming the first part that is not."""
        try:
            self._check_form()
        except READING_ERRORS as error:
            raise Problem(f"the signature cannot be read: {' '.join(str(error).split())}") \
                from None

    def _check_form(self):
        _signed_data_form(self.signed_data, 1, self.signer_info, "signature")
        _signer_info_form(self.signer_info, self.signer, "signer")
        if _unplaced(cms.ContentInfo.load(self.der)):
            raise Problem("not as its signer wrote it: it holds a value where its structure "
                          "has none")
        stamp = self._timestamp_attribute()
        certificates = self.certificates
        if stamp and stamp[0] == RFC3161_TIMESTAMP:
            _token_form(stamp[1])
        elif stamp:
            self._check_authority(stamp[1], self.certificates)
            # osslsigncode appends what a counter-signing authority's reply
            # carries to the signer's certificates, in the reply's order,
            # a copy of a root both chains share included.
            own = len({c.dump() for c in chain(self.signer, certificates)})
            certificates, replied = certificates[:own], certificates[own:]
            authority = _signer_certificate(stamp[1], replied)
            _signer_info_form(stamp[1], authority, "timestamp", authority=True)
            _issuer_problem(authority, replied, "timestamp")
            _certificates_form(replied, replied, "timestamp")
        _certificates_form(certificates, self._certificate_order(certificates), "signature")
        _issuer_problem(self.signer, certificates, "signature")

    def _timestamp_attribute(self):
        """The unauthenticated attribute, (its type, its value), None if none.
        Every byte outside the signed attributes is the attacker's to choose
        unless it is a timestamp, so anything else, a nested signature, a
        second value or a second timestamp included, is a change."""
        unsigned = self.signer_info["unsigned_attrs"]
        if not isinstance(unsigned, core.Void) and not unsigned:
            raise Problem("not as its signer wrote it: an empty set of unauthenticated "
                          "attributes")
        for attribute in unsigned or []:
            kind = attribute["type"].dotted
            if kind not in (RFC3161_TIMESTAMP, COUNTER_SIGNATURE):
                raise Problem(f"the signature carries an unauthenticated attribute {kind} "
                              "that is not a timestamp")
        if not unsigned:
            return None
        if len(unsigned) != 1 or len(unsigned[0]["values"]) != 1:
            raise Problem("the signature carries more than one timestamp")
        return unsigned[0]["type"].dotted, unsigned[0]["values"][0]

    def _certificate_order(self, certificates):
        """DER order, but for osslsigncode 2.5, which writes the signer
        first and then the chain it was given: its signatures are told apart
        by what their signer signed, SpcPeImageData's flags left an empty
        BIT STRING where 2.6 and later set includeResources."""
        try:
            image_data = core.Sequence.load(core.Sequence.load(self.indirect[0].dump())[1].dump())
            older = image_data[0].dump() == b"\x03\x01\x00"
        except READING_ERRORS:
            older = False
        if not older:
            return _der_order(certificates)
        own = chain(self.signer, certificates)
        return own + _der_order([c for c in certificates if c not in own])

    def check(self, data):
        """Everything a signature says about FILE, checked against FILE.
        Raises Problem naming the first thing that does not hold."""
        strong(self.hash_name, "the file digest")
        if pe.authenticode_digest(data, self.hash_name) != self.digest:
            raise Problem("the file's digest does not match its signature")
        _check_signer_info(self.signer_info, self.certificates, self.indirect.contents, "signer")
        authorities = []
        stamp = self._timestamp_attribute()
        if stamp and stamp[0] == RFC3161_TIMESTAMP:
            self.timestamp = self._rfc3161(stamp[1])
        elif stamp:
            self.timestamp = self._counter_signature(stamp[1])
            authorities += chain(self.timestamp.authority, self.certificates)
        own = chain(self.signer, self.certificates) + authorities
        for certificate in self.certificates:
            if not any(certificate.dump() == c.dump() for c in own):
                raise Problem(f"the certificate {subject(certificate)} in the "
                              "signature belongs to neither the signer's nor the "
                              "timestamp's chain")
        for certificate in self.certificates + (self.timestamp.certificates
                                                if self.timestamp else []):
            pool = self.certificates if certificate in self.certificates \
                else self.timestamp.certificates
            # A root names itself as its issuer: its copy verifies against
            # itself whatever its key identifiers say.
            issuers = [certificate] if certificate.self_issued else \
                [c for c in pool if _issued_by(certificate, c)]
            if issuers and not any(certificate_verifies(certificate, c) for c in issuers):
                how = "itself" if certificate.self_issued else "its issuer"
                raise Problem(f"the certificate {subject(certificate)} in the "
                              f"signature does not verify against {how}")

    def _rfc3161(self, token):
        try:
            signed = token["content"]
            content = signed["encap_content_info"]
            info = content["content"].parsed
            imprint = info["message_imprint"]
            certificates = _certificates(signed)
            if len(signed["signer_infos"]) != 1:
                raise ValueError(f"{len(signed['signer_infos'])} signers, not one")
            signer_info = signed["signer_infos"][0]
        except (ValueError, KeyError, TypeError, IndexError) as error:
            raise Problem(f"the timestamp cannot be read: {error}") from None
        self._check_authority(signer_info, certificates)
        stamped = hashlib.new(strong(_hash_name(imprint["hash_algorithm"]),
                                     "the timestamp's message imprint"),
                              self.signer_info["signature"].native).digest()
        if imprint["hashed_message"].native != stamped:
            raise Problem("the timestamp is for another signature")
        authority = _check_signer_info(signer_info, certificates,
                                       content["content"].parsed.dump(), "timestamp")
        own = chain(authority, certificates)
        for certificate in certificates:
            if not any(certificate.dump() == c.dump() for c in own):
                raise Problem(f"the certificate {subject(certificate)} in the "
                              "timestamp does not belong to its authority's chain")
        return Timestamp(info["gen_time"].native, authority, certificates)

    def _check_authority(self, signer_info, pool):
        """Only an authority meant to stamp time makes a timestamp: with any
        other key, the signer's own included, a "timestamp" is bytes of the
        attacker's choosing dated as the attacker likes."""
        authority = _signer_certificate(signer_info, pool)
        reason = usage_problem(authority, "time_stamping")
        if authority.public_key.dump() == self.signer.public_key.dump():
            reason = "it is made with the signer's own key"
        if reason:
            raise Problem(f"the signature carries an unauthenticated attribute signed by "
                          f"{subject(authority)} that is not a timestamp: {reason}")
        if signer_info["unsigned_attrs"]:
            raise Problem("the timestamp carries data its authority did not sign")

    def _counter_signature(self, signer_info):
        self._check_authority(signer_info, self.certificates)
        authority = _check_signer_info(signer_info, self.certificates,
                                       self.signer_info["signature"].native, "timestamp")
        times = [a["values"][0].native for a in signer_info["signed_attrs"]
                 if a["type"].native == "signing_time"]
        if len(times) != 1:
            raise Problem("the timestamp has no time")
        return Timestamp(times[0], authority, [])


def _pem_certificates(certificates):
    return "".join("-----BEGIN CERTIFICATE-----\n" + base64.encodebytes(c.dump()).decode() +
                   "-----END CERTIFICATE-----\n" for c in certificates)


def untrusted(leaf, pool, ca=None, when=None):
    """Why leaf's chain, completed from pool, reaches no trusted root: the
    system store, or the roots in ca, the bytes of a PEM file. None if it
    does."""
    with tempfile.TemporaryDirectory() as work:
        leaf_path, pool_path = os.path.join(work, "leaf.pem"), os.path.join(work, "pool.pem")
        with open(leaf_path, "w") as out:
            out.write(_pem_certificates([leaf]))
        with open(pool_path, "w") as out:
            out.write(_pem_certificates(pool))
        # -check_ss_sig: openssl otherwise trusts a root whose own
        # signature was edited.
        command = ["openssl", "verify", "-check_ss_sig", "-untrusted", pool_path]
        if ca:
            # A copy of what was read once: openssl opening the given path
            # again would block on a FIFO.
            with open(os.path.join(work, "ca.pem"), "wb") as out:
                out.write(ca)
            command += ["-CAfile", os.path.join(work, "ca.pem")]
        if when:
            command += ["-attime", str(int(when.timestamp()))]
        done = subprocess.run(command + [leaf_path], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True)
    if done.returncode == 0:
        return None
    reasons = [line.split(":", 1)[1].strip() if ":" in line else line
               for line in (done.stdout + done.stderr).splitlines() if "error" in line]
    return reasons[0] if reasons else "openssl verify failed"


def rewrite_problem(data):
    """Why osslsigncode, attaching FILE's own signature to FILE without it,
    would not write FILE again byte for byte, None if it would: what the
    rebuild must reproduce, it reproduces, and an encoding OpenSSL reads
    otherwise than it writes is refused before any rebuild."""
    shape = pe.layout(data)
    unsigned = bytearray(data[:shape.cert_at])
    struct.pack_into("<II", unsigned, shape.security_at, 0, 0)
    with tempfile.TemporaryDirectory() as work:
        paths = {name: os.path.join(work, name) for name in ("in.exe", "sig.pem", "out.exe")}
        with open(paths["in.exe"], "wb") as out:
            out.write(unsigned)
        with open(paths["sig.pem"], "w") as out:
            out.write(pem(signature_der(data)))
        subprocess.run(["osslsigncode", "attach-signature", "-sigin", paths["sig.pem"],
                        "-in", paths["in.exe"], "-out", paths["out.exe"]],
                       stdin=subprocess.DEVNULL, capture_output=True)
        if not os.path.exists(paths["out.exe"]):
            return "osslsigncode cannot attach it"
        with open(paths["out.exe"], "rb") as written:
            if written.read() != data:
                return "osslsigncode writes it back otherwise"
    return None


def missing_issuer(data):
    """The name of the CA that issued FILE's signer when the signature does
    not carry that CA's certificate, None when it does or the signer is
    self-signed. Raises Problem or Refused when the signature does not
    verify: a key that is not its certificate's signs without complaint, or
    when it is not as scripts/verify-release accepts it."""
    signature = Signature(signature_der(data))
    signature.check(data)
    signer = signature.signer
    if not signer.self_issued and not any(_issued_by(signer, c) for c in signature.certificates):
        return name_text(signer.issuer)
    signature.check_form()
    return None


def signature_fits(data):
    """Whether FILE's own signature covers FILE's digest."""
    der = signature_der(data)
    return der is not None and Signature(der).digest == pe.authenticode_digest(
        data, Signature(der).hash_name)
