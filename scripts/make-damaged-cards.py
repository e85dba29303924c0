#!/usr/bin/env python3
"""Makes damaged and unusual ext2/3/4 card images, reproducibly from a seed.

Every image is a card as the application meets it: most carry an MBR or GPT partition table with
one ext partition at 1 MiB, some are a bare filesystem. The filesystems are made with mke2fs -d
from a small tree (text, binaries, a fragmented file with an extent index block, a directory
large enough for an htree, symbolic links, nested folders), then damaged in one place:

  superblock-field, superblock-bits   hostile values (checksum made to match) or bit flips
  group-descriptor-field, -bits       the same for block group descriptors
  bitmap                              block and inode bitmaps zeroed, filled or flipped
  inode-field, inode-bits             root, directories, files, the journal's inode
  directory                           entries and htree roots, checksum matching or not
  extent-tree                         the in-inode root, index and leaf blocks
  journal                             its superblock, forged transactions replaying junk
  truncated                           the card cut short anywhere
  checksum                            one metadata checksum off by one bit, all else intact
  feature                             feature bits the guest kernel does not know or refuses
  partition-table                     partitions past the end, overlapping, looping
  control                             undamaged ext2, ext3, ext4 (1 KiB, 4 KiB, 64 KiB blocks,
                                      with and without metadata checksums, unusual features)

Image i depends only on (seed, i): a subset (--only) has the same bytes as in the full set, and
the same seed makes the same bytes again (mke2fs and debugfs run with a fixed clock, UUIDs and
hash seeds come from the seed). manifest.tsv lists name, category, base filesystem, whether the
image must list cleanly ("control"), the names expected in "/", and what was done.

usage: make-damaged-cards.py --out DIR [--seed N] [--count N] [--only I,J-K] [--list]
"""

import argparse
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import uuid

FAKE_TIME = "1700000000"
PARTITION_OFFSET = 1 << 20
CHECKSUM_FEATURE = 0x400  # ro_compat metadata_csum
CHECKSUM_SEED_FEATURE = 0x2000  # incompat metadata_csum_seed

# Bases: (name, mke2fs arguments, size in MiB, lists cleanly).
BASES = {
    "ext4": (["-t", "ext4", "-b", "4096"], 12, True),
    "ext4-1k": (["-t", "ext4", "-b", "1024"], 10, True),
    "ext4-nocsum": (["-t", "ext4", "-b", "4096", "-O", "^metadata_csum,^metadata_csum_seed"], 12,
                    True),
    "ext3": (["-t", "ext3", "-b", "1024"], 10, True),
    "ext3-4k": (["-t", "ext3", "-b", "4096"], 12, True),
    "ext2": (["-t", "ext2", "-b", "1024"], 8, True),
    "ext4-64k": (["-t", "ext4", "-b", "65536", "-O", "^has_journal,^resize_inode"], 16, False),
}
JOURNALED = ["ext4", "ext4-1k", "ext4-nocsum", "ext3", "ext3-4k"]
EXTENTS = ["ext4", "ext4-1k", "ext4-nocsum"]
CHECKSUMMED = ["ext4", "ext4-1k"]
ANY = list(BASES)

# Unusual but valid filesystems, made fresh: (name, mke2fs arguments).
UNUSUAL = [
    ("bigalloc", ["-t", "ext4", "-O", "bigalloc", "-C", "16384"]),
    ("inline-data", ["-t", "ext4", "-O", "inline_data"]),
    ("casefold", ["-t", "ext4", "-O", "casefold", "-E", "encoding=utf8"]),
    ("encrypt-verity", ["-t", "ext4", "-O", "encrypt,verity"]),
    ("large-dir-meta-bg", ["-t", "ext4", "-O", "large_dir,meta_bg,^resize_inode"]),
    ("no-extents", ["-t", "ext4", "-O", "^extent,^flex_bg,^64bit"]),
    ("small-inodes", ["-t", "ext4", "-I", "128"]),
    ("big-inodes", ["-t", "ext4", "-I", "1024"]),
    ("quota-project", ["-t", "ext4", "-O", "quota,project"]),
    ("mmp", ["-t", "ext4", "-O", "mmp", "-E", "mmp_update_interval=1"]),
    ("ext2-many-groups", ["-t", "ext2", "-b", "1024", "-g", "256", "-N", "512"]),
    ("journal-device", ["-O", "journal_dev", "-b", "4096"]),
]

CATEGORIES = [
    "superblock-field", "group-descriptor-field", "inode-field", "directory", "extent-tree",
    "journal", "truncated", "checksum", "feature", "bitmap", "superblock-bits",
    "group-descriptor-bits", "inode-bits", "directory", "journal", "extent-tree",
    "superblock-field", "inode-field", "partition-table", "feature",
]

# ---------------------------------------------------------------------------------------------
# crc32c as ext4 and jbd2 use it: the raw register, no final inversion.

_CRC_TABLE = []
for _n in range(256):
    _c = _n
    for _ in range(8):
        _c = (_c >> 1) ^ 0x82F63B78 if _c & 1 else _c >> 1
    _CRC_TABLE.append(_c)


def crc32c(crc, data):
    table = _CRC_TABLE
    for byte in data:
        crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8)
    return crc


# ---------------------------------------------------------------------------------------------
# Tools


class ToolError(Exception):
    pass


def environment():
    env = dict(os.environ)
    env["E2FSPROGS_FAKE_TIME"] = FAKE_TIME
    env["MKE2FS_CONFIG"] = env.get("MKE2FS_CONFIG", "/etc/mke2fs.conf")
    env["LC_ALL"] = "C"
    env["TZ"] = "UTC"
    return env


ENV = environment()


