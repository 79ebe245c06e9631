#!/usr/bin/python3
"""The Wireshark dissector read by tshark, checked against the library and the encoder.

Per feed packet, the sequence number and the field ids the dissector shows must equal what
the library parsed: vorn-decode's trace of the same capture (log level 31 writes a line per
packet header and per field header it takes in). Plain members must equal the values the
encoder was given (ws_capture's expectations) or, for the sample session, the updates the
library delivered. No run of tshark may show a Lua error anywhere in its output.
"""
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
import unittest

ARGS = None
ROOT_WARNING = 'Running as user "root" and group "root". This could be dangerous.'


def tshark(capture, *extra, json_out=False):
    """Runs tshark with the plugin and a configuration folder of its own; returns stdout.

    Fails on a Lua error anywhere in the output and on any standard-error line but the
    warning tshark prints when run as root."""
    env = dict(os.environ, HOME=ARGS.home, XDG_CONFIG_HOME=ARGS.home, WIRESHARK_CONFIG_DIR=ARGS.home)
    cmd = [ARGS.tshark, '-n', '-X', 'lua_script:' + ARGS.plugin, '-r', capture]
    cmd += list(extra)
    if json_out:
        cmd += ['-T', 'json', '--no-duplicate-keys', '-J', 'vorn vorn_record']
    run = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=240)
    out = run.stdout.decode('utf-8', 'replace')
    err = run.stderr.decode('utf-8', 'replace')
    for text, where in ((out, 'stdout'), (err, 'stderr')):
        if re.search(r'lua', text.replace('"_ws.lua.fake"', ''), re.IGNORECASE) and (
                re.search(r'lua error|lua_error|_ws\.lua\.error|\.lua:\d+:', text, re.IGNORECASE)):
            raise AssertionError('Lua error in tshark %s for %s:\n%s' % (where, capture, text[:4000]))
    stray = [line for line in err.splitlines() if line.strip() and line.strip() != ROOT_WARNING]
    if stray or run.returncode != 0:
        raise AssertionError('tshark failed (%d) on %s: %s' % (run.returncode, capture, '\n'.join(stray)))
    return out


def read_expect():
    with open(os.path.join(ARGS.work, 'expect.txt')) as f:
        return [line.split() for line in f]


def as_list(value):
    if value is None:
        return []
    return value if isinstance(value, list) else [value]


def frames_of(capture, *extra):
    """frame number -> list of packets: {seqno, field_count, fields: [{id, encrypted, members}]}"""
    result = {}
    number = 0
    for frame in json.loads(tshark(capture, *extra, json_out=True) or '[]'):
        number += 1
        layers = frame['_source']['layers']
        packets = []
        for vorn in as_list(layers.get('vorn')):
            for packet in as_list(vorn.get('vorn.packet')):
                fields = []
                for field in as_list(packet.get('vorn.field')):
                    members = {}
                    for key, value in field.items():
                        # A real price is a child of its tick count: "vorn.NAME_tree".
                        for k, v in (value.items() if key.endswith('_tree') else [(key, value)]):
                            if k.startswith('vorn.') and not k.startswith('vorn.field'):
                                members[k[5:]] = v
                    fields.append({'id': int(field['vorn.field.id'], 16),
                                   'encrypted': field.get('vorn.field.encrypted') == '1',
                                   'data': field.get('vorn.field.data'), 'members': members})
                packets.append({'seqno': int(packet['vorn.seqno']),
                                'field_count': int(packet['vorn.field_count']), 'fields': fields})
        result[number] = {'packets': packets, 'layers': layers}
    return result


def library_trace(capture, snapshot, workdir):
    """seqno -> field ids, in the order the library's parser took them in, and the v2 rows."""
    log = os.path.join(workdir, 'library.log')
    out = os.path.join(workdir, 'updates.csv')
    run = subprocess.run([ARGS.decode, capture, '--snapshot', snapshot, '--v2', '--options', 'recv', '--out', out,
                          '--log-level', '31', '--library-log', log, '--no-progress'],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=240)
    if run.returncode != 0:
        raise AssertionError('vorn-decode failed: ' + run.stderr.decode())
    packets, order, current = {}, [], None
    with open(log, errors='replace') as f:
        for line in f:
            m = re.search(r'\[processHeader\], Processed header type, bodylen is \[-?\d+\], seqno is \[(-?\d+)\]', line)
            if m:
                current = int(m.group(1)) & 0xFFFFFFFF
                assert current not in packets, 'seqno %d parsed twice' % current
                packets[current] = []
                order.append(current)
                continue
            m = re.search(r'\[processFieldHeader\], Processed fieldheader: id=0x\[([0-9a-f]+)\]', line)
            if m:
                packets[current].append(int(m.group(1), 16))
    with open(out, newline='') as f:
        rows = list(csv.DictReader(f))
    return packets, order, rows


