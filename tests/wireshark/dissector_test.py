#!/usr/bin/python3
"""The Wireshark dissector read by tshark against the library's parse (vorn-decode's trace at log
level 31), the values generated and the updates delivered; no run may show a Lua error."""
import argparse
import csv
import json
import math
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import traceback

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'python', 'tests'))
import pcap  # noqa: E402 (the pcap helpers the Python tests share)

ARGS = None
ROOT_WARNING = 'Running as user "root" and group "root". This could be dangerous.'
RECORD_DLT = '-o', 'uat:user_dlts:"User 0 (DLT=147)","vorn_record","0","","0",""'


def tshark(capture, *extra):
    """tshark's output with the plugin and its own configuration; fails on a Lua error or other stderr."""
    env = dict(os.environ, HOME=ARGS.home, XDG_CONFIG_HOME=ARGS.home, WIRESHARK_CONFIG_DIR=ARGS.home)
    run = subprocess.run([ARGS.tshark, '-n', '-X', 'lua_script:' + ARGS.plugin, '-r', capture, *extra],
                         capture_output=True, env=env, timeout=240)
    out, err = run.stdout.decode('utf-8', 'replace'), run.stderr.decode('utf-8', 'replace')
    for text in (out, err):
        assert not re.search(r'lua error|lua_error|_ws\.lua\.error|\.lua:\d+:', text, re.I), text[:4000]
    stray = [line for line in err.splitlines() if line.strip() and line.strip() != ROOT_WARNING]
    assert not stray and run.returncode == 0, 'tshark failed (%d) on %s: %s' % (run.returncode, capture, stray)
    return out


def as_list(value):
    return value if isinstance(value, list) else [] if value is None else [value]

def frames_of(capture, *extra):
    """Per frame (from 1): its packets [{seqno, fields: [{id, encrypted, data, members}]}], its layers."""
    frames = [None]
    for frame in json.loads(tshark(capture, *extra, '-T', 'json', '--no-duplicate-keys', '-J', 'vorn vorn_record')
                            or '[]'):
        layers, packets = frame['_source']['layers'], []
        for packet in (p for vorn in as_list(layers.get('vorn')) for p in as_list(vorn.get('vorn.packet'))):
            fields = []
            for field in as_list(packet.get('vorn.field')):
                # A real price is a child of its tick count: "vorn.NAME_tree".
                members = {k[5:]: v for key, value in field.items()
                           for k, v in (value.items() if key.endswith('_tree') else [(key, value)])
                           if k.startswith('vorn.') and not k.startswith('vorn.field')}
                fields.append({'id': int(field['vorn.field.id'], 16), 'members': members, 'data': field.get('vorn.field.data'),
                               'encrypted': field.get('vorn.field.encrypted') == '1'})
            assert int(packet['vorn.field_count']) == len(fields)
            packets.append({'seqno': int(packet['vorn.seqno']), 'fields': fields})
        frames.append({'packets': packets, 'layers': layers})
    return frames


def dissected(frames):
    """seqno -> field ids, as the dissector shows them."""
    shown = [(p['seqno'], [field['id'] for field in p['fields']]) for frame in frames[1:] for p in frame['packets']]
    assert len(dict(shown)) == len(shown), 'a seqno twice in the capture'
    return dict(shown)


def library_trace(capture, snapshot=None):
    """seqno -> field ids as parsed, the seqnos in order, the payloads given up, the v2 rows."""
    folder = tempfile.mkdtemp(dir=ARGS.work)
    log, out = os.path.join(folder, 'library.log'), os.path.join(folder, 'updates.csv')
    subprocess.run([ARGS.decode, capture, '--snapshot', snapshot or ARGS.snapshot, '--v2', '--options', 'recv',
                    '--out', out, '--log-level', '31', '--library-log', log, '--no-progress'],
                   check=True, capture_output=True, timeout=240)
    packets, order, failed, current = {}, [], set(), None
    for line in open(log, errors='replace'):
        if m := re.search(r'\[processHeader\], Processed header type, bodylen is \[-?\d+\], seqno is \[(-?\d+)\]', line):
            current = int(m.group(1)) & 0xFFFFFFFF
            assert current not in packets, 'seqno %d parsed twice' % current
            packets[current] = []
            order.append(current)
        elif m := re.search(r'\[processFieldHeader\], Processed fieldheader: id=0x\[([0-9a-f]+)\]', line):
            packets[current].append(int(m.group(1), 16))
        if m := re.search(r'_processChunk is error.*?seqno is (-?\d+)', line):
            failed.add(int(m.group(1)) & 0xFFFFFFFF)
    with open(out, newline='') as f:
        return packets, order, failed, list(csv.DictReader(f))