def run(args, data=None, check=True):
    result = subprocess.run(args, input=data, env=ENV, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    if check and result.returncode != 0:
        raise ToolError(" ".join(args) + ": " + result.stdout.decode(errors="replace")[-400:])
    return result.stdout.decode(errors="replace")


def debugfs(image, commands, write=True, ignore_checksums=False):
    args = ["debugfs"] + (["-w"] if write else []) + (["-n"] if ignore_checksums else [])
    return run(args + ["-f", "-", image], data="\n".join(commands).encode() + b"\n", check=False)


def read_at(path, offset, size):
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read(size)


def write_at(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def flip_bits(path, offset, size, rng, count):
    flipped = []
    for _ in range(count):
        bit = rng.randrange(size * 8)
        byte = read_at(path, offset + bit // 8, 1)[0] ^ (1 << (bit % 8))
        write_at(path, offset + bit // 8, bytes([byte]))
        flipped.append(bit)
    return ", ".join("bit %d of byte %#x" % (b % 8, b // 8) for b in flipped)


# ---------------------------------------------------------------------------------------------
# Filesystem geometry, read with dumpe2fs and debugfs


class Geometry:
    def __init__(self, image):
        text = run(["dumpe2fs", image], check=False)
        self.block_size = int(re.search(r"^Block size:\s+(\d+)", text, re.M).group(1))
        size = re.search(r"^Inode size:\s+(\d+)", text, re.M)
        self.inode_size = int(size.group(1)) if size else 128
        self.blocks = int(re.search(r"^Block count:\s+(\d+)", text, re.M).group(1))
        self.features = re.search(r"^Filesystem features:\s+(.*)$", text, re.M).group(1).split()
        self.groups = []
        for match in re.finditer(r"^Group (\d+): .*?(?=^Group |\Z)", text, re.M | re.S):
            block = match.group(0)
            numbers = {}
            for key, pattern in (("block_bitmap", r"Block bitmap at (\d+)"),
                                 ("inode_bitmap", r"Inode bitmap at (\d+)"),
                                 ("inode_table", r"Inode table at (\d+)-(\d+)"),
                                 ("descriptors", r"Group descriptors at (\d+)-(\d+)")):
                found = re.search(pattern, block)
                if found:
                    numbers[key] = tuple(int(g) for g in found.groups())
            self.groups.append(numbers)
        self.checksummed = "metadata_csum" in self.features

    def inode_location(self, image, inode):
        text = debugfs(image, ["imap <%d>" % inode], write=False)
        found = re.search(r"located at block (\d+), offset (0x[0-9a-f]+)", text)
        return int(found.group(1)) * self.block_size + int(found.group(2), 16)


def inode_of(image, path):
    text = debugfs(image, ["stat %s" % path], write=False)
    found = re.search(r"Inode: (\d+)", text)
    return int(found.group(1)) if found else None


def generation_of(image, inode):
    text = debugfs(image, ["stat <%d>" % inode], write=False)
    found = re.search(r"Generation: (\d+)", text)
    return int(found.group(1)) if found else 0


def blocks_of(image, path):
    text = debugfs(image, ["blocks %s" % path], write=False)
    return [int(b) for b in text.split() if b.isdigit()]


def extent_blocks(image, path):
    text = debugfs(image, ["stat %s" % path], write=False)
    return [int(b) for b in re.findall(r"\(ETB\d+\):(\d+)", text)]


def checksum_seed(image):
    superblock = read_at(image, 1024, 1024)
    if struct.unpack_from("<I", superblock, 0x60)[0] & CHECKSUM_SEED_FEATURE:
        return struct.unpack_from("<I", superblock, 0x270)[0]
    return crc32c(0xFFFFFFFF, superblock[0x68:0x78])


def inode_seed(image, inode):
    seed = crc32c(checksum_seed(image), struct.pack("<I", inode))
    return crc32c(seed, struct.pack("<I", generation_of(image, inode)))


def fix_superblock_checksum(image):
    superblock = bytearray(read_at(image, 1024, 1024))
    struct.pack_into("<I", superblock, 0x3FC, crc32c(0xFFFFFFFF, superblock[:0x3FC]))
    write_at(image, 1024, bytes(superblock))


def fix_directory_block(image, geometry, inode, block):
    """Makes the checksum of a directory leaf or htree block match its bytes."""
    bs = geometry.block_size
    data = bytearray(read_at(image, block * bs, bs))
    seed = inode_seed(image, inode)
    if struct.unpack_from("<HBB", data, bs - 8) == (12, 0, 0xDE):  # leaf tail
        struct.pack_into("<I", data, bs - 4, crc32c(seed, data[:bs - 12]))
    else:  # htree root (count/limit after "." and ".."), or an interior node (after a hole)
        offset = 32 if struct.unpack_from("<H", data, 4)[0] == 12 else 8
        limit, count = struct.unpack_from("<HH", data, offset)
        tail = offset + limit * 8
        if tail + 8 > bs or count > limit:
            return
        csum = crc32c(seed, data[:offset + count * 8])
        struct.pack_into("<I", data, tail + 4, crc32c(csum, data[tail:tail + 4]))
    write_at(image, block * bs, bytes(data))


def fix_extent_block(image, geometry, inode, block):
    bs = geometry.block_size
    data = bytearray(read_at(image, block * bs, bs))
    maximum = struct.unpack_from("<H", data, 4)[0]
    tail = 12 + 12 * maximum
    if tail + 4 > bs:
        return
    struct.pack_into("<I", data, tail, crc32c(inode_seed(image, inode), data[:tail]))
    write_at(image, block * bs, bytes(data))


def fix_journal_superblock(image, offset):
    data = bytearray(read_at(image, offset, 1024))
    struct.pack_into(">I", data, 0xFC, 0)
    struct.pack_into(">I", data, 0xFC, crc32c(0xFFFFFFFF, data))
    write_at(image, offset, bytes(data))


# ---------------------------------------------------------------------------------------------
# The tree every base holds


def make_tree(root, rng):
    os.makedirs(os.path.join(root, "docs"))
    os.makedirs(os.path.join(root, "photos"))
    os.makedirs(os.path.join(root, "many"))
    os.makedirs(os.path.join(root, "deep", "a", "b", "c"))
    with open(os.path.join(root, "README.txt"), "w") as f:
        f.write("A card for the damaged-card tests.\n" * 20)
    with open(os.path.join(root, "docs", "notes.txt"), "w") as f:
        f.write("".join("line %d of the notes\n" % i for i in range(400)))
    for i in range(3):
        with open(os.path.join(root, "photos", "img_%04d.jpg" % i), "wb") as f:
            f.write(bytes(rng.getrandbits(8) for _ in range(20000 + 7000 * i)))
    for i in range(150):
        with open(os.path.join(root, "many", "entry-%03d-%s.txt" % (i, "x" * (i % 40))), "w") as f:
            f.write("%d\n" % i)
    with open(os.path.join(root, "deep", "a", "b", "c", "leaf.txt"), "w") as f:
        f.write("deep\n")
    # Sixteen 64 KiB runs with holes between them: more extents than the inode holds.
    with open(os.path.join(root, "sparse.bin"), "wb") as f:
        chunk = bytes(rng.getrandbits(8) for _ in range(4096)) * 16
        for _ in range(16):
            f.write(chunk)
            f.seek(65536, 1)
        f.truncate()
    os.symlink("README.txt", os.path.join(root, "link"))
    os.symlink("deep/" + "a/" * 40 + "long-target", os.path.join(root, "long-link"))
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            os.utime(os.path.join(dirpath, name), (1700000000, 1700000000), follow_symlinks=False)


ROOT_NAMES = ["README.txt", "deep", "docs", "link", "long-link", "lost+found", "many", "photos",
              "sparse.bin"]


def make_filesystem(path, tree, args, size_mib, rng):
    fs_uuid = str(uuid.UUID(int=rng.getrandbits(128), version=4))
    hash_seed = str(uuid.UUID(int=rng.getrandbits(128), version=4))
    if os.path.exists(path):
        os.unlink(path)
    extended = ["-E", "hash_seed=" + hash_seed]
    for i, arg in enumerate(args):
        if arg == "-E":  # merge with the caller's extended options
            extended = ["-E", args[i + 1] + ",hash_seed=" + hash_seed]
            args = args[:i] + args[i + 2:]
            break
    journal_device = "journal_dev" in " ".join(args)
    command = ["mke2fs", "-q", "-F", "-L", "CARD", "-U", fs_uuid] + args + extended
    if not journal_device:
        command += ["-d", tree]
    run(command + [path, "%dM" % size_mib])
    if not journal_device:
        settle_times(path)
    settle_mmp(path)


def settle_mmp(image):
    """The multi-mount protection block names the host and the time it was written."""
    superblock = read_at(image, 1024, 1024)
    if not struct.unpack_from("<I", superblock, 0x60)[0] & 0x100:
        return
    block_size = 1024 << struct.unpack_from("<I", superblock, 0x18)[0]
    offset = struct.unpack_from("<Q", superblock, 0x168)[0] * block_size
    mmp = bytearray(read_at(image, offset, 1024))
    struct.pack_into("<IQ64s32s", mmp, 4, 0xFF4D4D50, int(FAKE_TIME), b"card", b"card")
    if struct.unpack_from("<I", superblock, 0x64)[0] & CHECKSUM_FEATURE:
        struct.pack_into("<I", mmp, 1020, crc32c(checksum_seed(image), mmp[:1020]))
    write_at(image, offset, bytes(mmp))


def settle_commit_times(image, journal_blocks, block_size):
    """debugfs stamps the transactions it writes with the real clock."""
    jsb = read_at(image, journal_blocks[0] * block_size, 1024)
    checksummed = struct.unpack_from(">I", jsb, 0x28)[0] & 0x18
    seed = crc32c(0xFFFFFFFF, jsb[0x30:0x40])
    for number in journal_blocks[1:]:
        block = bytearray(read_at(image, number * block_size, block_size))
        if struct.unpack_from(">II", block, 0) != (0xC03B3998, 2):
            continue
        struct.pack_into(">QI", block, 0x30, int(FAKE_TIME), 0)
        if checksummed:
            struct.pack_into(">I", block, 0x10, 0)
            struct.pack_into(">I", block, 0x10, crc32c(seed, block))
        write_at(image, number * block_size, bytes(block))


def settle_times(image):
    """mke2fs -d copies the tree's access and change times, which no run can repeat."""
    inodes, folders = set(), ["/"]
    while folders:
        folder = folders.pop()
        for line in debugfs(image, ["ls -p %s" % folder], write=False).splitlines():
            fields = line.split("/")
            if len(fields) < 7 or fields[5] in (".", ".."):
                continue
            inodes.add(int(fields[1]))
            if int(fields[2], 8) & 0o170000 == 0o040000:
                folders.append(folder.rstrip("/") + "/" + fields[5])
    commands = []
    for inode in sorted(inodes):
        commands += ["sif <%d> %s" % (inode, setting) for setting in
                     ("atime @" + FAKE_TIME, "ctime @" + FAKE_TIME, "atime_extra 0",
                      "ctime_extra 0")]
    debugfs(image, commands)


# ---------------------------------------------------------------------------------------------
# Damage: each takes (rng, image, geometry, tree facts) and describes what it did.


class Card:
    def __init__(self, fs, base, rng):
        self.fs = fs
        self.base = base
        self.rng = rng
        self.geometry = Geometry(fs)
        self.notes = []

    def note(self, text):
        self.notes.append(text)

    @property
    def bs(self):
        return self.geometry.block_size


def descriptor_offset(card):
    """The first group descriptor: in the block after the superblock's."""
    return 2048 if card.bs == 1024 else card.bs


def pick(rng, values):
    return values[rng.randrange(len(values))]


def superblock_field(card):
    rng, g = card.rng, card.geometry
    choices = [
        ("inodes_count", [0, 1, 0xFFFFFFFF]), ("blocks_count", [0, 1, g.blocks * 16, 0xFFFFFFFF]),
        ("first_data_block", [5, 0x7FFFFFFF]), ("log_block_size", [3, 7, 20, 0xFFFFFFFF]),
        ("log_cluster_size", [7, 31]), ("blocks_per_group", [0, 1, 8, 0xFFFFFFFF]),
        ("inodes_per_group", [0, 1, 3, 0xFFFFFFFF]), ("inode_size", [0, 1, 100, 129, 1024, 65535]),
        ("first_ino", [0, 1, 3, 0xFFFFFFFF]), ("rev_level", [0, 2, 255]),
        ("desc_size", [0, 16, 33, 1024, 65535]), ("log_groups_per_flex", [0, 31, 255]),
        ("reserved_gdt_blocks", [65535]), ("journal_inum", [0, 2, 11, 12, 0xFFFFFFFF]),
        ("last_orphan", [2, 11, 12, 13, 0xFFFFFFFF]), ("errors", [0, 3, 255]),
        ("state", [0, 2, 4, 0xFFFF]), ("min_extra_isize", [0xFFFF, 3]),
        ("want_extra_isize", [0xFFFF, 200]), ("first_meta_bg", [0xFFFFFFFF, 1]),
        ("mmp_block", [1, 0xFFFFFFFF]), ("checksum_type", [0, 2, 255]),
        ("backup_bgs[0]", [0xFFFFFFFF]), ("usr_quota_inum", [2, 999, 0xFFFFFFFF]),
        ("free_blocks_count", [0, 0xFFFFFFFF]), ("free_inodes_count", [0xFFFFFFFF]),
        ("max_mnt_count", [1]), ("mnt_count", [65535]), ("def_hash_version", [6, 255]),
    ]
    commands = []
    for _ in range(rng.choice([1, 1, 2])):
        field, values = pick(rng, choices)
        value = pick(rng, values)
        commands.append("ssv %s %d" % (field, value))
        card.note("%s=%d" % (field, value))
    debugfs(card.fs, commands)


def superblock_bits(card):
    rng = card.rng
    region = pick(card.rng, [(0, 0x100), (0x5C, 0x0C), (0x100, 0x200), (0, 0x400)])
    card.note("superblock " + flip_bits(card.fs, 1024 + region[0], region[1], rng,
                                        rng.randint(1, 8)))
    if card.geometry.checksummed and rng.random() < 0.6:
        fix_superblock_checksum(card.fs)
        card.note("checksum matches")


def label_bytes(card):
    label = pick(card.rng, [b"\x1b[31mRED\x1b[0m", b"../../etc\x00", b"\xff\xfe\xfd\xfc" * 4,
                            b"a/b\\c\nd\te\x7f"])
    write_at(card.fs, 1024 + 0x78, label.ljust(16, b"\x00")[:16])
    if card.geometry.checksummed:
        fix_superblock_checksum(card.fs)
    card.note("volume label bytes %r" % label)


def group_descriptor_field(card):
    rng, g = card.rng, card.geometry
    group = pick(rng, [0, 0, len(g.groups) - 1])
    other = g.groups[-1].get("inode_table", (1, 1))[0]
    fields = [
        ("block_bitmap", [0, 1, other, g.blocks + 10, 0xFFFFFFFF]),
        ("inode_bitmap", [0, 1, other, g.blocks + 10]),
        ("inode_table", [0, 1, 2, other, g.blocks - 1, g.blocks + 10, 0xFFFFFFFF]),
        ("free_blocks_count", [0, 65535]), ("free_inodes_count", [0, 65535]),
        ("used_dirs_count", [0, 65535]), ("flags", [1, 2, 3, 4, 0xFFFF]),
        ("itable_unused", [65535, 8192]),
    ]
    field, values = pick(rng, fields)
    value = pick(rng, values)
    debugfs(card.fs, ["set_bg %d %s %d" % (group, field, value),
                      "set_bg %d checksum calc" % group])
    card.note("group %d %s=%d" % (group, field, value))


def group_descriptor_bits(card):
    rng, g = card.rng, card.geometry
    card.note("descriptors " + flip_bits(card.fs, descriptor_offset(card), 64, rng,
                                         rng.randint(1, 6)))


def bitmap(card):
    rng, g = card.rng, card.geometry
    group = pick(rng, [0, 0, len(g.groups) - 1])
    kind = pick(rng, ["block_bitmap", "inode_bitmap"])
    block = g.groups[group].get(kind, (None,))[0]
    if block is None:
        return superblock_bits(card)
    offset = block * card.bs
    action = pick(rng, ["zero", "fill", "flip", "random"])
    if action == "zero":
        write_at(card.fs, offset, bytes(card.bs))
    elif action == "fill":
        write_at(card.fs, offset, b"\xff" * card.bs)
    elif action == "flip":
        flip_bits(card.fs, offset, card.bs // 8, rng, rng.randint(1, 32))
    else:
        write_at(card.fs, offset, bytes(rng.getrandbits(8) for _ in range(card.bs)))
    card.note("group %d %s %s" % (group, kind, action))


def target_inode(card):
    path = pick(card.rng, ["/", "/", "/many", "/docs", "/README.txt", "/sparse.bin", "/link",
                           "/long-link", "/deep/a", "<8>", "<7>", "<11>"])
    inode = int(path[1:-1]) if path.startswith("<") else inode_of(card.fs, path)
    return path, inode


def inode_field(card):
    rng = card.rng
    path, inode = target_inode(card)
    if inode is None:
        return superblock_field(card)
    fields = [
        ("mode", [0, 0o010644, 0o140755, 0o060644, 0o100644, 0o040755, 0o120777, 0xFFFF]),
        ("size", [0, 1, 0xFFFFFFFF, 4096 * 1024 * 1024]), ("size_high", [0x7FFFFFFF]),
        ("links_count", [0, 65535]),
        ("flags", [0, 0x80000, 0x10000000, 0x1000, 0x10, 0x800, 0x40000000, 0xFFFFFFFF]),
        ("block[0]", [0, 0xF30A, 0x0004F30A, 0xFFFFFFFF]), ("block[1]", [0x00050004, 0xFFFF0004]),
        ("block[4]", [0, 1, 2, 0xFFFFFFFF]), ("block[5]", [0xFFFF]),
        ("file_acl", [1, 2, 0xFFFFFFFF]), ("extra_isize", [0xFFFF, 3, 200]),
        ("dtime", [1, 0xFFFFFFFF]), ("uid", [0xFFFFFFFF]), ("blocks", [0, 0xFFFFFFFF]),
        ("mtime", [0xFFFFFFFF]), ("mtime_extra", [0xFFFFFFFF, 3]), ("generation", [0xFFFFFFFF]),
    ]
    field, values = pick(rng, fields)
    value = pick(rng, values)
    text = "@%d" % value if field == "mtime" else "%d" % value
    debugfs(card.fs, ["sif <%d> %s %s" % (inode, field, text)])
    card.note("inode %d (%s) %s=%d" % (inode, path, field, value))


def inode_bits(card):
    rng = card.rng
    path, inode = target_inode(card)
    if inode is None:
        return superblock_bits(card)
    offset = card.geometry.inode_location(card.fs, inode)
    card.note("inode %d (%s) %s" % (inode, path, flip_bits(card.fs, offset,
                                                           card.geometry.inode_size, rng,
                                                           rng.randint(1, 6))))
    if card.geometry.checksummed and rng.random() < 0.6:
        debugfs(card.fs, ["sif <%d> checksum calc" % inode], ignore_checksums=True)
        card.note("checksum matches")


def directory(card):
    rng, bs = card.rng, card.bs
    path = pick(rng, ["/", "/many", "/many", "/deep/a", "/docs"])
    inode = inode_of(card.fs, path)
    blocks = blocks_of(card.fs, path)
    if inode is None or not blocks:
        return inode_bits(card)
    index = pick(rng, [0, 0, len(blocks) - 1, rng.randrange(len(blocks))])
    block = blocks[index]
    data = bytearray(read_at(card.fs, block * bs, bs))
    entries = []
    offset = 0
    while offset + 8 <= bs:
        rec_len = struct.unpack_from("<H", data, offset + 4)[0]
        entries.append(offset)
        if rec_len < 8 or offset + rec_len > bs:
            break
        offset += rec_len
    entry = pick(rng, entries)
    action = pick(rng, ["rec_len", "inode", "name_len", "file_type", "name", "flip", "htree"])
    if action == "rec_len":
        value = pick(rng, [0, 1, 7, 13, bs, bs * 2, 0xFFFF])
        struct.pack_into("<H", data, entry + 4, value & 0xFFFF)
    elif action == "inode":
        value = pick(rng, [1, 7, 8, 2, 0x7FFFFFFF, 0xFFFFFFFF])
        struct.pack_into("<I", data, entry, value)
    elif action == "name_len":
        value = pick(rng, [0, 255, 64])
        struct.pack_into("<B", data, entry + 6, value)
    elif action == "file_type":
        value = pick(rng, [0, 2, 7, 9, 255])
        struct.pack_into("<B", data, entry + 7, value)
    elif action == "name":
        name_len = data[entry + 6]
        replacement = pick(rng, [b"/", b"..", b".", b"\x00", b"a/b", b"\xff\xfe", b"\x1b[2J"])
        if name_len:
            data[entry + 8:entry + 8 + min(name_len, len(replacement))] = \
                replacement[:name_len]
            value = replacement
    elif action == "htree":
        field = pick(rng, [(28, "<B", [1, 6, 255]), (29, "<B", [0, 255]), (30, "<B", [3, 255]),
                           (32, "<H", [0, 1, 0xFFFF]), (34, "<H", [0, 0xFFFF]),
                           (36, "<I", [0xFFFFFFFF, 1, 9999])])
        value = pick(rng, field[2])
        entry = field[0]
        struct.pack_into(field[1], data, entry, value)
    else:
        value = flip_bits_in(data, rng, rng.randint(1, 8))
    write_at(card.fs, block * bs, bytes(data))
    card.note("%s block %d (#%d) at %d: %s=%r" % (path, block, index, entry, action, value))
    if card.geometry.checksummed and rng.random() < 0.6:
        fix_directory_block(card.fs, card.geometry, inode, block)
        card.note("checksum matches")


def flip_bits_in(data, rng, count):
    bits = []
    for _ in range(count):
        bit = rng.randrange(len(data) * 8)
        data[bit // 8] ^= 1 << (bit % 8)
        bits.append(bit)
    return bits


def extent_tree(card):
    rng, g = card.rng, card.geometry
    inode = inode_of(card.fs, "/sparse.bin")
    leaves = extent_blocks(card.fs, "/sparse.bin")
    if rng.random() < 0.4 or not leaves:
        # The root in the inode: header, then the first index or extent.
        field, value = pick(rng, [
            ("block[0]", 0x0004F30B), ("block[0]", 0x0005F30A), ("block[1]", 0x00050004),
            ("block[1]", 0xFFFF0004), ("block[1]", 0x00000004), ("block[4]", 0),
            ("block[4]", 1), ("block[4]", leaves[0] if leaves else 2), ("block[4]", g.blocks + 7),
            ("block[3]", 0xFFFFFFFF), ("block[5]", 0xFFFF)])
        debugfs(card.fs, ["sif <%d> %s %d" % (inode, field, value)])
        card.note("sparse.bin root %s=%#x" % (field, value))
        return
    leaf = leaves[0]
    data = bytearray(read_at(card.fs, leaf * card.bs, card.bs))
    entries = struct.unpack_from("<H", data, 2)[0]
    action = pick(rng, ["magic", "entries", "depth", "len", "start", "order", "flip"])
    k = rng.randrange(max(entries, 1))
    at = 12 + 12 * k
    if action == "magic":
        struct.pack_into("<H", data, 0, 0xF30B)
    elif action == "entries":
        struct.pack_into("<H", data, 2, pick(rng, [0, 0xFFFF, struct.unpack_from("<H", data, 4)[0] + 1]))
    elif action == "depth":
        struct.pack_into("<H", data, 6, pick(rng, [1, 5, 0xFFFF]))
    elif action == "len":
        struct.pack_into("<H", data, at + 4, pick(rng, [0, 0x8000, 0xFFFF, 32768]))
    elif action == "start":
        target = pick(rng, [0, 1, g.blocks - 1, g.blocks + 100, leaf,
                            g.groups[0].get("inode_table", (2,))[0]])
        struct.pack_into("<HI", data, at + 6, 0, target)
    elif action == "order":
        struct.pack_into("<I", data, at, pick(rng, [0, 0xFFFFFFFF, 5]))
    else:
        flip_bits_in(data, rng, rng.randint(1, 8))
    write_at(card.fs, leaf * card.bs, bytes(data))
    card.note("sparse.bin leaf %d entry %d %s" % (leaf, k, action))
    if g.checksummed and rng.random() < 0.6:
        fix_extent_block(card.fs, g, inode, leaf)
        card.note("checksum matches")


def journal_superblock_offset(card):
    blocks = blocks_of(card.fs, "<8>")
    return blocks[0] * card.bs if blocks else None


def set_needs_recovery(card):
    superblock = read_at(card.fs, 1024, 1024)
    incompat = struct.unpack_from("<I", superblock, 0x60)[0] | 0x4
    debugfs(card.fs, ["ssv feature_incompat %d" % incompat])


def journal(card):
    rng, g = card.rng, card.geometry
    jsb = journal_superblock_offset(card)
    if jsb is None:
        return superblock_field(card)
    action = pick(rng, ["forged", "forged", "forged-flipped", "jsb-bits", "jsb-field", "inode"])
    if action.startswith("forged"):
        targets = {"descriptors": descriptor_offset(card) // card.bs,
                   "root inode table": g.inode_location(card.fs, 2) // card.bs,
                   "root directory": blocks_of(card.fs, "/")[0],
                   "block bitmap": g.groups[0]["block_bitmap"][0],
                   "many directory": blocks_of(card.fs, "/many")[-1]}
        name = pick(rng, sorted(targets))
        block = targets[name]
        original = bytearray(read_at(card.fs, block * card.bs, card.bs))
        if rng.random() < 0.5:
            junk = bytes(rng.getrandbits(8) for _ in range(card.bs))
            what = "random bytes"
        else:
            flip_bits_in(original, rng, rng.randint(1, 16))
            junk = bytes(original)
            what = "flipped copy"
        with tempfile.NamedTemporaryFile(dir=os.path.dirname(card.fs), delete=False) as f:
            f.write(junk)
        debugfs(card.fs, ["jo", "jw -b %d %s" % (block, f.name), "jc"])
        os.unlink(f.name)
        settle_commit_times(card.fs, blocks_of(card.fs, "<8>"), card.bs)
        card.note("journal transaction writing %s over the %s (block %d)" % (what, name, block))
        if action == "forged-flipped":
            card.note("journal " + flip_bits(card.fs, jsb + card.bs, card.bs * 2, rng,
                                             rng.randint(1, 8)))
        if "needs_recovery" not in Geometry(card.fs).features:
            set_needs_recovery(card)
    elif action == "jsb-bits":
        card.note("journal superblock " + flip_bits(card.fs, jsb, 0x100, rng, rng.randint(1, 6)))
        if rng.random() < 0.5:
            set_needs_recovery(card)
            card.note("needs recovery")
    elif action == "jsb-field":
        offset, value = pick(rng, [(0x0C, 0), (0x0C, 512), (0x0C, 1 << 20), (0x10, 0),
                                   (0x10, 0xFFFFFFFF), (0x14, 0), (0x14, 0xFFFFFFF0),
                                   (0x1C, 0xFFFFFFF0), (0x1C, 1), (0x28, 0x80000000),
                                   (0x28, 0x10), (0x40, 0), (0x40, 4096), (0x18, 0)])
        write_at(card.fs, jsb + offset, struct.pack(">I", value))
        if g.checksummed:
            fix_journal_superblock(card.fs, jsb)
        set_needs_recovery(card)
        card.note("journal superblock field %#x=%#x, needs recovery" % (offset, value))
    else:
        field, value = pick(rng, [("size", 0), ("mode", 0o040755), ("block[4]", 0xFFFFFFFF),
                                  ("flags", 0), ("links_count", 0)])
        debugfs(card.fs, ["sif <8> %s %d" % (field, value)])
        set_needs_recovery(card)
        card.note("journal inode %s=%d, needs recovery" % (field, value))


def checksum(card):
    rng, g = card.rng, card.geometry
    place = pick(rng, ["superblock", "descriptor", "inode", "directory", "extent",
                       "block bitmap", "journal superblock"])
    if place == "superblock":
        offset = 1024 + 0x3FC
    elif place in ("descriptor", "block bitmap"):
        offset = descriptor_offset(card) + (0x1E if place == "descriptor" else 0x18)
    elif place == "inode":
        offset = g.inode_location(card.fs, pick(rng, [2, inode_of(card.fs, "/README.txt")])) + 0x7C
    elif place == "directory":
        offset = (blocks_of(card.fs, "/docs")[0] + 1) * card.bs - 4
    elif place == "extent":
        leaf = extent_blocks(card.fs, "/sparse.bin")
        maximum = struct.unpack_from("<H", read_at(card.fs, leaf[0] * card.bs + 4, 2))[0]
        offset = leaf[0] * card.bs + 12 + 12 * maximum
    else:
        offset = journal_superblock_offset(card) + 0xFC
    card.note("%s checksum %s" % (place, flip_bits(card.fs, offset, 1, rng, 1)))


def feature(card):
    rng = card.rng
    superblock = read_at(card.fs, 1024, 1024)
    compat, incompat, ro_compat = struct.unpack_from("<III", superblock, 0x5C)
    field, bits, why = pick(rng, [
        ("feature_incompat", 0x40000 << rng.randrange(13), "unknown incompatible feature"),
        ("feature_ro_compat", 0x100000 << rng.randrange(11), "unknown read-only feature"),
        ("feature_compat", 0x10000 << rng.randrange(15), "unknown compatible feature"),
        ("feature_incompat", 0x1, "compression"), ("feature_incompat", 0x8, "journal device"),
        ("feature_incompat", 0x10, "meta_bg"), ("feature_incompat", 0x80, "64bit toggled"),
        ("feature_incompat", 0x100, "mmp"), ("feature_incompat", 0x8000, "inline_data"),
        ("feature_incompat", 0x10000, "encrypt"), ("feature_incompat", 0x20000, "casefold"),
        ("feature_ro_compat", 0x200, "bigalloc"), ("feature_ro_compat", 0x400,
                                                    "metadata_csum toggled"),
        ("feature_ro_compat", 0x10, "gdt_csum toggled"), ("feature_incompat", 0x4,
                                                          "needs recovery"),
    ])
    value = {"feature_compat": compat, "feature_incompat": incompat,
             "feature_ro_compat": ro_compat}[field] ^ bits
    commands = ["ssv %s %d" % (field, value)]
    if why == "mmp":
        commands += ["ssv mmp_block %d" % rng.randrange(card.geometry.blocks),
                     "ssv mmp_interval %d" % pick(rng, [1, 300, 65535])]
    debugfs(card.fs, commands)
    card.note("%s %#x (%s)" % (field, value, why))


DAMAGE = {
    "superblock-field": (superblock_field, ANY),
    "superblock-bits": (superblock_bits, ANY),
    "group-descriptor-field": (group_descriptor_field, ANY),
    "group-descriptor-bits": (group_descriptor_bits, ANY),
    "bitmap": (bitmap, ANY),
    "inode-field": (inode_field, ANY),
    "inode-bits": (inode_bits, ANY),
    "directory": (directory, ANY),
    "extent-tree": (extent_tree, EXTENTS),
    "journal": (journal, JOURNALED),
    "checksum": (checksum, CHECKSUMMED),
    "feature": (feature, ANY),
}


# ---------------------------------------------------------------------------------------------
# Cards: a partition table around the filesystem, or none


def assemble(card_path, fs_path, rng, layout):
    fs_size = os.path.getsize(fs_path)
    if layout == "bare":
        shutil.copyfile(fs_path, card_path)
        return
    sectors = fs_size // 512
    start = PARTITION_OFFSET // 512
    with open(card_path, "wb") as f:
        f.truncate(PARTITION_OFFSET + fs_size)
    if layout == "gpt":
        disk_id = uuid.UUID(int=rng.getrandbits(128), version=4)
        part_id = uuid.UUID(int=rng.getrandbits(128), version=4)
        with open(card_path, "r+b") as f:
            f.truncate(PARTITION_OFFSET + fs_size + (1 << 20))
        script = ("label: gpt\nlabel-id: %s\nstart=%d, size=%d, "
                  "type=0FC63DAF-8483-4772-8E79-3D69D8E47DE4, uuid=%s\n"
                  % (disk_id, start, sectors, part_id))
    else:
        script = "label: dos\nlabel-id: 0x%08x\nstart=%d, size=%d, type=83\n" % (
            rng.getrandbits(32), start, sectors)
    run(["sfdisk", "-q", "--no-reread", "--no-tell-kernel", card_path], data=script.encode())
    with open(fs_path, "rb") as src, open(card_path, "r+b") as dst:
        dst.seek(PARTITION_OFFSET)
        shutil.copyfileobj(src, dst, 1 << 20)


def mbr_entry(boot, kind, start, sectors):
    return struct.pack("<B3sB3sII", boot, b"\xfe\xff\xff", kind, b"\xfe\xff\xff", start, sectors)


def partition_table(card_path, fs_path, rng):
    assemble(card_path, fs_path, rng, "mbr")
    size = os.path.getsize(card_path) // 512
    start = PARTITION_OFFSET // 512
    fs_sectors = os.path.getsize(fs_path) // 512
    action = pick(rng, ["past-end", "start-past-end", "overlap", "ebr-loop", "huge", "gpt-crc",
                        "zero-size"])
    if action == "past-end":
        entries = [mbr_entry(0, 0x83, start, fs_sectors * 4)]
    elif action == "start-past-end":
        entries = [mbr_entry(0, 0x83, size + 100, fs_sectors), mbr_entry(0, 0x83, start,
                                                                         fs_sectors)]
    elif action == "overlap":
        entries = [mbr_entry(0, 0x83, start, fs_sectors), mbr_entry(0, 0x83, start, fs_sectors),
                   mbr_entry(0, 0x83, start - 2, fs_sectors)]
    elif action == "ebr-loop":
        # An extended partition whose first logical table points back at itself.
        entries = [mbr_entry(0, 0x83, start, fs_sectors), mbr_entry(0, 0x05, 64, 1900)]
        write_at(card_path, 64 * 512 + 446,
                 mbr_entry(0, 0x83, 10, 20) + mbr_entry(0, 0x05, 0, 1900) + bytes(32) +
                 b"\x55\xaa")
    elif action == "huge":
        entries = [mbr_entry(0, 0x83, 0xFFFFFFF0, 0xFFFFFFFF), mbr_entry(0, 0x83, start,
                                                                         fs_sectors)]
    elif action == "zero-size":
        entries = [mbr_entry(0, 0x83, start, 0), mbr_entry(0, 0x83, start, fs_sectors)]
    else:
        os.unlink(card_path)
        assemble(card_path, fs_path, rng, "gpt")
        flip_bits(card_path, 512 + 0x10, 4, rng, 1)  # the header's CRC
        flip_bits(card_path, 1024, 128, rng, rng.randint(1, 4))  # the first entry
        return "gpt header checksum and first entry flipped"
    table = b"".join(entries).ljust(64, b"\x00")
    write_at(card_path, 446, table + b"\x55\xaa")
    return "mbr " + action


# ---------------------------------------------------------------------------------------------


def parse_only(text, count):
    chosen = set()
    for part in text.split(","):
        if "-" in part:
            low, high = part.split("-")
            chosen.update(range(int(low), int(high) + 1))
        elif part:
            chosen.add(int(part))
    return sorted(i for i in chosen if 0 <= i < count)


def plan(seed, count):
    """(index, name, category, base) for every image."""
    rows = []
    for i, base in enumerate(BASES):
        rows.append((i, "control", base))
    for name, _ in UNUSUAL:
        rows.append((len(rows), "unusual", name))
    i = len(rows)
    while len(rows) < count:
        category = CATEGORIES[(i - len(BASES) - len(UNUSUAL)) % len(CATEGORIES)]
        rng = random.Random("%d:%d:base" % (seed, i))
        if category == "truncated":
            base = pick(rng, ANY)
        elif category == "partition-table":
            base = pick(rng, ["ext4", "ext2", "ext4-1k"])
        else:
            base = pick(rng, DAMAGE[category][1])
        rows.append((i, category, base))
        i += 1
    return [(i, "%03d-%s-%s" % (i, category, base), category, base) for i, category, base in rows]


def make_image(seed, index, name, category, base, out, work):
    rng = random.Random("%d:%d" % (seed, index))
    tree = os.path.join(work, "tree")
    if not os.path.isdir(tree):
        make_tree(tree, random.Random("%d:tree" % seed))
    fs = os.path.join(work, "fs.img")
    base_rng = random.Random("%d:base:%s" % (seed, base))
    control = "no"
    if category == "unusual":
        args = dict(UNUSUAL)[base]
        make_filesystem(fs, tree, args, 24 if "bigalloc" in base else 12, base_rng)
        notes = ["mke2fs " + " ".join(args)]
        control = "no"
    else:
        # Each base is made once per run; its bytes depend only on the seed.
        args, size, lists = BASES[base]
        cached = os.path.join(work, "base-" + base + ".img")
        if not os.path.exists(cached):
            make_filesystem(cached, tree, args, size, base_rng)
        shutil.copyfile(cached, fs)
        notes = []
        if category == "control":
            control = "yes" if lists else "no"
            notes.append("undamaged")
    card_path = os.path.join(out, name + ".img")
    layout = pick(rng, ["mbr", "mbr", "mbr", "gpt", "bare"])
    if category in DAMAGE:
        fs_size = os.path.getsize(fs)
        card = Card(fs, base, rng)
        DAMAGE[category][0](card)
        notes += card.notes
        # debugfs writes backup superblocks where a hostile block count puts them.
        with open(fs, "r+b") as f:
            f.truncate(fs_size)
    if category == "partition-table":
        notes.append(partition_table(card_path, fs, rng))
        layout = "mbr"
    else:
        assemble(card_path, fs, rng, layout)
    if category == "truncated":
        size = os.path.getsize(card_path)
        start = 0 if layout == "bare" else PARTITION_OFFSET
        geometry = Geometry(fs)
        table = geometry.groups[0].get("inode_table", (2, 3))
        cut = pick(rng, [start + 512, start + 1536, start + 2 * geometry.block_size,
                         start + (table[0] + 1) * geometry.block_size, size // 2,
                         size - geometry.block_size, size - 1, start // 2 or 4096])
        with open(card_path, "r+b") as f:
            f.truncate(cut)
        notes.append("cut to %d of %d bytes" % (cut, size))
    run(["fallocate", "--dig-holes", card_path])
    notes.insert(0, layout)
    return control, "; ".join(notes).replace("\t", " ").replace("\n", " ")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--out", required=True)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--count", type=int, default=240)
    parser.add_argument("--only", default="")
    parser.add_argument("--list", action="store_true", help="print the plan, make nothing")
    options = parser.parse_args()
    rows = plan(options.seed, options.count)
    if options.only:
        wanted = set(parse_only(options.only, len(rows)))
        rows = [row for row in rows if row[0] in wanted]
    if options.list:
        for index, name, category, base in rows:
            print("%d\t%s\t%s\t%s" % (index, name, category, base))
        return 0
    os.makedirs(options.out, exist_ok=True)
    failures = 0
    with tempfile.TemporaryDirectory(dir=options.out) as work, \
            open(os.path.join(options.out, "manifest.tsv"), "w") as manifest:
        for index, name, category, base in rows:
            try:
                control, notes = make_image(options.seed, index, name, category, base,
                                            options.out, work)
            except (ToolError, AttributeError, IndexError, TypeError, ValueError) as error:
                print("make-damaged-cards: %s: %s" % (name, error), file=sys.stderr)
                failures += 1
                continue
            manifest.write("%s.img\t%s\t%s\t%s\t%s\t%s\n" % (
                name, category, base, control, ",".join(ROOT_NAMES), notes))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
