"""Content-defined chunks of release files and their index, as the launcher
computes them (delivery/chunk_index.h holds the rules and the format).

This is the slow path: publish_release.py runs the toolkit's `chunk`
command when it can, and falls back to this module only without one.
"""

import hashlib
import struct

CHUNK_MINIMUM = 16 * 1024
CHUNK_NORMAL = 48 * 1024
CHUNK_MAXIMUM = 256 * 1024
MASK_BEFORE_NORMAL = 0xFFFFC00000000000
MASK_AFTER_NORMAL = 0xFFFC000000000000
MAGIC = b"THCHUNKS"
VERSION = 1
HEADER = struct.Struct("<8sIIQ")
ENTRY = struct.Struct("<QI16s")
_U64 = (1 << 64) - 1

GEAR = [int.from_bytes(hashlib.sha256(b"Tinderhallow chunk gear %d" % n).digest()[:8], "big") for n in range(256)]


def chunk_length(data, start, available):
    """Length of the chunk starting at data[start], `available` bytes being
    on hand from there (all of the rest, or at least CHUNK_MAXIMUM)."""
    if available <= CHUNK_MINIMUM:
        return available
    end = min(available, CHUNK_MAXIMUM)
    normal = min(CHUNK_NORMAL, end)
    gear = GEAR
    h = 0
    i = CHUNK_MINIMUM
    position = start + i
    while i < normal:
        h = ((h << 1) + gear[data[position]]) & _U64
        if not h & MASK_BEFORE_NORMAL:
            return i + 1
        i += 1
        position += 1
    while i < end:
        h = ((h << 1) + gear[data[position]]) & _U64
        if not h & MASK_AFTER_NORMAL:
            return i + 1
        i += 1
        position += 1
    return end


def chunk_bytes(data):
    """[(offset, length, first 16 bytes of the chunk's SHA-256)] of bytes in memory."""
    chunks = []
    offset = 0
    view = memoryview(data)
    while offset < len(data):
        length = chunk_length(data, offset, len(data) - offset)
        chunks.append((offset, length, hashlib.sha256(view[offset:offset + length]).digest()[:16]))
        offset += length
    return chunks


def chunk_file(path, read_size=8 << 20):
    """The chunks of a file, read in pieces of read_size bytes."""
    chunks = []
    offset = 0
    pending = b""
    at_end = False
    with open(path, "rb") as f:
        while True:
            if len(pending) < CHUNK_MAXIMUM and not at_end:
                more = f.read(read_size)
                if more:
                    pending += more
                    continue
                at_end = True
            if not pending:
                return chunks
            start = 0
            view = memoryview(pending)
            while len(pending) - start >= CHUNK_MAXIMUM or (at_end and start < len(pending)):
                length = chunk_length(pending, start, len(pending) - start)
                chunks.append((offset, length, hashlib.sha256(view[start:start + length]).digest()[:16]))
                start += length
                offset += length
            view.release()
            pending = pending[start:]


def encode_index(file_size, chunks):
    out = [HEADER.pack(MAGIC, VERSION, len(chunks), file_size)]
    out.extend(ENTRY.pack(offset, length, digest) for offset, length, digest in chunks)
    return b"".join(out)


def decode_index(data):
    """(file size, chunks); ValueError unless it is a well-formed version-1 index."""
    if len(data) < HEADER.size:
        raise ValueError("too short for a chunk index")
    magic, version, count, file_size = HEADER.unpack_from(data)
    if magic != MAGIC or version != VERSION:
        raise ValueError("not a version-1 chunk index")
    if len(data) != HEADER.size + ENTRY.size * count:
        raise ValueError("chunk index size does not match its chunk count")
    chunks = [ENTRY.unpack_from(data, HEADER.size + ENTRY.size * i) for i in range(count)]
    expected = 0
    for offset, length, _ in chunks:
        if offset != expected or not 0 < length <= CHUNK_MAXIMUM:
            raise ValueError("chunk index does not cover the file in order")
        expected += length
    if expected != file_size:
        raise ValueError("chunk index does not add up to the file size")
    return file_size, chunks


def chunk_list_text(chunks):
    """"<offset> <length> <hash hex>" lines, as the shared test vector lists them."""
    return "".join(f"{offset} {length} {digest.hex()}\n" for offset, length, digest in chunks)


def vector_input():
    """The input of the shared test vector (tests/delivery/fixtures/chunk_vector.txt)."""
    stream = b"".join(hashlib.sha256(b"Tinderhallow chunk vector %d" % n).digest() for n in range(58528))
    return stream[:1572864] + bytes(600000) + stream[1572864:1872865]
