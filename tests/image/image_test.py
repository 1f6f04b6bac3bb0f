"""Reads both shipped executables with a real PE parser and checks every image
setting and resource the packaging promises."""
import os
import struct
import unittest
import zlib
from pathlib import Path

import pefile

from release import product

ROOT = Path(os.environ.get("LARKSPIRE_ROOT", Path(__file__).resolve().parents[2]))
DIST = Path(os.environ.get("LARKSPIRE_DIST", ROOT / "dist"))
# A signed release may differ only where signing must change the image: the
# security directory, the certificate table it points to, and the checksum.
SIGNED = os.environ.get("LARKSPIRE_SIGNED") == "1"
ICONS = ROOT / "packaging/icon"
COMMON_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "advapi32.dll"}
CLIENT, INSTALLER = product.CLIENT_EXE, product.INSTALLER_EXE
EXPECTED = {CLIENT: COMMON_DLLS, INSTALLER: COMMON_DLLS | {"ole32.dll"}}
VERSION_STRINGS = [
    ("CompanyName", product.PUBLISHER), ("FileDescription", product.DESCRIPTION),
    ("FileVersion", product.VERSION_QUAD), ("InternalName", product.NAME),
    ("OriginalFilename", CLIENT), ("ProductName", product.DISPLAY_NAME),
    ("ProductVersion", product.VERSION_QUAD)]
# The fixed part of the version block keeps each of the four parts in 16 bits.
VERSION_PARTS = [int(part) for part in product.VERSION_QUAD.split(".")]
VERSION_MS, VERSION_LS = (VERSION_PARTS[0] << 16 | VERSION_PARTS[1],
                          VERSION_PARTS[2] << 16 | VERSION_PARTS[3])
MANIFEST = (
    b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
    b'<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">'
    b'<assemblyIdentity version="' + product.VERSION_QUAD.encode() + b'" '
    b'processorArchitecture="amd64" '
    b'name="' + product.ASSEMBLY_NAME.encode() + b'" type="win32"/>'
    b'<description>' + product.MANIFEST_DESCRIPTION.encode() + b'</description>'
    b'<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security><requestedPrivileges>'
    b'<requestedExecutionLevel level="asInvoker" uiAccess="false"/>'
    b'</requestedPrivileges></security></trustInfo>'
    b'<compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1"><application>'
    b'<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/></application>'
    b'</compatibility></assembly>')
ICON_SIZES = [16, 32, 48, 256]


