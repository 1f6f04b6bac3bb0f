"""Signatures no signing tool makes, built by hand from the test keys: weak
digests, counter-signatures and timestamp tokens from keys of our choosing,
attributes no one signed. Each is attached to an image the way signing
attaches one."""
import datetime
import hashlib
import struct
import subprocess
import tempfile
from pathlib import Path

from asn1crypto import algos, cms, core, pem, tsp, x509

from release import authenticode, der, pe


def certificate(path):
    return x509.Certificate.load(pem.unarmor(Path(path).read_bytes())[2])


def signature_of(image):
    return cms.ContentInfo.load(authenticode.signature_der(image))


def attach(image, info):
    """image with its certificate table holding info, a signature, alone,
    its certificates in the order of the signer of image's signature."""
    return attach_der(image, _in_signer_order(image, info.dump()))


def _in_signer_order(image, signature):
    """Where osslsigncode 2.5 wrote its signer and the chain first, the
    certificates of image's signature keep their places and added ones follow
    them in DER order; where the signer wrote DER's order, all take it."""
    if not pe.layout(image).cert_size:
        return signature
    before = [encode(c) for c in node(signature_tree(image), 1, 0, 3)[1]]
    root = tree(signature)[0]
    certificates = node(root, 1, 0, 3)
    assert certificates[0] == 0xA0, "no certificates where a signature keeps them"
    now = [encode(c) for c in certificates[1]]
    order = sorted(now) if before == sorted(before) else \
        [c for c in before if c in now] + sorted(c for c in now if c not in before)
    certificates[1] = [[None, c] for c in order]
    return encode(root)


def attach_der(image, signature):
    """image with its certificate table holding these bytes, padded."""
    shape = pe.layout(image)
    unsigned = image[:shape.cert_at] if shape.cert_size else image
    der = signature + bytes(-len(signature) % 8)
    # WIN_CERTIFICATE's length counts the padding, as signing tools write it.
    table = struct.pack("<IHH", 8 + len(der), authenticode.WIN_CERT_REVISION,
                        authenticode.WIN_CERT_PKCS_SIGNED_DATA) + der
    unsigned = bytearray(unsigned)
    struct.pack_into("<II", unsigned, shape.security_at, len(unsigned), len(table))
    return pe.with_checksum(bytes(unsigned) + table)


def _signed_by(key, hash_name, message):
    with tempfile.NamedTemporaryFile() as file:
        file.write(message)
        file.flush()
        return subprocess.run(["openssl", "dgst", f"-{hash_name}", "-sign", str(key), file.name],
                              stdin=subprocess.DEVNULL, capture_output=True,
                              check=True).stdout


def digest_algorithm(hash_name):
    """As OpenSSL writes it, with NULL parameters."""
    return algos.DigestAlgorithm({"algorithm": hash_name, "parameters": core.Null()})


def signer_info(keys, name, hash_name, content, attributes):
    """A SignerInfo by keys/NAME over content: attributes, then the content's
    digest, signed with hash_name, in the form OpenSSL writes."""
    signer = certificate(keys / f"{name}.pem")
    signed = cms.CMSAttributes([*attributes, {
        "type": "message_digest", "values": [hashlib.new(hash_name, content).digest()]}])
    ec = signer.public_key.algorithm == "ec"
    return cms.SignerInfo({
        "version": "v1",
        "sid": {"issuer_and_serial_number": {"issuer": signer.issuer,
                                             "serial_number": signer.serial_number}},
        "digest_algorithm": digest_algorithm(hash_name),
        "signed_attrs": signed,
        "signature_algorithm": {"algorithm": f"{hash_name}_ecdsa"} if ec else
        {"algorithm": "rsassa_pkcs1v15", "parameters": core.Null()},
        # The signature covers the attributes as a SET, in the order DER gives.
        "signature": _signed_by(keys / f"{name}.key", hash_name, signed.dump(force=True)),
    })


def copy(info):
    # Never dump(force=True): asn1crypto then re-encodes nested values over
    # and over, and a signature with a timestamp takes seconds.
    return cms.ContentInfo.load(info.dump())


def resigned(info, keys, name, hash_name):
    """info with its signer's attributes signed again with hash_name."""
    info = copy(info)
    signed_data = info["content"]
    old = signed_data["signer_infos"][0]
    indirect = old_content(info)
    attributes = [a for a in old["signed_attrs"] if a["type"].native != "message_digest"]
    signed_data["signer_infos"] = [signer_info(keys, name, hash_name, indirect, attributes)]
    signed_data["digest_algorithms"] = [digest_algorithm(hash_name)]
    return info


