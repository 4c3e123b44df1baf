#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/.

The targets that split their input with FuzzedDataProvider take integers from
the end of the input and bytes and strings from its front; `Provider` below
lays a seed out the same way, so each seed says what it holds. Run again after
changing how a target reads its input; the files are part of the project.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
LISTS = os.path.join(HERE, "..", "logd", "lists")


class Provider:
    """Builds an input in the layout FuzzedDataProvider reads it."""

    def __init__(self):
        self.front = bytearray()
        self.taken = bytearray()  # bytes taken from the end, in the order taken

    def integral(self, value, low, high, size):
        span = high - low
        result = value - low
        offset = 0
        taken = []
        while offset < size * 8 and (span >> offset) > 0:
            taken.append((result >> (8 * (len(taken)))) & 0xFF)
            offset += 8
        # The provider shifts each new byte in below the ones before it.
        self.taken += bytes(reversed(taken))
        return self

    def i32(self, v):
        return self.integral(v, -(1 << 31), (1 << 31) - 1, 4)

    def u32(self, v):
        return self.integral(v, 0, (1 << 32) - 1, 4)

    def u16(self, v):
        return self.integral(v, 0, 0xFFFF, 2)

    def boolean(self, v):
        return self.integral(1 if v else 0, 0, 255, 1)

    def in_range(self, v, low, high, size=4):
        return self.integral(v, low, high, size)

    def raw(self, data):
        self.front += data
        return self

    def string(self, text, max_length):
        data = text.replace(b"\\", b"\\\\")
        self.front += data
        if len(text) < max_length:
            self.front += b"\\n"
        return self

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.taken))


def pad4(n):
    return (n + 3) & ~3


def event_record(number, source=b"kvxwdd", event_id=0xC0070001, data=b"", strings=(b"\\Device\\KvxPort2",),
                 time_generated=1796652136):
    """An EVENTLOGRECORD (ANSI) as the simulated System log holds it."""
    names = source + b"\0" + b"SIMHOST\0"
    string_offset = pad4(56 + len(names))
    text = b"".join(s + b"\0" for s in strings)
    data_offset = string_offset + len(text)
    length = pad4(data_offset + len(data)) + 4
    head = struct.pack("<IIIIIIHHHHIIIIII", length, 0x654C664C, number, time_generated, time_generated, event_id,
                       1, len(strings), 0, 0, 0, string_offset, 0, string_offset, len(data), data_offset)
    body = head + names
    body += b"\0" * (string_offset - len(body)) + text + data
    body += b"\0" * (length - 4 - len(body))
    return body + struct.pack("<I", length)


def driver_data(status, key, key_offset=40, size=104):
    """The driver's I/O error-log packet: status word at 16, key big-endian."""
    data = bytearray(max(size, key_offset + 4))
    struct.pack_into("<H", data, 2, 64)
    struct.pack_into("<I", data, 12, 0xC0070001)
    struct.pack_into("<I", data, 16, status)
    struct.pack_into(">I", data, key_offset, key)
    return bytes(data)


def log_file(records, oldest, next_number, generation=1):
    """A simulated log file: the 64-byte header, then the records."""
    body = b"".join(records)
    header = b"KVXEVLOG" + struct.pack("<IIIIIIQ", 1, 64, generation, oldest, next_number, len(records),
                                       64 + len(body))
    return header + b"\0" * (64 - len(header)) + body