def dissected_packets(frames):
    """seqno -> field ids, as the dissector shows them."""
    result = {}
    for number, frame in frames.items():
        for packet in frame['packets']:
            assert packet['seqno'] not in result, 'seqno %d twice in the capture' % packet['seqno']
            ids = [field['id'] for field in packet['fields']]
            assert packet['field_count'] == len(ids), (number, packet)
            result[packet['seqno']] = ids
    return result


class SampleSession(unittest.TestCase):
    """The sample day of `make sample`: 2000 plain packets, one per frame."""

    @classmethod
    def setUpClass(cls):
        cls.frames = frames_of(ARGS.sample_capture, '-o', 'vorn.snapshot:' + ARGS.sample_snapshot)
        cls.library, cls.order, cls.rows = library_trace(ARGS.sample_capture, ARGS.sample_snapshot, ARGS.work)

    def test_every_packet_as_the_library_parsed_it_in_capture_order(self):
        self.assertEqual(len(self.frames), 2000)
        self.assertEqual(dissected_packets(self.frames), self.library)
        self.assertEqual([self.frames[n]['packets'][0]['seqno'] for n in sorted(self.frames)], self.order)
        # The Info column names the sequence number too.
        self.assertIn('Seq=3', tshark(ARGS.sample_capture, '-c', '3'))

    def test_plain_members_equal_the_delivered_updates(self):
        # One update per packet, in packet order: the members a packet carries are the
        # update's values, prices through the instrument's price encoding (thousandths).
        self.assertEqual(len(self.rows), 2000)
        checks = [(0x4439, 'ins_int_id', 'inst_no'), (0x4439, 'update_time', 'update_time'),
                  (0x4439, 'update_msec', 'update_msec'), (0x4433, 'volume', 'volume')]
        checks += [(0x4434, side + '_' + member, side + '_' + member) for side in ('bid1', 'ask1')
                   for member in ('volume', 'price.real')]
        checks += [(group, name + '_volume', name + '_volume') for group, names in
                   ((0x4435, ('bid2', 'bid3')), (0x4438, ('ask4', 'ask5'))) for name in names]
        for number, row in zip(sorted(self.frames), self.rows):
            (packet,) = self.frames[number]['packets']
            fields = {field['id']: field['members'] for field in packet['fields']}
            self.assertEqual(fields[0x4439]['instrument'], row['instrument_id'], number)
            self.assertIn(0x4434, fields, number)
            for group, member, column in checks:
                if group in fields:
                    scale = 1000 if member.endswith('.real') else 1
                    shown = int(float(fields[group][member]) * scale + 0.5)
                    self.assertEqual(shown, int(row[column.replace('.real', '')]), (number, member))
            if 0x4433 in fields:  # tshark prints doubles to 15 significant digits
                self.assertTrue(math.isclose(float(fields[0x4433]['turn_over']), float(row['turn_over']),
                                             rel_tol=1e-14), number)

    def test_unreadable_snapshot_is_reported_not_fatal(self):
        short = os.path.join(ARGS.work, 'short_snapshot.bin')
        with open(ARGS.sample_snapshot, 'rb') as f, open(short, 'wb') as out:
            out.write(f.read(700))  # cut inside the code segment
        for snapshot in (short, os.path.join(ARGS.work, 'missing.bin')):
            out = tshark(ARGS.sample_capture, '-c', '50', '-o', 'vorn.snapshot:' + snapshot, '-Y',
                         'vorn.snapshot.unreadable && vorn.seqno && !vorn.instrument', '-T', 'fields',
                         '-e', 'vorn.seqno')
            self.assertEqual(out.split(), [str(n) for n in range(1, 51)], snapshot)

    def test_heuristic_and_port_preferences(self):
        other = os.path.join(ARGS.work, 'other.pcap')
        first20 = [str(n) for n in range(1, 21)]
        for capture, options, fields, expected in (
                (ARGS.sample_capture, ['-c', '20', '-o', 'vorn.ports:1'], ['vorn.seqno'], first20),  # another port
                (other, [], ['frame.number', 'vorn.seqno'], ['3', '77']),  # only the feed packet of the traffic
                # The port preference takes every datagram of the port, feed or not.
                (other, ['-o', 'vorn.ports:4000-5000', '-o', 'vorn.heuristic:FALSE'], ['frame.number'], ['1', '2', '3']),
                (ARGS.sample_capture, ['-c', '20', '-o', 'vorn.ports:1', '-o', 'vorn.heuristic:FALSE'],
                 ['frame.number'], [])):
            out = tshark(capture, *options, '-Y', 'vorn', '-T', 'fields', *(a for f in fields for a in ('-e', f)))
            self.assertEqual(out.split(), expected, (capture, options))