def old_content(info):
    """What the signer's digest covers: the SpcIndirectDataContent's contents."""
    return authenticode.Signature(info.dump()).indirect.contents


def counter_signature(info, keys, name, when=None, extra=(), hash_name="sha256"):
    """An old-style counter-signature on info's signature by keys/NAME, dated
    when, with extra signed attributes."""
    value = info["content"]["signer_infos"][0]["signature"].native
    when = when or datetime.datetime.now(datetime.timezone.utc)
    return signer_info(keys, name, hash_name, value, [
        {"type": "content_type", "values": ["data"]},
        {"type": "signing_time", "values": [cms.Time({"utc_time": when})]}, *extra])


def token(info, keys, name="tsa", imprint="sha256", hash_name="sha256", nonce=None):
    """An RFC 3161 timestamp token on info's signature by keys/NAME, carrying
    its certificate and the root, and echoing the requester's nonce."""
    value = info["content"]["signer_infos"][0]["signature"].native
    stamp = tsp.TSTInfo({
        "version": "v1", "policy": "1.3.6.1.4.1.4146.2.3", "serial_number": 1,
        "message_imprint": {"hash_algorithm": {"algorithm": imprint},
                            "hashed_message": hashlib.new(imprint, value).digest()},
        "gen_time": datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0),
        "nonce": nonce})
    signer = signer_info(keys, name, hash_name, stamp.dump(), [
        {"type": "content_type", "values": ["tst_info"]}])
    return cms.ContentInfo({"content_type": "signed_data", "content": {
        "version": "v3", "digest_algorithms": [digest_algorithm(hash_name)],
        "encap_content_info": {"content_type": "tst_info", "content": stamp},
        "certificates": [certificate(keys / f"{n}.pem") for n in (name, "root")],
        "signer_infos": [signer]}})


def with_unsigned(info, attributes, certificates=()):
    """info with these unsigned attributes on its signer, and these
    certificates added to its own."""
    info = copy(info)
    signed_data = info["content"]
    signed_data["signer_infos"][0]["unsigned_attrs"] = cms.CMSAttributes(attributes)
    if certificates:
        signed_data["certificates"] = [*signed_data["certificates"], *certificates]
    return info


def with_revocation_bytes(info):
    """info with a "revocation list" of attacker bytes beside its certificates."""
    info = copy(info)
    info["content"]["crls"] = [cms.RevocationInfoChoice({"other": {
        "other_rev_info_format": "1.3.6.1.4.1.55555.2",
        "other_rev_info": core.OctetString(b"\xCC" * 1024)}})]
    return info


def with_unsigned_in_token(token, attributes):
    """token with these attributes beside its authority's signature."""
    token = cms.ContentInfo.load(token.dump())
    token["content"]["signer_infos"][0]["unsigned_attrs"] = cms.CMSAttributes(attributes)
    return token


def attacker_bytes(size=1024):
    """A signed attribute no verifier knows, holding bytes of anyone's choosing."""
    return {"type": "1.3.6.1.4.1.55555.1", "values": [core.OctetString(b"\xCC" * size)]}


# A signature as a tree of [tag, contents], contents a list of nodes for a
# constructed value and bytes for a primitive one, so that a test can change
# what asn1crypto would write only in DER: an order, a duplicate, a length.
def tree(data):
    nodes, at = [], 0
    while at < len(data):
        tag, start, stop = der.header(data, at, len(data))
        nodes.append([tag, tree(data[start:stop]) if tag & 0x20 else data[start:stop]])
        at = stop
    return nodes


def encode(node):
    """A node in DER; a node whose tag is None is its bytes, as they are."""
    tag, contents = node
    body = b"".join(map(encode, contents)) if isinstance(contents, list) else contents
    if tag is None:
        return body
    size = len(body)
    width = (size.bit_length() + 7) // 8
    length = bytes([size]) if size < 0x80 else bytes([0x80 | width]) + size.to_bytes(width, "big")
    return bytes([tag]) + length + body


def node(root, *path):
    """The node at path, each step an index among a constructed node's
    contents."""
    for index in path:
        root = root[1][index]
    return root


def signature_tree(image):
    return tree(authenticode.signature_der(image))[0]


def attach_tree(image, root):
    return attach_der(image, encode(root))