def write_pcap(name, frames, link=1):
    path = os.path.join(ARGS.work, name + '.pcap')
    pcap.write_pcap(path, link, [(f, len(f), 1797413400 * 10**9 + i * 10**5) for i, f in enumerate(frames)])
    return path


def with_payload(payload, port=None):
    """A sample feed frame with another payload (and UDP port), its IP and UDP lengths to match."""
    frame, port_bytes = ARGS.sample_frames[0], struct.pack('>H', port) if port else ARGS.sample_frames[0][36:38]
    return (frame[:16] + struct.pack('>H', 28 + len(payload)) + frame[18:36] + port_bytes
            + struct.pack('>H', 8 + len(payload)) + frame[40:42] + payload)


def varint(value):
    """ZigZag base-128, as the feed carries integers."""
    raw, out = ((value << 1) ^ (value >> 63)) & (2**64 - 1), bytearray()
    while True:
        out.append(raw & 0x7F | (0x80 if raw > 0x7F else 0))
        raw >>= 7
        if not raw:
            return bytes(out)


def levels(side, first):
    return ['%s%d_%s' % (side, n, k) for n in (first, first + 1) for k in ('price', 'volume')]


# The members of the market-data fields in wire order; "=d" marks a big-endian double.
MEMBERS = {
    0x4432: ['open_price', 'high_price', 'low_price', 'close_price', 'upper_limit_price', 'lower_limit_price',
             'settlement_price=d', 'curr_delta=d'],
    0x4433: ['last_price', 'volume', 'turn_over=d', 'open_interest'],
    0x4434: ['bid1_price', 'bid1_volume', 'ask1_price', 'ask1_volume'],
    0x4435: levels('bid', 2), 0x4436: levels('ask', 2), 0x4437: levels('bid', 4), 0x4438: levels('ask', 4),
    0x4439: ['ins_int_id', 'update_time', 'update_msec'],
    0x443A: ['banding_upper_price', 'banding_lower_price']}
ALWAYS_PLAIN = (0x4432, 0x4439)


def packet(seqno, fields, encrypted=False, version=1, declared=None, extra_body=0):
    """A feed packet of (id, data) fields."""
    body = b''.join(struct.pack('>HH', i, len(d)) + d for i, d in fields)
    return struct.pack('>BBHIIHHI', version, 0, 1, 0, seqno, len(fields) if declared is None else declared,
                       len(body) + extra_body, 0x10000 if encrypted else 0) + body


def generated_field(rng, field_id):
    """A field of random members, and the members as values."""
    values, data = {}, b''
    for member in MEMBERS[field_id]:
        if member.endswith('=d'):
            value = values[member[:-2]] = rng.choice([0.0, -0.25, 1.5, rng.uniform(-1e12, 1e12)])
            data += struct.pack('>d', value)
        else:
            data += varint(values.setdefault(member, rng.choice([0, 1, -1, 2**63 - 1, -2**63, 4294967295,
                                                                rng.randint(-2**62, 2**62), rng.randint(-1000, 10**6)])))
    return data, values


def test_sample_session():
    """`make sample`'s day: packets as the library parsed them, members as the updates delivered."""
    frames = frames_of(ARGS.capture, '-o', 'vorn.snapshot:' + ARGS.snapshot)
    library, order, _, rows = library_trace(ARGS.capture)
    assert len(frames) == 2001 and len(rows) == 2000
    assert dissected(frames) == library
    assert [frame['packets'][0]['seqno'] for frame in frames[1:]] == order
    assert 'Seq=3' in tshark(ARGS.capture, '-c', '3')
    checked = set()
    for frame, row in zip(frames[1:], rows):
        members = {k: v for field in frame['packets'][0]['fields'] for k, v in field['members'].items()}
        assert members.pop('instrument') == row['instrument_id']
        row['ins_int_id'] = row['inst_no']
        for name, shown in members.items():  # real prices through the encoding, the row's thousandths
            column, scale = (name[:-5], 1000) if name.endswith('.real') else (name, 1)
            if column in row and (scale == 1000 or not column.endswith('_price')):
                checked.add(column)  # tshark prints doubles to 15 significant digits
                assert math.isclose(float(shown) * scale, float(row[column]), rel_tol=1e-14, abs_tol=1e-6), name
    assert {'ins_int_id', 'update_time', 'bid1_price', 'ask5_volume', 'turn_over'} <= checked
    # An unreadable snapshot (cut inside the code segment, or missing) is reported, not fatal.
    short = os.path.join(ARGS.work, 'short_snapshot.bin')
    open(short, 'wb').write(open(ARGS.snapshot, 'rb').read(700))
    for snapshot in (short, os.path.join(ARGS.work, 'missing.bin')):
        out = tshark(ARGS.capture, '-c', '50', '-o', 'vorn.snapshot:' + snapshot, '-Y',
                     'vorn.snapshot.unreadable && vorn.seqno && !vorn.instrument', '-T', 'fields', '-e', 'vorn.seqno')
        assert out.split() == [str(n) for n in range(1, 51)], snapshot