def png_chunks(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    chunks, at = [], 8
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        crc, = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        assert crc == zlib.crc32(kind + body), kind
        chunks.append((kind.decode(), body))
        at += 12 + length
    return chunks


def resources(pe):
    """{(type, id): (language, bytes)} for every leaf of the resource tree."""
    out = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for lang in name.directory.entries:
                entry = lang.data.struct
                out[(kind.id, name.id)] = (lang.id, pe.get_data(entry.OffsetToData, entry.Size))
    return out


class ImageSettings(unittest.TestCase):
    def setUp(self):
        self.images = {name: pefile.PE(str(DIST / name)) for name in EXPECTED}

    def test_headers(self):
        for name, pe in self.images.items():
            with self.subTest(name):
                fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
                self.assertEqual(fh.Machine, 0x8664)
                self.assertEqual(oh.Magic, 0x20B, "PE32+")
                self.assertEqual(oh.Subsystem, 2, "Windows GUI")
                self.assertEqual((oh.MajorOperatingSystemVersion,
                                  oh.MinorOperatingSystemVersion), (6, 2))
                self.assertEqual((oh.MajorSubsystemVersion, oh.MinorSubsystemVersion), (6, 2))
                self.assertEqual(oh.DllCharacteristics, 0x0020 | 0x0040 | 0x0100 | 0x8000,
                                 "high-entropy ASLR, ASLR, NX, terminal-server aware")
                self.assertTrue(fh.Characteristics & 0x0020, "large-address aware")
                self.assertEqual((oh.SizeOfStackReserve, oh.SizeOfStackCommit), (1 << 20, 4096))
                self.assertEqual((oh.SizeOfHeapReserve, oh.SizeOfHeapCommit), (1 << 20, 4096))
                self.assertEqual(fh.TimeDateStamp, 0)
                self.assertEqual(oh.CheckSum, pe.generate_checksum() if SIGNED else 0)
                self.assertEqual((oh.SectionAlignment, oh.FileAlignment), (4096, 512))
                self.assertEqual(pe.DIRECTORY_ENTRY_RESOURCE.struct.TimeDateStamp, 0)

    def test_sections_directories_and_imports(self):
        for name, pe in self.images.items():
            with self.subTest(name):
                sections = [s.Name.rstrip(b"\0").decode() for s in pe.sections]
                self.assertEqual(sections, [".text", ".rdata", ".data", ".rsrc", ".reloc"])
                data = pe.sections[2]
                self.assertEqual(data.SizeOfRawData, 0, "zero-initialised buffers only")
                present = {d.name for d in pe.OPTIONAL_HEADER.DATA_DIRECTORY if d.Size}
                # lld-link also points the import-address-table directory at
                # the IAT inside .rdata; it adds no data of its own.
                self.assertEqual(present - {"IMAGE_DIRECTORY_ENTRY_IAT"},
                                 {"IMAGE_DIRECTORY_ENTRY_IMPORT", "IMAGE_DIRECTORY_ENTRY_RESOURCE",
                                  "IMAGE_DIRECTORY_ENTRY_BASERELOC"} |
                                 ({"IMAGE_DIRECTORY_ENTRY_SECURITY"} if SIGNED else set()))
                dlls = {e.dll.decode().lower() for e in pe.DIRECTORY_ENTRY_IMPORT}
                self.assertEqual(dlls, EXPECTED[name])
                entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
                self.assertTrue(pe.sections[0].contains_rva(entry))

    def test_icons(self):
        res = resources(self.images[CLIENT])
        group_lang, group = res[(14, 1)]
        self.assertEqual(group_lang, 1033)
        self.assertEqual(struct.unpack("<3H", group[:6]), (0, 1, 4))
        self.assertEqual(len(group), 6 + 4 * 14)
        for index, size in enumerate(ICON_SIZES):
            lang, png = res[(3, index + 1)]
            self.assertEqual(lang, 1033)
            self.assertEqual(png, (ICONS / f"icon-{size}.png").read_bytes())
            width, height, colours, reserved, planes, bpp, length, ident = struct.unpack(
                "<4B2HIH", group[6 + 14 * index:20 + 14 * index])
            self.assertEqual((width, height), (size % 256, size % 256))
            self.assertEqual((colours, reserved, planes, bpp), (0, 0, 0, 32))
            self.assertEqual((length, ident), (len(png), index + 1))

            chunks = png_chunks(png)
            self.assertEqual([kind for kind, _ in chunks], ["IHDR", "IDAT", "IEND"])
            ihdr = struct.unpack(">IIBBBBB", chunks[0][1])
            self.assertEqual(ihdr, (size, size, 8, 6, 0, 0, 0), "8-bit RGBA, not interlaced")

    def test_version_block_and_manifest(self):
        pe = self.images[CLIENT]
        fixed = pe.VS_FIXEDFILEINFO[0]
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (VERSION_MS, VERSION_LS))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS),
                         (VERSION_MS, VERSION_LS))
        self.assertEqual((fixed.FileFlagsMask, fixed.FileFlags, fixed.FileOS), (0x3F, 0, 0x40004))
        self.assertEqual((fixed.FileType, fixed.FileSubtype), (1, 0))
        self.assertEqual((fixed.FileDateMS, fixed.FileDateLS), (0, 0))
        infos = {info.Key: info for group in pe.FileInfo for info in group}
        table, = infos[b"StringFileInfo"].StringTable
        self.assertEqual(table.LangID, b"040904B0")
        strings = [(k.decode(), v.decode()) for k, v in table.entries.items()]
        self.assertEqual(strings[:7], VERSION_STRINGS)
        self.assertEqual([k for k, _ in strings[7:]], ["LegalCopyright"])
        self.assertEqual(infos[b"VarFileInfo"].Var[0].entry, {b"Translation": "0x0409 0x04b0"})

        lang, manifest = resources(pe)[(24, 1)]
        self.assertEqual((lang, manifest), (1033, MANIFEST))

    def test_both_carry_the_same_resources_and_the_installer_the_client(self):
        client, setup = (resources(self.images[n]) for n in EXPECTED)
        self.assertEqual(sorted(client),
                         [(3, 1), (3, 2), (3, 3), (3, 4), (14, 1), (16, 1), (24, 1)])
        self.assertEqual(client, setup)
        client_bytes = (DIST / CLIENT).read_bytes()
        self.assertIn(client_bytes, (DIST / INSTALLER).read_bytes())


if __name__ == "__main__":
    unittest.main()
