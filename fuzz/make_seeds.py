#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The requests are the ones the agent and helper transcript tests send; the replies are what
the agent answers to them; the images are small MBR and GPT disks and the first blocks of
ext2, ext3 and ext4 filesystems made with mkfs (fixed UUIDs and times, so the output does not
change between runs). Run it after changing a protocol; commit what it writes.
"""

import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def write(target, name, data):
    directory = os.path.join(CORPUS, target)
    os.makedirs(directory, exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(os.path.join(directory, name), "wb") as out:
        out.write(data)


def request(ident, method, params=None):
    message = {"jsonrpc": "2.0", "id": ident, "method": method}
    if params is not None:
        message["params"] = params
    return json.dumps(message, separators=(",", ":"), ensure_ascii=False)


def b64(text):
    return base64.b64encode(text.encode()).decode()


def agent_requests():
    singles = {
        "ping": request(1, "ping", {}),
        "ping-no-params": request(7, "ping"),
        "partitions": request(2, "get_partitions", {}),
        "list-root": request(3, "list_dir", {"path": "/"}),
        "list-partition": request(4, "list_dir", {"path": "/docs", "partition": "sdb1"}),
        "list-escape": request(5, "list_dir", {"path": "/to-root"}),
        "read": request(6, "read_file", {"path": "/a.txt", "max_bytes": 100}),
        "read-offset": request(8, "read_file", {"path": "/docs/b.bin", "max_bytes": 4,
                                                "offset": 1}),
        "read-huge": request(9, "read_file", {"path": "/a.txt", "max_bytes": 1 << 62}),
        "read-up": request(10, "read_file", {"path": "/up", "max_bytes": 100}),
        "write": request(11, "write_file", {"path": "/new.txt", "data_b64": b64("first")}),
        "write-empty": request(12, "write_file", {"path": "/empty/e", "data_b64": ""}),
        "write-link": request(13, "write_file", {"path": "/up", "data_b64": b64("x")}),
        "rename": request(14, "rename", {"path": "/a.txt", "new_name": "c.txt"}),
        "rename-up": request(15, "rename", {"path": "/a.txt", "new_name": "../c.txt"}),
        "copy": request(16, "copy_file", {"path": "/docs", "dest_path": "/docs copy"}),
        "mkdir": request(17, "create_directory", {"path": "/untitled folder"}),
        "delete": request(18, "delete", {"path": "/docs"}),
        "delete-link": request(19, "delete", {"path": "/to-root"}),
        "usage": request(20, "dir_usage", {"path": "/"}),
        "sync": request(21, "sync", {}),
        "unmount": request(22, "unmount", {}),
        "unknown": request(23, "format_disk", {}),
        "no-method": '{"jsonrpc":"2.0","id":4,"params":{}}',
        "params-array": request(5, "list_dir", [1, 2]),
        "array": "[1,2,3]",
        "truncated": '{"jsonrpc":"2.0","id":2,"method":"list_dir',
        "not-json": "this is not json",
        "dot-dot": request(24, "read_file", {"path": "/../outside.txt", "max_bytes": 10}),
        "nul": request(25, "list_dir", {"path": "/etc\u0000/x"}),
    }
    for name, line in singles.items():
        write("agent_request_fuzzer", name, line + "\n")
    chunks = [
        request(30, "write_file", {"path": "/big", "data_b64": b64("chunk one "), "offset": 0,
                                   "final": False}),
        request(31, "write_file", {"path": "/big", "data_b64": b64("chunk two"), "offset": 10,
                                   "final": True}),
        request(32, "read_file", {"path": "/big", "max_bytes": 100, "offset": 5}),
    ]
    write("agent_request_fuzzer", "upload-in-chunks", "\n".join(chunks) + "\n")
    session = [
        request(40, "create_directory", {"path": "/d"}),
        request(41, "copy_file", {"path": "/a.txt", "dest_path": "/d/a"}),
        request(42, "rename", {"path": "/d/a", "new_name": "b"}),
        request(43, "list_dir", {"path": "/d"}),
        request(44, "delete", {"path": "/d"}),
    ]
    write("agent_request_fuzzer", "session", "\n".join(session) + "\n")


def helper_requests():
    lines = {
        "ping": request(1, "ping", {}),
        "version": request(2, "get_version", {}),
        "open-usb": request(3, "open_disk", {"bsd_name": "sdb", "read_only": False}),
        "open-sd-ro": request(4, "open_disk", {"bsd_name": "mmcblk0", "read_only": True}),
        "open-fixed": request(5, "open_disk", {"bsd_name": "sda", "read_only": False}),
        "open-mounted": request(6, "open_disk", {"bsd_name": "sdc", "read_only": False}),
        "open-partition": request(7, "open_disk", {"bsd_name": "sdb1"}),
        "open-path": request(8, "open_disk", {"bsd_name": "../sdb"}),
        "open-link": request(9, "open_disk", {"bsd_name": "vdb"}),
        "open-bad-ro": request(10, "open_disk", {"bsd_name": "sdb", "read_only": "yes"}),
        "open-held": "\n".join([
            request(14, "open_disk", {"bsd_name": "sdb", "read_only": True}),
            request(15, "open_held_disk", {"bsd_name": "sdb"}),
            request(16, "open_held_disk", {"bsd_name": "sdb"}),
            request(17, "release_disk", {"bsd_name": "sdb"})]),
        "eject": request(11, "eject_disk", {"bsd_name": "sdb"}),
        "eject-sd": request(12, "eject_disk", {"bsd_name": "mmcblk0"}),
        "unknown": request(13, "format", {}),
        "not-json": "open_disk sdb",
    }
    for name, line in lines.items():
        write("helper_request_fuzzer", name, line + "\n")


def replies():
    def reply(ident, result):
        return json.dumps({"jsonrpc": "2.0", "id": ident, "result": result},
                          separators=(",", ":"), ensure_ascii=False)

    listing = [
        {"name": "b.txt", "size": 3, "is_directory": False, "permissions": 33188,
         "owner": "card", "group": "card", "mtime": 1700000000.5, "is_symlink": False},
        {"name": "Docs", "size": 4096, "is_directory": True, "permissions": 16877,
         "owner": "1000", "group": "1000", "mtime": 0, "is_symlink": False},
        {"name": "link", "size": 5, "is_directory": False, "permissions": 41471,
         "owner": "card", "group": "card", "mtime": -1, "is_symlink": True,
         "symlink_target": "/b.txt"},
        {"name": "a10.jpg", "size": 18446744073709551615, "permissions": -1},
        {"name": "caf\u00e9 \ufffd"},
    ]
    # The tail bytes pick the line limit and how the bytes arrive (the target reads them from
    # the end of its input).
    tail = b"\x00\xff\x0f"
    samples = {
        "listing": reply(3, listing),
        "read": reply(6, b64("hello\n")),
        "rename": reply(14, {"new_path": "/docs/c.txt"}),
        "partitions": reply(2, [{"name": "sdb1", "total_bytes": 1000000, "free_bytes": 250000.5,
                                 "filesystem": "ext4", "label": "card"}]),
        "usage": reply(20, [{"name": "docs", "size": 12, "is_directory": True},
                            {"name": "a.txt", "size": 6, "is_directory": False}]),
        "pong": reply(1, "pong"),
        "error": '{"jsonrpc":"2.0","id":5,"error":{"code":-2,"message":"No such file or directory: /x"}}',
        "both": '{"jsonrpc":"2.0","id":5,"result":1,"error":{"code":-1,"message":"m","data":[1]}}',
        "no-id": '{"jsonrpc":"2.0","result":"pong"}',
    }
    for name, line in samples.items():
        write("reply_stream_fuzzer", name, line.encode() + b"\n" + tail)
    stream = "\n".join(samples.values()) + "\n\n" + reply(99, "unfinished")[:20]
    write("reply_stream_fuzzer", "stream", stream.encode() + b"\x04\x10\x03\x01\x00\x08")


def base64_samples():
    for name, text in {"empty": "", "one": "YQ==", "two": "YWI=", "three": "YWJj",
                       "binary": base64.b64encode(bytes(range(256))).decode(),
                       "not-canonical": "YR==", "newline": "YWJj\nYWJj"}.items():
        write("base64_fuzzer", name, text)


def device_names():
    for name in ["sdb", "sdb1", "sdaa12", "vdb", "hda", "xvda3", "mmcblk0", "mmcblk0p1",
                 "nvme0n1", "nvme0n1p2", "loop0", "loop0p1", "image0", "image12p3",
                 "/dev/sdb", "sdb/..", "sd", "sdb0", "mmcblk0p0", "mmcblk01"]:
        write("device_name_fuzzer", name.replace("/", "_"), name)


def uevents():
    usb = "/devices/pci0/usb1/1-2/host0/block/sdb"

    def event(action, devpath, name, devtype, extra=()):
        pairs = [f"ACTION={action}", f"DEVPATH={devpath}", "SUBSYSTEM=block",
                 f"DEVNAME={name}", f"DEVTYPE={devtype}", *extra]
        return f"{action}@{devpath}\0" + "\0".join(pairs) + "\0"

    samples = {
        "add-disk": event("add", usb, "sdb", "disk", ["MAJOR=8", "MINOR=16"]),
        "add-partition": event("add", usb + "/sdb1", "sdb1", "partition",
                               ["ID_FS_TYPE=ext4", "ID_FS_LABEL_ENC=card\\x20one"]),
        "remove-disk": event("remove", usb, "sdb", "disk"),
        "change-sd": event("change", "/devices/pci0/mmc_host/mmc0/host0/block/mmcblk0",
                           "mmcblk0", "disk", ["ID_MODEL_ENC=SD\\x2032G"]),
        "libudev": "libudev\0\xfe\xed\xca\xfe",
    }
    for name, text in samples.items():
        write("uevent_fuzzer", name, text.encode("latin-1"))
    # Several datagrams in one input: a backslash and one character separate them.
    write("uevent_fuzzer", "add-then-remove",
          (samples["add-disk"] + "\\n" + samples["add-partition"] + "\\n" +
           samples["remove-disk"]).encode())


def run(*command, env=None):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   env=env)


def ext_images(work):
    """First blocks of small ext2, ext3 and ext4 filesystems, keyed by generation."""
    env = dict(os.environ, E2FSPROGS_FAKE_TIME="1700000000")
    heads = {}
    for kind, options in {"ext2": ["-t", "ext2"], "ext3": ["-t", "ext3"],
                          "ext4": ["-t", "ext4", "-O", "metadata_csum,64bit"]}.items():
        image = os.path.join(work, kind + ".img")
        with open(image, "wb") as f:
            f.truncate(2 << 20)
        run("mkfs.ext2", *options, "-q", "-F", "-b", "1024", "-L", "card " + kind,
            "-U", "12345678-1234-1234-1234-123456789abc", "-E", "hash_seed=" +
            "87654321-4321-4321-4321-cba987654321", image, env=env)
        with open(image, "rb") as f:
            heads[kind] = f.read(4096)
    return heads


def images():
    work = tempfile.mkdtemp()
    try:
        heads = ext_images(work)
        for kind, head in heads.items():
            write("ext_superblock_fuzzer", kind, head[:2048])
            write("disk_image_fuzzer", kind, head)
        mbr = os.path.join(work, "mbr.img")
        with open(mbr, "wb") as f:
            f.truncate(64 << 10)
        subprocess.run(["sfdisk", "-q", mbr], check=True, input=(
            "label: dos\nlabel-id: 0x1234abcd\nstart=8, size=24, type=c\n"
            "start=32, size=96, type=83\n").encode())
        with open(mbr, "r+b") as f:
            f.seek(32 * 512)
            f.write(heads["ext4"])
        with open(mbr, "rb") as f:
            write("disk_image_fuzzer", "mbr", f.read())
        gpt = os.path.join(work, "gpt.img")
        with open(gpt, "wb") as f:
            f.truncate(64 << 10)
        subprocess.run(["sfdisk", "-q", gpt], check=True, input=(
            "label: gpt\nlabel-id: 3F4028E4-1767-5148-9A20-33E1AC781D2B\nfirst-lba: 34\n"
            "start=40, size=40, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, "
            "uuid=4716449B-44F6-284D-9406-043316110514, name=\"root\"\n").encode())
        with open(gpt, "r+b") as f:
            f.seek(40 * 512)
            f.write(heads["ext3"][:20 * 512])
        with open(gpt, "rb") as f:
            write("disk_image_fuzzer", "gpt", f.read())
    finally:
        shutil.rmtree(work)


def qmp():
    lines = [
        '{"QMP":{"version":{"qemu":{"micro":0,"minor":2,"major":7}},"capabilities":["oob"]}}',
        '{"return":{},"id":1}',
        '{"return":{"fdset-id":0,"fd":9},"id":2}',
        '{"error":{"class":"GenericError","desc":"Duplicate ID"},"id":3}',
        '{"timestamp":{"seconds":1700000000,"microseconds":5},"event":"SHUTDOWN",'
        '"data":{"guest":true,"reason":"guest-shutdown"}}',
        '{"event":"GUEST_PANICKED","data":{"action":"pause"}}',
        '{"event":"DEVICE_DELETED","data":{"device":"disk1","path":"/machine/peripheral/disk1"}}',
    ]
    for i, line in enumerate(lines):
        write("qmp_reply_fuzzer", f"line{i}", line + "\n")
    write("qmp_reply_fuzzer", "session", "\n".join(lines) + "\n" + lines[1][:9])


def main():
    if os.path.isdir(CORPUS):
        shutil.rmtree(CORPUS)
    agent_requests()
    helper_requests()
    replies()
    base64_samples()
    device_names()
    uevents()
    images()
    qmp()
    return 0


if __name__ == "__main__":
    sys.exit(main())