def test_generated_packets():
    """Random fields, some encrypted, two jumps and two-packet datagrams: shown as sent."""
    rng, sent, payloads, seqno = random.Random(20261216), {}, [], 0
    for n in range(300):
        seqno += {152: 5, 200: 2}.get(n, 1)  # two jumps, of four packets and of one
        ids = [0x4439] + rng.sample(sorted(set(MEMBERS) - {0x4439}), rng.randint(0, 8))
        fields = [(i, generated_field(rng, i)) for i in ids]
        encrypted = rng.random() < 0.2
        sent[seqno] = (encrypted, [(i, values) for i, (_, values) in fields])
        data = packet(seqno, [(i, d) for i, (d, _) in fields], encrypted)
        payloads.append(payloads.pop() + data if n % 7 == 3 else data)  # some datagrams of two packets
    capture = write_pcap('generated', [with_payload(p) for p in payloads])
    frames = frames_of(capture)
    assert set(dissected(frames)) == set(sent)
    for shown in (p for frame in frames[1:] for p in frame['packets']):
        encrypted, fields = sent[shown['seqno']]
        assert [f['id'] for f in shown['fields']] == [i for i, _ in fields]
        for field, (field_id, values) in zip(shown['fields'], fields):
            hidden = encrypted and field_id not in ALWAYS_PLAIN
            assert (field['encrypted'], bool(field['data'])) == (hidden, hidden)
            assert set(field['members']) == (set() if hidden else set(values))
            for name, value in ({} if hidden else values).items():
                assert math.isclose(float(field['members'][name]), value, rel_tol=1e-14) if isinstance(value, float) \
                    else int(field['members'][name]) == value, (shown['seqno'], name)
    for passes in ([], ['-2']):
        assert tshark(capture, *passes, '-Y', 'vorn.seq.jump', '-T', 'fields', '-e', 'vorn.seqno').split() == ['157', '206']


def test_damaged_payloads():
    """Sample packets cut and overwritten: walked as the library walks them, erring where it does."""
    rng, payloads = random.Random(20261216), []
    # Cut from the sequence number on (the library reads it where the payload has none).
    for frame in ARGS.sample_frames[:12]:
        payloads += [frame[42:42 + cut] for cut in range(12, len(frame) - 42 + 1)]
    for n, frame in enumerate(ARGS.sample_frames[:400]):
        data = bytearray(frame[42:])
        places = [i for i in range(len(data)) if not 8 <= i < 12 and i not in (14, 15)]
        for _ in range(rng.randint(1, 3)):
            data[rng.choice(places)] = rng.randrange(256)
        if n % 50 == 7:  # the last field runs past the body into bytes after it
            struct.pack_into('>H', data, 14, struct.unpack_from('>H', data, 14)[0] - 1)
        if n % 50 == 19:  # the body ends with the last field's header, its data after it
            last = 20
            while last + 4 + struct.unpack_from('>H', frame, 42 + last + 2)[0] < len(data):
                last += 4 + struct.unpack_from('>H', frame, 42 + last + 2)[0]
            struct.pack_into('>H', data, 14, last + 4 - 20)
        payloads.append(bytes(data) + b'\x01' * (n % 19 + 1) * (n % 50 == 32))  # bytes after the packet
    payloads = [p[:8] + struct.pack('>I', n + 1) + p[12:] for n, p in enumerate(payloads)]
    path = write_pcap('damaged', [with_payload(p) for p in payloads])
    library, _, failed, _ = library_trace(path)
    assert dissected(frames_of(path)) == library and len(library) > len(payloads) // 2
    # Per payload with a whole first header: an error where the library gave the payload up.
    first = {int(s.split(',')[0]) for s in tshark(path, '-T', 'fields', '-e', 'vorn.seqno').split()}
    errors = tshark(path, '-Y', '_ws.expert.severity == "Error"', '-T', 'fields', '-e', 'vorn.seqno').split()
    assert {int(s.split(',')[0]) for s in errors} == failed & first
    tshark(path, '-V')  # the whole tree, expert infos included, without a Lua error
    for expert in ('cut.header', 'cut.field', 'short_body', 'field.overrun', 'trailing', 'member.cut',
                   'field.unknown', 'field.no_data'):
        assert tshark(path, '-Y', 'vorn.' + expert, '-T', 'fields', '-e', 'frame.number'), expert