class CutAndEncrypted(unittest.TestCase):
    """ws_capture's feed: encrypted packets, then plain, cut, overrunning and jumping ones."""

    @classmethod
    def setUpClass(cls):
        cls.feed = os.path.join(ARGS.work, 'feed.pcap')
        cls.frames = frames_of(cls.feed)
        lib_dir = os.path.join(ARGS.work, 'lib')
        os.makedirs(lib_dir, exist_ok=True)
        cls.library, _, _ = library_trace(cls.feed, os.path.join(ARGS.work, 'snapshot.bin'), lib_dir)
        cls.expect = read_expect()

    def test_every_packet_as_the_library_parsed_it_and_as_encoded(self):
        self.assertEqual(dissected_packets(self.frames), self.library)
        expected = {(int(f), int(s)): int(n) for _, f, s, n in (e for e in self.expect if e[0] == 'packet')}
        shown = {(number, p['seqno']): p['field_count'] for number, frame in self.frames.items()
                 for p in frame['packets']}
        self.assertEqual(shown, expected)

    def test_plain_members_equal_the_encoded_values(self):
        members = [e for e in self.expect if e[0] == 'member']
        self.assertGreater(len(members), 30)
        for _, frame, seqno, name, value in members:
            (packet,) = [p for p in self.frames[int(frame)]['packets'] if p['seqno'] == int(seqno)]
            found = [field['members'][name] for field in packet['fields'] if name in field['members']]
            self.assertEqual(len(found), 1, (frame, name))
            number = float if '.' in value or 'e' in value else int
            self.assertEqual(number(found[0]), number(value), (frame, name))

    def test_encrypted_fields_are_marked_and_shown_as_bytes(self):
        encrypted = {(int(f), int(s), int(i)) for _, f, s, i in (e for e in self.expect if e[0] == 'encrypted')}
        shown = set()
        for number, frame in self.frames.items():
            for packet in frame['packets']:
                for field in packet['fields']:
                    if field['encrypted']:
                        shown.add((number, packet['seqno'], field['id']))
                        self.assertEqual(field['members'], {}, number)
                        self.assertTrue(field['data'], number)
        self.assertEqual(shown, encrypted)
        self.assertGreater(len(shown), 15)

    def test_expert_infos(self):
        expected = {}
        for _, frame, name in (e for e in self.expect if e[0] == 'expert' and e[2].startswith('vorn.')):
            expected.setdefault(name, set()).add(int(frame))
        for name, frames in expected.items():
            out = tshark(self.feed, '-Y', name, '-T', 'fields', '-e', 'frame.number')
            self.assertEqual({int(n) for n in out.split()}, frames, name)
        # Frames that are not cut carry no error.
        clean = {n for n in self.frames} - set().union(
            *(frames for name, frames in expected.items() if name != 'vorn.seq.jump'))
        errors = tshark(self.feed, '-Y', '_ws.expert.severity == "Error"', '-T', 'fields', '-e', 'frame.number')
        self.assertFalse(clean & {int(n) for n in errors.split()})

    def test_sequence_jump_note_survives_a_second_pass(self):
        jumps = [int(e[1]) for e in self.expect if e[0] == 'expert' and e[2] == 'vorn.seq.jump']
        self.assertEqual(len(jumps), 1)
        out = tshark(self.feed, '-2', '-Y', 'vorn.seq.jump', '-T', 'fields', '-e', 'vorn.seqno')
        self.assertEqual(out.split(), [str(self.frames[jumps[0]]['packets'][0]['seqno'])])


def read_pcap(path):
    """Frames of a microsecond pcap in host byte order, with their stamps."""
    with open(path, 'rb') as f:
        data = f.read()
    assert struct.unpack_from('<I', data, 0)[0] == 0xa1b2c3d4
    frames, pos = [], 24
    while pos + 16 <= len(data):
        sec, usec, caplen, _ = struct.unpack_from('<IIII', data, pos)
        frames.append((sec, usec, data[pos + 16:pos + 16 + caplen]))
        pos += 16 + caplen
    return data[:24], frames


