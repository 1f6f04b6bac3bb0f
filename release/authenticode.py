"""Authenticode signatures read with asn1crypto and checked directly:
osslsigncode's verify accepts a wrong PE checksum, edited certificate copies
and unauthenticated extra data, so whoever checks must look at each part.

    python3 -m release.authenticode fits FILE
        exits 0 if the signature FILE carries covers FILE's digest, MISFIT if
        not (judged by the digest alone, with no trust store involved)
    python3 -m release.authenticode signed FILE
        exits 0 if FILE's signature verifies against FILE and carries the
        certificate that issued its signer (or the signer is self-signed);
        else prints why and exits 2 if it does not verify, or prints the
        issuer and exits 4 if it lacks the issuer
    python3 -m release.authenticode misfit
        prints MISFIT, for scripts/build
"""
import base64
import hashlib
import os
import struct
import subprocess
import sys
import tempfile

from asn1crypto import algos, cms, core, tsp  # noqa: F401 (tsp registers TSTInfo)

from release import pe

SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"
COUNTER_SIGNATURE = "1.2.840.113549.1.9.6"
# WIN_CERTIFICATE: revision 2.0, holding PKCS#7 signed data.
WIN_CERT_REVISION, WIN_CERT_PKCS_SIGNED_DATA = 0x0200, 0x0002
# The exit status of `fits`, and of scripts/build --attach-signatures, when a
# signature does not fit its file: the verifier tells it from a failed
# rebuild. A published release's own scripts/build exits with it, so its
# value never changes.
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
    WIN_CERTIFICATE padded with zeros to eight bytes and nothing else."""
    shape = pe.layout(data)
    if not shape or not shape.cert_size:
        return None
    at, size = shape.cert_at, shape.cert_size
    if at + size > len(data) or size < 8:
        raise Problem("the certificate table lies outside the file")
    length, revision, kind = struct.unpack_from("<IHH", data, at)
    if (revision, kind) != (WIN_CERT_REVISION, WIN_CERT_PKCS_SIGNED_DATA) or length > size:
        raise Problem("the certificate table does not hold one PKCS#7 signature")
    der = data[at + 8:at + length]
    try:
        inner = core.Asn1Value.load(der, strict=False)
        used = len(inner.dump())
    except ValueError as error:
        raise Problem(f"the signature is not DER: {error}") from None
    if der[used:] != bytes(len(der) - used) or data[at + length:at + size] != \
            bytes(size - length) or size - used - 8 >= 8:
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


def _openssl_verifies(public_key, hash_name, signature, message):
    with tempfile.TemporaryDirectory() as work:
        paths = {name: os.path.join(work, name) for name in ("key", "sig", "msg")}
        with open(paths["key"], "w") as out:
            out.write("-----BEGIN PUBLIC KEY-----\n" + base64.encodebytes(
                public_key.dump()).decode() + "-----END PUBLIC KEY-----\n")
        for name, content in (("sig", signature), ("msg", message)):
            with open(paths[name], "wb") as out:
                out.write(content)
        done = subprocess.run(["openssl", "dgst", f"-{hash_name}", "-verify", paths["key"],
                               "-signature", paths["sig"], paths["msg"]],
                              stdin=subprocess.DEVNULL, capture_output=True)
        return done.returncode == 0


def certificate_verifies(certificate, issuer):
    algorithm = certificate["signature_algorithm"]
    if algorithm.signature_algo not in ("rsassa_pkcs1v15", "ecdsa"):
        return False
    return _openssl_verifies(issuer.public_key, algorithm.hash_algo,
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
            not _openssl_verifies(certificate.public_key, hash_name,
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


class Timestamp:
    def __init__(self, time, authority, certificates):
        self.time, self.authority, self.certificates = time, authority, certificates


class Signature:
    """One Authenticode signature: who signed, which digest, its timestamp."""

    def __init__(self, der):
        self.der = der
        try:
            info = cms.ContentInfo.load(der)
            if info["content_type"].native != "signed_data":
                raise ValueError("not signed data")
            self.signed_data = info["content"]
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
        except (ValueError, KeyError, TypeError, IndexError) as error:
            raise Problem(f"the signature cannot be read: {error}") from None
        self.timestamp = None

    def check(self, data):
        """Everything a signature says about FILE, checked against FILE.
        Raises Problem naming the first thing that does not hold."""
        strong(self.hash_name, "the file digest")
        if pe.authenticode_digest(data, self.hash_name) != self.digest:
            raise Problem("the file's digest does not match its signature")
        _check_signer_info(self.signer_info, self.certificates, self.indirect.contents, "signer")
        authorities = []
        for attribute in self.signer_info["unsigned_attrs"] or []:
            kind = attribute["type"].dotted
            # Every byte outside the signed attributes is the attacker's to
            # choose unless it is a timestamp, so anything else, a second
            # value or a second timestamp included, is a change.
            if kind not in (RFC3161_TIMESTAMP, COUNTER_SIGNATURE):
                raise Problem(f"the signature carries an unauthenticated attribute {kind} "
                              "that is not a timestamp")
            if len(attribute["values"]) != 1 or self.timestamp:
                raise Problem("the signature carries more than one timestamp")
            if kind == RFC3161_TIMESTAMP:
                self.timestamp = self._rfc3161(attribute["values"][0])
            else:
                self.timestamp = self._counter_signature(attribute["values"][0])
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
            issuers = [c for c in pool if _issued_by(certificate, c)]
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
    system store, or the roots in the file ca. None if it does."""
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
            command += ["-CAfile", ca]
        if when:
            command += ["-attime", str(int(when.timestamp()))]
        done = subprocess.run(command + [leaf_path], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True)
    if done.returncode == 0:
        return None
    reasons = [line.split(":", 1)[1].strip() if ":" in line else line
               for line in (done.stdout + done.stderr).splitlines() if "error" in line]
    return reasons[0] if reasons else "openssl verify failed"


def missing_issuer(data):
    """The name of the CA that issued FILE's signer when the signature does
    not carry that CA's certificate, None when it does or the signer is
    self-signed. Raises Problem or Refused when the signature does not
    verify: a key that is not its certificate's signs without complaint."""
    signature = Signature(signature_der(data))
    signature.check(data)
    signer = signature.signer
    if signer.self_issued or any(_issued_by(signer, c) for c in signature.certificates):
        return None
    return name_text(signer.issuer)


def signature_fits(data):
    """Whether FILE's own signature covers FILE's digest."""
    der = signature_der(data)
    return der is not None and Signature(der).digest == pe.authenticode_digest(
        data, Signature(der).hash_name)


if __name__ == "__main__":
    if sys.argv[1:] == ["misfit"]:
        print(MISFIT)
        sys.exit(0)
    if len(sys.argv) != 3 or sys.argv[1] not in ("fits", "signed"):
        sys.exit("usage: python3 -m release.authenticode fits|signed FILE | misfit")
    with open(sys.argv[2], "rb") as image:
        data = image.read()
    try:
        if sys.argv[1] == "fits":
            sys.exit(0 if signature_fits(data) else MISFIT)
        issuer = missing_issuer(data)
        if issuer:
            print(issuer)
        sys.exit(4 if issuer else 0)
    except (Problem, Refused) as problem:
        print(problem, file=sys.stderr if sys.argv[1] == "fits" else sys.stdout)
        sys.exit(MISFIT if sys.argv[1] == "fits" else 2)
