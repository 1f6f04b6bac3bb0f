"""Strict DER (X.690 section 10), checked on the bytes themselves: asn1crypto
reads BER as readily as DER and keeps a value's bytes as it found them, so
its reading says nothing of whether a signature has one encoding only."""

# Deeper than any signature a signing tool writes (its timestamp token's
# signed attributes lie about twenty levels down); bounded so that thousands
# of nested SEQUENCEs cost nothing.
MAX_DEPTH = 32
INTEGER, BIT_STRING, NULL, OID, ENUMERATED, SEQUENCE, SET = 0x02, 0x03, 0x05, 0x06, 0x0A, 0x30, 0x31
BOOLEAN = 0x01


class NotDer(ValueError):
    pass


def header(data, at, end):
    """The tag, and where the contents of the value at `at` start and stop."""
    if end - at < 2:
        raise NotDer(f"a value at offset {at} is cut short")
    tag, first = data[at], data[at + 1]
    if tag & 0x1F == 0x1F or tag == 0:
        raise NotDer(f"a tag at offset {at} that no signature uses")
    start, length = at + 2, first
    if first == 0x80:
        raise NotDer(f"an indefinite length at offset {at}")
    if first > 0x80:
        count = first & 0x7F
        if count > 4 or start + count > end:
            raise NotDer(f"a length at offset {at} that runs past its container")
        length = int.from_bytes(data[start:start + count], "big")
        if data[start] == 0 or length < 0x80:
            raise NotDer(f"a length at offset {at} in more bytes than it needs")
        start += count
    if start + length > end:
        raise NotDer(f"a value at offset {at} that runs past its container")
    return tag, start, start + length


def _primitive(tag, contents, at):
    """X.690 10 and 11's one encoding of each primitive a signature holds."""
    size = len(contents)
    if tag in (INTEGER, ENUMERATED) and (size == 0 or size > 1 and (
            contents[0] == 0 and contents[1] < 0x80 or
            contents[0] == 0xFF and contents[1] >= 0x80)):
        raise NotDer(f"an integer at offset {at} not in its fewest bytes")
    if tag == BOOLEAN and (size != 1 or contents[0] not in (0, 0xFF)):
        raise NotDer(f"a boolean at offset {at} that is neither 00 nor FF")
    if tag == NULL and size:
        raise NotDer(f"a NULL at offset {at} with contents")
    if tag == BIT_STRING and (size == 0 or contents[0] > 7 or size == 1 and contents[0] or
                              size > 1 and contents[-1] & ((1 << contents[0]) - 1)):
        raise NotDer(f"a bit string at offset {at} with unused bits that are not zero")
    if tag == OID and (size == 0 or contents[-1] & 0x80 or any(
            byte == 0x80 and (i == 0 or not contents[i - 1] & 0x80)
            for i, byte in enumerate(contents))):
        raise NotDer(f"an object identifier at offset {at} padded or cut short")


def _walk(data, at, end, depth, is_set):
    previous = None
    while at < end:
        tag, start, stop = header(data, at, end)
        if tag & 0x20:
            if tag & 0xC0 == 0 and tag not in (SEQUENCE, SET):
                raise NotDer(f"a string at offset {at} in pieces (constructed)")
            if depth >= MAX_DEPTH:
                raise NotDer(f"values nested more than {MAX_DEPTH} deep")
            _walk(data, start, stop, depth + 1, tag == SET)
        elif tag & 0xC0 == 0:
            if tag in (SEQUENCE & 0x1F, SET & 0x1F):
                raise NotDer(f"a SEQUENCE or SET at offset {at} marked primitive")
            _primitive(tag, data[start:stop], at)
        # A SET OF holds its values sorted by their encodings (X.690 11.6).
        if is_set and previous is not None and data[previous[0]:previous[1]] > data[at:stop]:
            raise NotDer(f"a SET OF at offset {at} whose values are not in DER order")
        previous = (at, stop)
        at = stop


def problem(data):
    """Why data is not exactly one value in DER, None if it is."""
    try:
        if not data:
            raise NotDer("nothing")
        tag, start, stop = header(data, 0, len(data))
        if stop != len(data):
            raise NotDer(f"{len(data) - stop} bytes follow the value")
        _walk(data, 0, stop, 0, False)
    except NotDer as reason:
        return str(reason)
    return None


def length(data):
    """How many bytes the value at the start of data takes, tag and length
    included."""
    return header(data, 0, len(data))[2]