def with_payload(frame, payload):
    """The Ethernet/IPv4/UDP frame with another payload: IP and UDP lengths and the IP
    header checksum follow it."""
    ip = bytearray(frame[14:34])
    struct.pack_into('>H', ip, 2, 20 + 8 + len(payload))
    struct.pack_into('>H', ip, 10, 0)
    total = sum(struct.unpack('>10H', bytes(ip)))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into('>H', ip, 10, ~total & 0xFFFF)
    udp = bytearray(frame[34:42])
    struct.pack_into('>H', udp, 4, 8 + len(payload))
    return frame[:14] + bytes(ip) + bytes(udp) + payload


class DamagedPayloads(unittest.TestCase):
    """Sample packets cut at every byte and with bytes overwritten: the dissector still walks
    each payload exactly as the library does, and never fails in Lua."""

    def check(self, name, payloads):
        header, frames = read_pcap(ARGS.sample_capture)
        path = os.path.join(ARGS.work, name + '.pcap')
        with open(path, 'wb') as f:
            f.write(header)
            for i, payload in enumerate(payloads):
                frame = with_payload(frames[0][2], payload)
                f.write(struct.pack('<IIII', frames[0][0], i, len(frame), len(frame)) + frame)
        os.makedirs(os.path.join(ARGS.work, name))
        library, _, _ = library_trace(path, ARGS.sample_snapshot, os.path.join(ARGS.work, name))
        dissected = dissected_packets(frames_of(path))
        self.assertEqual(dissected, library)
        self.assertGreater(len(library), len(payloads) // 2)
        # The whole tree printed, expert infos included, without a Lua error.
        tshark(path, '-V')
        return dissected

    def test_cut_at_every_byte(self):
        _, frames = read_pcap(ARGS.sample_capture)
        payloads, seqno = [], 0
        for _, _, frame in frames[:12]:
            packet = frame[42:]
            for cut in range(len(packet) + 1):
                damaged = bytearray(packet[:cut])
                if cut >= 20:  # a fresh sequence number, one more each time
                    seqno += 1
                    struct.pack_into('>I', damaged, 8, seqno)
                payloads.append(bytes(damaged))
        dissected = self.check('cut', payloads)
        self.assertEqual(len(dissected), seqno)

    def test_overwritten_bytes(self):
        # Any byte but the sequence number and the body length: the packet stays one packet
        # of the payload, its fields' ids and lengths take any value.
        _, frames = read_pcap(ARGS.sample_capture)
        rng = random.Random(20261216)
        payloads = []
        for n, (_, _, frame) in enumerate(frames[:400]):
            packet = bytearray(frame[42:])
            struct.pack_into('>I', packet, 8, n + 1)
            places = [i for i in range(len(packet)) if not 8 <= i < 12 and i not in (14, 15)]
            for _ in range(rng.randint(1, 3)):
                packet[rng.choice(places)] = rng.randrange(256)
            payloads.append(bytes(packet))
        self.check('overwritten', payloads)


class FirmwareRecords(unittest.TestCase):
    """Record frames of receive channel 1 in a capture of link type USER0."""

    def test_record_members(self):
        expect = read_expect()
        frames = frames_of(os.path.join(ARGS.work, 'records.pcap'))
        for _, frame, name, value in (e for e in expect if e[0] == 'record'):
            shown = frames[int(frame)]['layers']['vorn_record']['vorn_record.' + name]
            if name == 'instrument_id':
                self.assertEqual(shown, value)
            else:
                self.assertEqual(float(shown), float(value), (frame, name))
        for _, frame, name in (e for e in expect if e[0] == 'expert' and e[2].startswith('vorn_record.')):
            self.assertIn('"%s":' % name, json.dumps(frames[int(frame)]['layers']), frame)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ('tshark', 'plugin', 'decode', 'snapshot-tool', 'capture-tool'):
        parser.add_argument('--' + name, required=True)
    ARGS, rest = parser.parse_known_args()
    ARGS.work = work = tempfile.mkdtemp(prefix='vorn_wireshark_test.')
    try:
        ARGS.home = os.path.join(work, 'home')
        os.makedirs(ARGS.home)
        ARGS.sample_snapshot, ARGS.sample_capture = (os.path.join(work, n) for n in ('snap.bin', 'capture.pcap'))
        # The sample day as `make sample` writes it.
        subprocess.run([ARGS.snapshot_tool, 'make', '--date', '20261216', '--out', ARGS.sample_snapshot,
                        '--capture', ARGS.sample_capture, '--frames', '2000'], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([ARGS.capture_tool, work], check=True)
        program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
        return 0 if program.result.wasSuccessful() else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
