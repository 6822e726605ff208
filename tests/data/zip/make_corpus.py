#!/usr/bin/env python3
"""Writes the damaged-archive corpus: one defect per file, named after it.
EXPECTED lists each file with the message id List must report (0 = lists
cleanly) and the number of entries it must keep."""
import struct, zlib, os

HERE = os.path.dirname(os.path.abspath(__file__))


def local(name, data, method=0, flag=0):
    comp = zlib.compress(data)[2:-4] if method == 8 else data
    hdr = struct.pack('<IHHHHHIIIHH', 0x04034B50, 20, flag, method, 0, 0x5A21,
                      zlib.crc32(data), len(comp), len(data), len(name), 0)
    return hdr + name + comp, comp


def central(name, data, comp, off, method=0, flag=0, extra=b'', comment=b'', host=3,
            sig=0x02014B50, name_len=None, extra_len=None, comment_len=None):
    return struct.pack('<IBBHHHHHIIIHHHHHII', sig, 30, host, 20, flag, method, 0, 0x5A21,
                       zlib.crc32(data), len(comp), len(data),
                       len(name) if name_len is None else name_len,
                       len(extra) if extra_len is None else extra_len,
                       len(comment) if comment_len is None else comment_len,
                       0, 0, 0o100644 << 16, off) + name + extra + comment


def eocd(n, cd_size, cd_off, comment=b'', comment_len=None, disk=0, cd_disk=0):
    return struct.pack('<IHHHHIIH', 0x06054B50, disk, cd_disk, n, n, cd_size, cd_off,
                       len(comment) if comment_len is None else comment_len) + comment


def archive(files=((b'a.txt', b'hello world\n'), (b'dir/b.bin', bytes(range(256)) * 4)),
            cd_mutate=None, prefix=b'', **eocd_args):
    body = b''
    cds = []
    for name, data in files:
        off = len(body)
        loc, comp = local(name, data)
        body += loc
        cds.append((name, data, comp, off))
    cd = b''.join(central(*c) for c in cds)
    if cd_mutate:
        cd = cd_mutate(cds)
    return prefix + body + cd, len(body), len(cd), len(cds)


def write(name, data, msg, entries):
    with open(os.path.join(HERE, name), 'wb') as f:
        f.write(data)
    EXPECTED.append(f'{name} {msg} {entries}')


EXPECTED = []

a, cdoff, cdsize, n = archive()
good = a + eocd(n, cdsize, cdoff)
write('good-two-members.zip', good, 0, 2)
write('empty-end-record-only.zip', eocd(0, 0, 0), 0, 0)
write('not-a-zip.txt', b'This is plain text, not an archive.\n' * 20, 11036, 0)
write('eocd-missing.zip', a, 11036, 0)
write('truncated-in-central-directory.zip', good[:cdoff + 20], 11036, 0)
write('eocd-entry-count-too-high.zip', a + eocd(3, cdsize, cdoff), 11013, 2)
write('cd-bad-signature.zip',
      archive(cd_mutate=lambda c: central(*c[0], sig=0x12345678) + central(*c[1]))[0] + eocd(n, cdsize, cdoff),
      11015, 0)
write('cd-size-larger-than-file.zip', a + eocd(n, 0x7FFFFFF0, cdoff), 10201, 0)
# The last header claims a name longer than what is left of the file.
def long_name(c):
    return central(*c[0]) + central(*c[1], name_len=0xFFFF)
write('cd-name-runs-past-end.zip', archive(cd_mutate=long_name)[0] + eocd(n, cdsize, cdoff), 11017, 1)
def long_extra(c):
    return central(*c[0]) + central(*c[1], extra_len=0xFFF0)
write('cd-extra-runs-past-end.zip', archive(cd_mutate=long_extra)[0] + eocd(n, cdsize, cdoff), 10201, 1)
def long_comment(c):
    return central(*c[0]) + central(*c[1], comment_len=0xFFF0)
write('cd-comment-runs-past-end.zip', archive(cd_mutate=long_comment)[0] + eocd(n, cdsize, cdoff), 11022, 1)
write('cd-offset-shifted.zip', b'#!stub\n' * 100 + good, 10203, 2)
write('garbage-after-archive.zip', good + b'\xAA' * 300, 10204, 2)
pad = (-len(good)) % 512 or 512
write('zero-fill-to-512.zip', good + b'\0' * pad, 0, 2)
write('eocd-comment-longer-than-file.zip', a + eocd(n, cdsize, cdoff, b'short', comment_len=500), 0, 2)
write('eocd-with-comment.zip', a + eocd(n, cdsize, cdoff, b'Quellon archive comment ' * 4), 0, 2)
write('spanned-last-disk-cd-elsewhere.zip', a + eocd(n, cdsize, cdoff, disk=2, cd_disk=1), 11001, 0)
# Sizes and offsets that point outside the file: List keeps them; extraction must refuse.
def bad_offsets(c):
    n0, d0, c0, _ = c[0]
    return central(n0, d0, c0, 0x7FFF0000) + central(*c[1])
# List keeps the entries but warns that a local header does not match.
write('local-offset-beyond-file.zip', archive(cd_mutate=bad_offsets)[0] + eocd(n, cdsize, cdoff), 10205, 2)
# Both directory entries point at the same local header (overlapping members).
def overlap(c):
    return central(*c[0]) + central(c[1][0], c[0][1], c[0][2], 0)
write('overlapping-members.zip', archive(cd_mutate=overlap)[0] + eocd(n, cdsize, cdoff), 10205, 2)
# The first local header names another member than the directory does.
renamed = bytearray(good)
renamed[30] = ord('x')
write('local-name-differs.zip', bytes(renamed), 10205, 2)
# The end record counts fewer members than the directory holds: refused,
# not listed (and tested) short.
write('eocd-entry-count-too-low.zip', a + eocd(1, cdsize, cdoff), 10201, 1)
for unsafe in (b'../escape.txt', b'/abs/escape.txt', b'C:/drive/escape.txt', b'..\\win\\escape.txt'):
    fname = {b'../escape.txt': 'name-dotdot.zip', b'/abs/escape.txt': 'name-absolute.zip',
             b'C:/drive/escape.txt': 'name-drive-letter.zip',
             b'..\\win\\escape.txt': 'name-backslash-dotdot.zip'}[unsafe]
    x, o, s, k = archive(files=((unsafe, b'must stay inside\n'),))
    write(fname, x + eocd(k, s, o), 0, 1)

with open(os.path.join(HERE, 'EXPECTED'), 'w') as f:
    f.write('# file  message-id-List-reports (0 = none)  entries-kept\n')
    f.write('\n'.join(EXPECTED) + '\n')