def write(target, name, data):
    directory = os.path.join(CORPUS, target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def versions_reply():
    packet = bytearray(892)
    struct.pack_into("<I", packet, 0, 28)
    packet[28] = 1
    packet[156 + 328:156 + 333] = b"2.1.4"
    packet[156 + 584:156 + 589] = b"10.02"
    return bytes(packet)


def port_names_reply():
    packet = bytearray(2452)
    struct.pack_into("<Q", packet, 156 + 8, 0x200000000000A000)
    struct.pack_into("<Q", packet, 156 + 16, 0x1122334455667788)
    return bytes(packet)


# The driver's answers (fuzz/support/fuzz_host.cpp, fuzzed_answer).
SUCCESS, BUSY, GEN_FAILURE, INVALID_PARAMETER = 0, 2, 3, 4


def answer(p, error_choice, data, max_bytes, returned=0):
    p.in_range(error_choice, 0, 5, 4)
    p.u32(returned)
    p.in_range(len(data), 0, max_bytes, 8)
    p.raw(data)


def driver_record_seed(uid, dump, size, max_records, reply_head, answers, file_text, record, last_error=0x1F,
                       full_reply=True):
    p = Provider().i32(uid).i32(dump).i32(size).i32(max_records).i32(last_error)
    p.boolean(reply_head is not None)
    if reply_head is not None:
        p.boolean(full_reply)
        if not full_reply:
            p.in_range(len(reply_head), 0, 16400, 8)
        p.in_range(len(reply_head), 0, 64, 8).raw(reply_head)
    for choice, data in answers:
        answer(p, choice, data, 2500)
    p.boolean(file_text is not None)
    p.string(file_text or b"", 4096)
    p.raw(record)
    return p.bytes()


def driver_record_seeds():
    good = [(SUCCESS, versions_reply()), (SUCCESS, port_names_reply()), (SUCCESS, b"")] * 2
    failing = [(GEN_FAILURE, b""), (BUSY, b""), (INVALID_PARAMETER, b"")] * 2
    rec = event_record(1234, data=driver_data(0, 0x0503020A))
    write("driver_record", "class0_slot3", driver_record_seed(40, 104, 1024, 4096, b"\x10\x00", good, None, rec))
    write("driver_record", "class2_no_reply",
          driver_record_seed(40, 20, 20, 2, None, failing, b"   1       200\r\n",
                             event_record(7, source=b"KVXWDD", data=driver_data(0xC0000000, 0x0102020A))))
    write("driver_record", "key_at_44_wrap_every_entry",
          driver_record_seed(44, 16, 16, -1, b"\x00\x04", good, b"  12      5000\r\n",
                             event_record(0x80000001, data=driver_data(0, 0x05050208, key_offset=44))))
    write("driver_record", "huge_sizes", driver_record_seed(40, 0x7FFFFFFF, 0x7FFFFFFF, 0, b"\xff\xff", good,
                                                            b"9999 999999990\r\n", rec))
    write("driver_record", "key_outside_the_record", driver_record_seed(0x7FFFFFFF, -1, -1, 1, b"\xff\xff", good,
                                                                        None, rec))
    write("driver_record", "short_record", driver_record_seed(40, 104, 1024, 4096, b"\x80", good, None, rec[:60],
                                                              full_reply=False))
    # A header edited to the largest count: counted on from the most the
    # header can show, with and without a wrap.
    write("driver_record", "count_2147483647", driver_record_seed(40, 104, 1024, 0x7FFFFFFF, b"\x10\x00", good,
                                                                  b"2147483647 16\r\n", rec))
    write("driver_record", "count_2147483647_wraps", driver_record_seed(40, 104, 1024, 4096, b"\x10\x00", good,
                                                                        b"2147483647 2147483647\r\n", rec))
    write("driver_record", "other_source",
          driver_record_seed(40, 104, 1024, 4096, None, failing, None,
                             event_record(3, source=b"disk", event_id=0x80040007, data=b"\x01\x02")))


def configuration_seed(have_key, values):
    """values: nine entries, each None or (type index or raw type, data)."""
    p = Provider().in_range(1 if have_key else 0, 0, 15, 4)
    for i, v in enumerate(values):
        p.boolean(v is not None)
        if v is None:
            continue
        kind, data = v
        if isinstance(kind, tuple):
            p.in_range(7, 0, 7, 4).u32(kind[0])
        else:
            p.in_range(0, 0, 7, 4).in_range(kind, 0, 6, 8)
        p.in_range(len(data), 0, 12 if i < 7 else 600, 8).raw(data)
    return p.bytes()


def configuration_seeds():
    dword, sz, expand, binary, qword = 0, 1, 2, 3, 4

    def d(n):
        return (dword, struct.pack("<I", n & 0xFFFFFFFF))

    every = [d(300), d(1), d(40), d(104), d(1024), d(16), d(4096),
             (sz, b"C:\\kvx\\log\0"), (sz, b"C:\\kvx\\\0")]
    write("configuration", "every_value", configuration_seed(True, every))
    odd = [d(0), d(-1), d(0x7FFFFFFF), (sz, b"20\0"), (binary, b"\x01\x02\x03\x04"), (dword, b"\x01\x02"),
           (qword, b"\x00\x10\0\0\0\0\0\0"), (expand, b"%SystemRoot%\\log\0"), (sz, b"C:\\no-terminator")]
    write("configuration", "wrong_types_and_sizes", configuration_seed(True, odd))
    write("configuration", "no_key", configuration_seed(False, [None] * 9))
    write("configuration", "long_directory", configuration_seed(True, [None] * 7 + [(sz, b"C:\\" + b"d" * 300 + b"\0"),
                                                                                   (sz, b"")]))


def parameter_text_seed(installed, adapter, parameter, typed, text, value_type=1, have_value=True):
    p = Provider().in_range(1 if installed else 0, 0, 7, 4).in_range(adapter, -1, 31, 4).in_range(parameter, 0, 11, 4)
    p.string(typed, 64)
    p.in_range(1 if have_value else 0, 0, 7, 4).in_range(value_type, 0, 12, 4)
    p.raw(text)
    return p.bytes()


def parameter_text_seeds():
    write("parameter_text", "global_link_down",
          parameter_text_seed(True, -1, 4, b"30", b"Topology=1;LinkSpeed=2;LinkDown=007;"))
    write("parameter_text", "adapter_alpa", parameter_text_seed(True, 3, 7, b"0x1fzz", b"PreferredALPA=0x1f;Qdp=8;"))
    write("parameter_text", "malformed_entries", parameter_text_seed(True, -1, 5, b"z", b"ResetDelay;LinkDown=;Sgl"))
    write("parameter_text", "mscs_in_adapter_scope", parameter_text_seed(True, 0, 10, b"1", b"RstLun=1;"))
    write("parameter_text", "not_installed", parameter_text_seed(False, -1, 8, b"99", b"Qdp=99;"))
    write("parameter_text", "binary_value", parameter_text_seed(True, 31, 9, b"255", b"Sgl=16;\0Sgl=32;", 3))


def control_replies_seed(begin, end, reply, answers, refuse=False, slot=3):
    p = Provider().u16(begin).u16(end).in_range(len(reply), 0, 20000, 8).raw(reply)
    for choice, data in answers:
        answer(p, choice, data, 300, returned=len(data))
    p.in_range(0 if refuse else 1, 0, 15, 4).in_range(slot, -1, 16, 4)
    return p.bytes()


def control_replies_seeds():
    errlog = bytearray(16400)
    errlog[0:2] = b"\x10\x00"
    errlog[16 + 3 * 1024:16 + 3 * 1024 + 4] = b"\xff\xee\xdd\xcc"
    location = bytearray(188)
    struct.pack_into("<I", location, 28 + 8, 0x020A)
    pkg = bytearray(188)
    pkg[28 + 9:28 + 12] = b"\x02\x3cB"
    ok = [(SUCCESS, bytes(location[:48]))] * 24
    write("control_replies", "errlog_reply", control_replies_seed(0, 2, bytes(errlog), ok))
    write("control_replies", "versions_area", control_replies_seed(484, 740, versions_reply(), [(SUCCESS, bytes(pkg[:48]))] * 24))
    write("control_replies", "busy_then_failing", control_replies_seed(10, 5, b"\x2e", [(BUSY, b""), (GEN_FAILURE, b"")] * 12))
    write("control_replies", "no_device", control_replies_seed(0, 0, b"", [], refuse=True, slot=16))


def event_log_seed(probe_from, start_at, record_data, file_bytes):
    p = Provider().u32(probe_from).u32(start_at).in_range(len(record_data), 0, 128, 4).raw(record_data)
    p.raw(file_bytes)
    return p.bytes()


def event_log_seeds():
    rec = lambda n, status=0: event_record(n, data=driver_data(status, 0x0503020A))
    three = log_file([rec(1), rec(2), event_record(3, source=b"disk", data=b"")], 1, 4)
    write("event_log_file", "three_records", event_log_seed(1, 0, driver_data(0, 0x020A), three))
    wrap = log_file([rec(0xFFFFFFFE), rec(0xFFFFFFFF), rec(1)], 0xFFFFFFFE, 2)
    write("event_log_file", "numbers_wrap", event_log_seed(0xFFFFFFFF, 0xFFFFFFFD, b"", wrap))
    past = log_file([rec(0x7FFFFFFF), rec(0x80000000, 0xC0000000)], 0x7FFFFFFF, 0x80000001)
    write("event_log_file", "past_2_to_the_31", event_log_seed(0x80000000, 0x7FFFFFFE, b"\x01", past))
    write("event_log_file", "empty_file", event_log_seed(1, 1, b"", b""))
    write("event_log_file", "header_only", event_log_seed(5, 0, b"", log_file([], 0, 801, 7)))
    write("event_log_file", "truncated", event_log_seed(1, 0, b"", three[:len(three) - 9]))


# watcher_model's operations (fuzz/watcher_model.cpp, run::step) and record kinds.
APPEND, CLEAR_TO_1, CLEAR_KEEP, CLEAR_AT, APPEND_UNSIGNALLED, NOTIFY, PASS, JOIN, TOGGLE = 0, 2, 3, 4, 5, 6, 7, 9, 10
ADAPTER_0, ADAPTER_1, ADAPTER_2, NO_ADAPTER, CLASS_1, CLASS_2, OTHER_SOURCE = 0, 1, 2, 3, 4, 5, 7


class Watch:
    """An operation sequence for watcher_model, from the log at the start on."""

    def __init__(self, start, present, empty_oldest_is_next=False):
        self.p = Provider()
        self.number(start).p.boolean(empty_oldest_is_next)
        self.p.in_range(len(present), 0, 4)
        for kind in present:
            self.p.in_range(kind, 0, 7)

    def number(self, n):
        """1, 2^31 - k, 2^32 - 1 - k (k up to 20) or any number."""
        if n == 1:
            self.p.in_range(0, 0, 20).in_range(0, 0, 3)
        elif 0x80000000 - 20 <= n <= 0x80000000:
            self.p.in_range(0x80000000 - n, 0, 20).in_range(1, 0, 3)
        elif 0xFFFFFFFF - 20 <= n:
            self.p.in_range(0xFFFFFFFF - n, 0, 20).in_range(2, 0, 3)
        else:
            self.p.in_range(0, 0, 20).in_range(3, 0, 3).u32(n)
        return self

    def op(self, code, *args):
        self.p.in_range(code, 0, 10)
        if code in (APPEND, APPEND_UNSIGNALLED):
            self.p.in_range(args[0], 0, 7)
        elif code in (CLEAR_TO_1, CLEAR_KEEP):
            self.p.boolean(args[0] if args else False)
        elif code == CLEAR_AT:
            self.number(args[0]).p.boolean(args[1] if len(args) > 1 else False)
        elif code == TOGGLE:
            self.p.in_range(args[0], 0, 2)
        return self

    def appends(self, kinds, code=APPEND):
        for kind in kinds:
            self.op(code, kind)
        return self

    def bytes(self):
        return self.p.bytes()


def watcher_seeds():
    w = Watch(1, [ADAPTER_0, OTHER_SOURCE]).appends([ADAPTER_0, ADAPTER_1, NO_ADAPTER, CLASS_1, CLASS_2])
    w.op(PASS).op(JOIN).appends([ADAPTER_2, OTHER_SOURCE], APPEND_UNSIGNALLED).op(PASS).op(NOTIFY).op(PASS)
    write("watcher_model", "three_adapters_and_a_lost_notification", w.bytes())
    w = Watch(1, []).op(TOGGLE, 0).appends([ADAPTER_0] * 18 + [ADAPTER_1]).op(PASS).op(JOIN).op(TOGGLE, 0)
    w.op(NOTIFY).op(PASS).op(JOIN).op(PASS)
    write("watcher_model", "a_full_queue_defers", w.bytes())
    w = Watch(0xFFFFFFFD, [ADAPTER_1], True).appends([ADAPTER_1] * 4).op(PASS).op(CLEAR_AT, 0x7FFFFFFF, True)
    w.appends([ADAPTER_2] * 3).op(PASS).op(CLEAR_KEEP).appends([ADAPTER_0]).op(PASS)
    write("watcher_model", "across_the_wrap_and_clears", w.bytes())
    # Losses the model found, since fixed: a log cleared and written again
    # past the last dispatched number before a pass looks...
    w = Watch(1, [ADAPTER_0] * 2).op(CLEAR_TO_1).appends([ADAPTER_0, ADAPTER_1, ADAPTER_0]).op(PASS).op(JOIN)
    write("watcher_model", "finding_reused_number", w.bytes())
    # ...and a record left in the log behind a full queue, then cleared.
    w = Watch(1, []).op(TOGGLE, 0).appends([ADAPTER_0] * 17).op(PASS).op(CLEAR_TO_1).appends([ADAPTER_1]).op(PASS)
    write("watcher_model", "finding_cleared_while_deferred", w.bytes())


def text_seeds():
    with open(os.path.join(LISTS, "errorlog_list.txt"), "rb") as f:
        names = f.read()
    with open(os.path.join(LISTS, "errorlevel_list.txt"), "rb") as f:
        levels = f.read()
    lists = lambda n, l: Provider().string(n, 1 << 30).raw(l).bytes()
    write("error_lists", "shipped_lists", lists(names, levels))
    write("error_lists", "odd_lines", lists(b"5, NAME_A, 2\n5 , NAME_A , 2\n5,NAME A,2\n5,NAME_A,2 trailing words\n"
                                            b"5,NAME_A,2,9\n5,NAME_A\n   # 7,NAME_C,1\n5,,\n,,\n" + b"9" * 300 + b",X,1\n",
                                            b"2,LEVEL_B\n\r\n-2147483649, LOW\n99999999999,HIGH\n,\n"))

    write("reg_hive", "machine_values", b"Windows Registry Editor Version 5.00\r\n\r\n"
          b"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\kvxwdd\\hbalogd]\r\n"
          b"\"max_record_count\"=dword:00001000\r\n\"error_log_file_path\"=\"C:\\\\kvx\\\\log\"\r\n"
          b"\"blob\"=hex:00,ff,1a\r\n\"expand\"=hex(2):25,00,41,00,00,00\r\n\"q\"=hex(b):00,10,00,00,00,00,00,00\r\n"
          b"@=\"default\"\r\n\"long\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,\\\r\n"
          b"  18,19,1a\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\kvxwdd\\Parameters\\Device]\r\n"
          b"\"DriverParameter\"=\"Topology=1;LinkDown=007;\"\r\n\"gone\"=-\r\n")
    write("reg_hive", "regedit4_and_removal", b"REGEDIT4\n\n[HKLM\\SOFTWARE\\a]\n\"s\"=hex(1):41,42,00\n"
          b"[-HKLM\\SOFTWARE\\a]\n[HKCR\\.kvx]\n@=\"x\"\n; comment\n")
    utf16 = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"v\"=\"w\"\r\n"
    write("reg_hive", "utf16", b"\xff\xfe" + utf16.encode("utf-16-le"))

    with open(os.path.join(HERE, "..", "docs", "kvxsim.md"), encoding="utf-8") as f:
        doc = f.read()
    start = doc.index("    # Two adapters")
    example = "\n".join(line[4:] for line in doc[start:].split("\n\n| Key")[0].splitlines())
    write("simulator_config", "documented_example", example.encode())
    write("simulator_config", "every_key", b"[Adapter]\r\nport = 0x7f\r\ndriver = other\r\npci_location = 0xffffffff\r\n"
          b"wwnn = 18446744073709551615\r\nec_level = none\r\nparts_number = 12345678901\r\n"
          b"firmware_version = unsupported\r\ndevice_object = \\Device\\X\r\nfail = errlog:170, versions\r\n")
    write("simulator_config", "refused", b"[adapter]\nport = 2\n[adapter]\nport = 2\n")

    write("console_input", "answers", b"1\n99\n007\n0x1f\n0x1fzz\nx\nZ\n88\n\n" + b"9" * 40 + b"\n4294967297\n31\r\n")
    write("console_input", "no_line_end", b"0X")


def log_ring_seeds():
    """kvxlog's reader: the log files kept for its tests (golden entries, a
    file hbalogd wrapped), one cut, one with its header edited, one without
    its end marker."""
    data = os.path.join(HERE, "..", "tests", "data", "kvxlog")
    for name in ("kvx0208.log", "kvx0301.log"):
        with open(os.path.join(data, name), "rb") as f:
            text = f.read()
        write("log_ring", name, text)
    write("log_ring", "cut", text[:len(text) // 2])
    write("log_ring", "header_edited", b"   9      1234\r\n" + text[16:])
    write("log_ring", "no_marker", text.replace(b"--- end of log ---", b"                  "))


def main():
    log_ring_seeds()
    driver_record_seeds()
    configuration_seeds()
    parameter_text_seeds()
    control_replies_seeds()
    event_log_seeds()
    watcher_seeds()
    text_seeds()
    return 0


if __name__ == "__main__":
    sys.exit(main())