def test_heuristic():
    """On another port the heuristic takes only feed packets; the port preference takes all."""
    good = [f[42:] for f in ARGS.sample_frames[:3]]
    fields = [(0x4439, varint(7) + varint(34200) + varint(5)), (0x4434, varint(1) * 4)]
    datagrams = [(good[0], True), (good[1] + good[2], True), (packet(9, fields), True),
        (packet(9, fields, version=2), False),           # another header version
        (packet(9, fields, declared=3), False),          # field count not the header's
        (packet(9, fields, extra_body=1), False),        # body beyond the datagram
        (packet(9, fields, extra_body=-1), False),       # last field's data beyond the body
        (packet(9, fields + [(0x9999, b'')]), False),    # an id that is no market data
        (packet(9, fields)[:20], False),                 # no field at all
        (good[0] + b'\x01' * 7, False),                  # trailing bytes
        (bytes(range(64)), False)]
    path = write_pcap('other', [with_payload(d, 5000) for d, _ in datagrams])
    recognised = [str(n + 1) for n, (_, feed) in enumerate(datagrams) if feed]
    for options, expected in (([], recognised), (['--disable-heuristic', 'vorn_udp'], []),
                              (['-o', 'vorn.ports:4000-5000', '--disable-heuristic', 'vorn_udp'],
                               [str(n + 1) for n in range(len(datagrams))])):
        assert tshark(path, *options, '-Y', 'vorn', '-T', 'fields', '-e', 'frame.number').split() == expected, options


def test_firmware_records():
    """Record frames of receive channel 1, bound through the DLT_USER table."""
    layout = '<i9s31sqiiqdq10i10q8qq'  # VornCffexMdType, 276 bytes packed
    names = ('inst_no trading_day instrument_id update_time update_msec volume last_price turn_over open_interest '
             + ' '.join('%s%d_%s' % (s, i, k) for k in ('volume', 'price') for i in range(1, 6) for s in ('bid', 'ask'))
             + ' high_price low_price open_price close_price upper_limit_price lower_limit_price settlement_price'
               ' curr_delta trust_flag').split()
    rng = random.Random(7)
    values = list(struct.unpack(layout, bytes(rng.randrange(256) for _ in range(276))))
    values[1:5], values[7] = [b'20261216', b'IF2612', 34205, 500], rng.uniform(-1e15, 1e15)
    record = b'\x01\x02\x03\x04' + struct.pack(layout, *values)
    path = write_pcap('records', [(record + bytes(2000))[:size] for size in (280, 278, 200, 2100)], link=147)
    frames = frames_of(path, *RECORD_DLT)
    shown = frames[1]['layers']['vorn_record']
    for name, value in zip(names, values):
        number = shown['vorn_record.' + name]
        assert number == value.decode() if isinstance(value, bytes) else math.isclose(float(number), value, rel_tol=1e-14) \
            if isinstance(value, float) else int(number) == value, name
    for number, expert in ((2, 'vorn_record.cut'), (3, 'vorn_record.short'), (4, 'vorn_record.long')):
        assert '"%s"' % expert in json.dumps(frames[number]['layers']), number
    assert frames[2]['layers']['vorn_record']['vorn_record.inst_no'] == str(values[0])
    assert tshark(path, '-Y', 'vorn_record') == ''  # without the binding the frames are no records


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ('tshark', 'plugin', 'decode', 'snapshot-tool', 'only'):
        parser.add_argument('--' + name, required=name != 'only')
    ARGS = parser.parse_args()
    ARGS.work = tempfile.mkdtemp(prefix='vorn_wireshark_test.')
    try:
        ARGS.home = os.path.join(ARGS.work, 'home')
        os.makedirs(ARGS.home)
        ARGS.snapshot, ARGS.capture = os.path.join(ARGS.work, 'snap.bin'), os.path.join(ARGS.work, 'capture.pcap')
        subprocess.run([ARGS.snapshot_tool, 'make', '--date', '20261216', '--out', ARGS.snapshot, '--capture',
                        ARGS.capture, '--frames', '2000'], check=True, stdout=subprocess.DEVNULL)  # `make sample`'s day
        ARGS.sample_frames, failed = [f[0] for f in pcap.read_pcap(ARGS.capture)], 0
        for name, test in [(n, t) for n, t in globals().items() if n.startswith('test_') and ARGS.only in (None, n)]:
            try:
                test()
                print('ok', name, flush=True)
            except Exception:  # pylint: disable=broad-except
                failed += 1
                print('FAIL', name, traceback.format_exc(), sep='\n', flush=True)
        return 1 if failed else 0
    finally:
        shutil.rmtree(ARGS.work, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
