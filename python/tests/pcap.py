"""Classic pcap files of (bytes, original length, capture time in ns) frames, for every test in Python."""
import pathlib
import struct


def write_pcap(path, link_type, frames, nanoseconds=False):
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B23C4D if nanoseconds else 0xA1B2C3D4, 2, 4, 0, 0, 65535, link_type))
        for data, original, ns in frames:
            fraction = ns % 10**9 // (1 if nanoseconds else 1000)
            f.write(struct.pack("<IIII", ns // 10**9, fraction, len(data), original) + data)


def read_pcap(path):
    data = pathlib.Path(path).read_bytes()
    scale = {0xA1B2C3D4: 1000, 0xA1B23C4D: 1}[struct.unpack_from("<I", data)[0]]
    frames, at = [], 24
    while at < len(data):
        seconds, fraction, included, original = struct.unpack_from("<IIII", data, at)
        frames.append((data[at + 16:at + 16 + included], original, seconds * 10**9 + fraction * scale))
        at += 16 + included
    return frames
