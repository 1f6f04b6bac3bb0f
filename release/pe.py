"""Facts about a PE image read from its own headers: where the checksum and
the security directory sit, where the certificate table is, the Authenticode
digest, and the images embedded in another image's data.

pefile reads the version resource. The headers, the checksum and the
embedded images are read here: the verifier refuses layouts pefile reads past
with a warning, reads each candidate image in place inside another, where
pefile parses from offset 0 of a copy, and sums the checksum six times as
fast."""
import array
import hashlib
import struct
import sys

import pefile

SECURITY_ENTRY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
# Windows' loader refuses more (the PE format's NumberOfSections): each
# candidate image inside another would otherwise cost up to 65,535 reads.
MAX_SECTIONS = 96


class Layout:
    """Offsets within one image that signing touches. None if `data` at
    `at` is not a PE image."""
    # Not pefile's headers: pefile accepts an unknown optional header magic,
    # stops listing sections after one with three faults or an all-zero one,
    # and lists only the directories NumberOfRvaAndSizes counts, each of
    # which would move an image's end or its signed ranges. And each of up
    # to MAX_CANDIDATES embedded images would be a copy of the rest of
    # .rdata for pefile to read it from offset 0.

    def __init__(self, data, at=0):
        self.valid = False
        if data[at:at + 2] != b"MZ" or len(data) < at + 0x40:
            return
        pe = at + struct.unpack_from("<I", data, at + 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0" or len(data) < pe + 24 + 2:
            return
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = {0x10B: optional + 96, 0x20B: optional + 112}.get(magic)
        table = optional + optional_size
        if directories is None or sections > MAX_SECTIONS or len(data) < table + 40 * sections:
            return
        self.checksum_at = optional + 64
        self.security_at = directories + 8 * SECURITY_ENTRY
        if self.security_at + 8 > table:
            return
        self.headers_end = struct.unpack_from("<I", data, optional + 60)[0]
        self.sections_end = self.headers_end
        # {name: (file offset, size)} of the raw data of each section.
        self.sections = {}
        for index in range(sections):
            name, size, offset = struct.unpack_from("<8s8xII", data, table + 40 * index)
            self.sections.setdefault(name.rstrip(b"\0"), (offset, size))
            if size:
                self.sections_end = max(self.sections_end, offset + size)
        # The security directory holds a file offset, unlike every other
        # directory, which holds an RVA.
        self.cert_at, self.cert_size = struct.unpack_from("<II", data, self.security_at)
        # Not get_overlay_data_start_offset: it leaves out the certificate
        # table and any section that runs past the file's end, so that a
        # truncated image would look complete.
        self.end = max(self.sections_end, self.cert_at + self.cert_size)
        self.valid = True


def layout(data, at=0):
    found = Layout(data, at)
    return found if found.valid else None


# The installer carries its client as a constant array, which the linker
# puts in .rdata; no other section of ours holds an image. An "MZ" is two
# bytes any data may hold a few of, so a section full of them is refused
# before each is looked at.
EMBEDDED_SECTION, MAX_CANDIDATES = b".rdata", 4096


def embedded_images(data):
    """Every complete PE image in the image's .rdata, each cut at its own
    end: its last section, or its certificate table if signed. Raises
    ValueError for a .rdata with more "MZ" than data of ours holds."""
    offset, size = layout(data).sections.get(EMBEDDED_SECTION, (0, 0))
    section = data[offset:offset + size]
    if section.count(b"MZ") > MAX_CANDIDATES:
        raise ValueError(f"its {EMBEDDED_SECTION.decode()} holds {section.count(b'MZ')} "
                         f"\"MZ\", more than {MAX_CANDIDATES}")
    found, at = [], -1
    while True:
        at = section.find(b"MZ", at + 1)
        if at < 0:
            return found
        inner = layout(section, at)
        if inner and at + inner.end <= len(section):
            found.append((offset + at, section[at:at + inner.end]))


def embedded_image(setup):
    """The one executable the installer carries."""
    images = embedded_images(setup)
    if len(images) != 1:
        raise ValueError(f"{len(images)} embedded images, not one")
    return images[0][1]


def checksum(data):
    """The PE checksum as Windows' CheckSumMappedFile computes it: 16-bit
    words with end-around carry, the checksum field counted as zero, plus
    the file's length. Folding the whole sum at the end gives the same as
    folding after each word, and sum() over an array is fast enough for a
    file of any size the verifier reads: pefile's generate_checksum, a
    Python loop over dwords, takes six times as long, a second for 16 MiB,
    and zeroes the aligned dword that holds the field's first byte rather
    than the field, which differs when the optional header is not aligned."""
    blanked = without_checksum(data)
    if len(blanked) % 2:
        blanked += b"\0"
    words = array.array("H", blanked)
    if sys.byteorder != "little":
        words.byteswap()
    total = sum(words)
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def stored_checksum(data):
    return struct.unpack_from("<I", data, Layout(data).checksum_at)[0]


def with_checksum(data):
    at = Layout(data).checksum_at
    return data[:at] + struct.pack("<I", checksum(data)) + data[at + 4:]


def without_checksum(image):
    at = Layout(image).checksum_at
    return image[:at] + bytes(4) + image[at + 4:]


def authenticode_digest(data, algorithm):
    """The digest a signature covers: everything before the certificate
    table but the checksum and the security directory entry."""
    shape = Layout(data)
    end = shape.cert_at if shape.cert_size else len(data)
    digest = hashlib.new(algorithm)
    digest.update(data[:shape.checksum_at])
    digest.update(data[shape.checksum_at + 4:shape.security_at])
    digest.update(data[shape.security_at + 8:end])
    return digest.digest()


def first_difference(signed, unsigned):
    """The first offset where a signed image differs from an unsigned one,
    leaving out what signing changes: the checksum, the security directory
    entry and the certificate table. None if they agree."""
    shape = Layout(signed)
    skipped = {*range(shape.checksum_at, shape.checksum_at + 4),
               *range(shape.security_at, shape.security_at + 8)}
    end = shape.cert_at if shape.cert_size else len(signed)
    for at in range(min(end, len(unsigned))):
        if signed[at] != unsigned[at] and at not in skipped:
            return at
    return None if end == len(unsigned) else min(end, len(unsigned))


def version_strings(data):
    """The StringFileInfo values of the version resource, {} if none."""
    try:
        pe = pefile.PE(data=data, fast_load=True)
        pe.parse_data_directories(
            directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    except pefile.PEFormatError:
        return {}
    strings = {}
    for info in getattr(pe, "FileInfo", None) or []:
        for entry in info:
            for table in getattr(entry, "StringTable", []):
                strings.update({key.decode("utf-8", "replace"): value.decode("utf-8", "replace")
                                for key, value in table.entries.items()})
    return strings
