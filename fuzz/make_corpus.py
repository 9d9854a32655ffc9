#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/ from the literal
vectors of the tests (packets, replies, broker answers, configuration values, typed fields).
Run again after changing a seed; files that the fuzzer or a fixed finding added are kept."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8")
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(data)


def header(param=0, length=0, conn=0, code=0, serial=0, value=0, count=1, index=0, reply=0,
           param2=0):
    return struct.pack("<IIIHHHHHHH", param & 0xFFFFFFFF, length, conn, code, serial, value,
                       count, index, reply, param2)


def packet(data=b"", **h):
    return (header(**h) + data[:508]).ljust(534, b"\0")


def record(data=b"", flags=1, **h):
    """One record of the framed stream: flags, header, 2-byte length, data."""
    return bytes([flags]) + header(**h) + struct.pack("<H", len(data)) + data


def framed(*records):
    return b"\x01" + b"".join(records)


def raw(*segments):
    """Segments sent as they are: the first at connect, each other after a request."""
    return b"\x00" + b"".join(struct.pack("<H", len(seg)) + seg for seg in segments)


def ss(text):
    if isinstance(text, str):
        text = text.encode("cp1256")
    return bytes([len(text)]) + text


REGISTRATION = dict(param=77, value=5, reply=1)


def security_data():
    return (ss("Central Library") + ss("Centre text") + ss("MAIN") + bytes([2, 3]) +
            struct.pack("<H", 0x0405))


def db_list_data(dbs):
    out = b""
    for handle, number, name in dbs:
        out += struct.pack("<HHB", handle, number, 0x11) + ss("text of " + name) + ss(name)
    return out


def local_record(name, security, results, status=1, capture=0):
    out = ss(name) + struct.pack("<iBiHH", security, status, 1234, 2, len(results))
    out += bytes([104, 4, 15, 10, 30, 0]) + bytes([104, 4, 15, 11, 0, 59])
    out += struct.pack("<HHH", capture, 5, 6)
    for kind, handle, lifetime in results:
        out += struct.pack("<BHH", kind, handle, lifetime)
    return out


def web_record(name, user_id):
    return ss(name) + struct.pack("<i", user_id) + bytes([104, 0, 1, 0, 0, 0])


def db_view_record(ident, path, children, results, is_open=1, parent=1):
    out = struct.pack("<H", ident) + ss(path) + bytes([is_open, parent, len(children)])
    out += b"".join(struct.pack("<H", c) for c in children)
    out += struct.pack("<H", len(results))
    for kind, user in results:
        out += bytes([kind]) + ss(user)
    return out


LOCALS = (local_record("JOHN", 42, [(5, 100, 0x8000), (2, 101, 0x4000)]) +
          local_record("كاربر", 7, [], status=0x84, capture=1))
WEBS = web_record("web-user", 9) + web_record("", -1)
DBVIEW = (db_view_record(5, "C:\\DATA\\BOOKS", [7, 9], [(5, "JOHN")]) +
          db_view_record(7, "C:\\DATA\\CHILD", [], [], is_open=0, parent=0))
STATUS = struct.pack("<iiii", 100, 50, 25, 0) + struct.pack("<5H", 2, 1, 3, 2, 24) + \
    struct.pack("<14H", *range(14))
DBS = [(100, 5, "FIVE"), (101, 7, "SEVEN"), (102, 9, "NINE")]


def session_stream(extra_before_locals=()):
    return framed(
        record(**REGISTRATION),
        record(security_data(), code=20, value=1),
        record(code=18, value=0x0901),
        record(db_list_data(DBS), code=1, value=3, param=0x1234),
        *extra_before_locals,
        record(LOCALS, code=368, value=2),
        record(WEBS, code=370, value=2),
        record(DBVIEW, code=372, value=2),
        record(STATUS, code=373),
        record(b"first line\r\nsecond line\nthird", code=374, value=30),
        record(code=374),
        record(code=369), record(code=371), record(code=375), record(code=19))


# Reply reassembly from a byte stream.
t = "fuzz_reply_stream"
put(t, "registration-only", raw(packet(**REGISTRATION)))
put(t, "registration-then-reply", raw(packet(**REGISTRATION), packet(b"abc", length=3, code=368)))
put(t, "registration-25-bytes", raw(packet(**REGISTRATION)[:25]))
put(t, "registration-refused", raw(packet(param=77, value=5, reply=0)))
put(t, "empty-reply", framed(record(**REGISTRATION), record(code=368)))
put(t, "three-packets", framed(record(**REGISTRATION), record(bytes(range(256)) * 5 + b"\1\2\3\4", code=368)))
put(t, "spilling-reply", framed(record(**REGISTRATION), record(bytes(range(200)) * 8, flags=1 | (4 << 1), code=368)))
put(t, "packet-count-0", raw(packet(**REGISTRATION), packet(b"abc", length=3, count=0)))
put(t, "data-length-beyond-packets", raw(packet(**REGISTRATION), packet(b"abc", length=5000, count=1)))
put(t, "data-length-negative", raw(packet(**REGISTRATION), packet(b"abc", length=0xFFFFFFF0, count=1)))
put(t, "more-packets-than-announced", raw(packet(**REGISTRATION), packet(b"a" * 508, length=600, count=1)
                                          + packet(b"b" * 92, length=600, count=2, index=1),
                                          packet(b"x", length=1, count=1)))
put(t, "more-packets-framed", framed(record(**REGISTRATION), record(b"a" * 600, flags=0, length=600, count=1, code=368),
                                     record(b"stale", flags=0x21, code=368), record(b"next", code=369)))
put(t, "count-changes", raw(packet(**REGISTRATION), packet(b"a", length=1000, count=2)
                            + packet(b"b", length=1000, count=9, index=1)))
put(t, "stops-mid-packet", raw(packet(**REGISTRATION), packet(b"abc", length=3)[:300]))

# A whole session.
t = "fuzz_session"
put(t, "good-session", session_stream())
put(t, "list-changed-once", session_stream([
    record(code=368, reply=1, value=5),
    record(db_list_data([(200, 7, "SEVEN-B"), (201, 11, "ELEVEN")]), code=1, value=2, param=0x1235)]))
put(t, "version-refused", framed(record(**REGISTRATION), record(code=20, reply=1, value=162, param=0x0205)))
put(t, "security-without-data", framed(record(**REGISTRATION), record(code=20)))
put(t, "login-busy", framed(record(**REGISTRATION), record(security_data(), code=20),
                            record(code=18, value=0, param=1)))
put(t, "server-error", framed(record(**REGISTRATION), record(security_data(), code=20),
                              record(code=18, value=1), record(db_list_data(DBS), code=1, value=3),
                              record(code=368, reply=1, value=43)))
put(t, "too-many-databases", framed(record(**REGISTRATION), record(security_data(), code=20),
                                    record(code=18, value=1),
                                    record(db_list_data([(i, i, "DB%d" % i) for i in range(300)]),
                                           code=1, value=300)))

# Decoders straight from reply data: [selector][count, 2 bytes][data].
t = "fuzz_console_decoders"
put(t, "locals", bytes([0]) + struct.pack("<H", 2) + LOCALS)
put(t, "locals-spilled", bytes([0xC0]) + struct.pack("<H", 2000) + LOCALS)
put(t, "locals-501-results", bytes([0]) + struct.pack("<H", 1) +
    local_record("MANY", 1, [(5, 100, 0)] * 501) + local_record("NEXT", 2, []))
# Found by the secrets test: data with a count of 0 was reported as "Out of Memory.".
for selector in range(3):
    put(t, "count-0-with-data-%d" % selector, bytes([selector, 0, 0]) + b"A" * 600)
put(t, "webs", bytes([1]) + struct.pack("<H", 2) + WEBS)
put(t, "dblist", bytes([2]) + struct.pack("<H", 2) + DBVIEW)
put(t, "dblist-251-children", bytes([2]) + struct.pack("<H", 1) +
    db_view_record(1, "P", list(range(251)), [(1, "U")] * 3))
put(t, "status", bytes([3]) + struct.pack("<H", 0) + STATUS)
put(t, "status-overflow", bytes([3]) + struct.pack("<H", 0) + struct.pack("<iiii", 2**31 - 1, 2**31 - 1, 2**31 - 1, -2**31) + bytes([0xFF]) * 38)
put(t, "error-log-chunk", bytes([4]) + struct.pack("<H", 0) + b"one\r\ntwo\nthree\r\r\n\n")
put(t, "date-times", bytes([5]) + struct.pack("<H", 0x3C04) + bytes([104, 4, 0, 0, 0, 0, 104, 1, 29, 23, 59, 59, 255, 255, 255, 255, 255, 255]) + ss("x" * 70))

# Broker answers.
ENVELOPES = [
    "<r><_ERRNUM>0</_ERRNUM><_DATA><ID>77</ID></_DATA></r>",
    "<r><_DATA/></r>",
    "<r><_ERRNUM>five</_ERRNUM></r>",
    "<r><_ERRNUM>4294967296</_ERRNUM></r>",
    "<r><_ERRNUM>5</_ERRNUM><_ERRSTR/></r>",
    "<r><_ERRNUM>-3</_ERRNUM><_ERRSTR>No <b>such</b> user</_ERRSTR></r>",
    "<r><_ERRNUM>0</_ERRNUM><_DATA><srv><name>CENTRAL</name><ecenter>R&amp;amp;D &amp;lt;x&amp;gt;</ecenter></srv>"
    "<srv><name>" + "N" * 70 + "</name><ecenter>" + "کتابخانه مرکزي" * 8 + "</ecenter></srv></_DATA></r>",
    "<r><_ERRNUM>0</_ERRNUM><_DATA><session><ssnid>1</ssnid><sidx>2</sidx><sname>MAIN</sname>"
    "<ecname>Centre</ecname><usrid>7</usrid><usrname>" + "u" * 35 + "</usrname><kind>0</kind>"
    "<latime>37622.5</latime><dbres><dbid>1</dbid><dbname>A</dbname><appid>2</appid>"
    "<apphndl>3</apphndl><edtid>4</edtid><edthndl>5</edthndl></dbres><dbres><dbid>6</dbid>"
    "<dbname>B</dbname></dbres><dbres><dbid>x</dbid></dbres></session>"
    "<session><kind>1</kind><latime></latime></session><session><kind>2</kind><latime>abc</latime></session>"
    "<session><kind>-1</kind><latime>1e308</latime></session><session><latime>-1e9</latime>"
    "<ssnid>99999999999</ssnid></session></_DATA></r>",
    "<html><body><h1>500 Internal Server Error</h1><br></body></html>",
    "",
    '<?xml version="1.0"?><!DOCTYPE r [<!ENTITY xxe SYSTEM "file:///etc/passwd">]><r><_ERRSTR>&xxe;</_ERRSTR><_ERRNUM>3</_ERRNUM></r>',
    '<?xml version="1.0"?><!DOCTYPE lolz [<!ENTITY lol "lol"><!ENTITY lol2 "&lol;&lol;&lol;&lol;">'
    '<!ENTITY lol3 "&lol2;&lol2;&lol2;&lol2;">]><r><_ERRSTR>&lol3;</_ERRSTR><_ERRNUM>2</_ERRNUM></r>',
]
for n, doc in enumerate(ENVELOPES):
    put("fuzz_broker_documents", "answer-%02d" % n, doc)
    for flow in range(4):
        put("fuzz_broker_exchange", "answer-%02d-flow%d" % (n, flow), doc.encode() + bytes([flow]))
put("fuzz_broker_documents", "nested", "<r>" + "<a>" * 2000 + "</a>" * 2000 + "</r>")

# Windows-1256.
t = "fuzz_win1256"
put(t, "farsi", "کتابخانه مرکزي".encode("cp1256"))
put(t, "high-half", bytes(range(0x80, 0x100)))
put(t, "utf8-farsi", "کتابخانه مرکزی €".encode("utf-8"))
put(t, "malformed-utf8", b"\xe2\x82\xf0\x9f\x98\xc0\xaf\xed\xa0\x80")

# IdPermutation values.
t = "fuzz_id_permutation"
default = ",".join(str((7 * i + 3) % 31) for i in range(31))
put(t, "default", default)
put(t, "identity", ",".join(str(i) for i in range(31)))
put(t, "blanks", " " + default.replace(",", " , ") + " ")
put(t, "thirty", ",".join(str(i) for i in range(1, 31)))
put(t, "twice", "1,1" + default[3:])
put(t, "out-of-range", default.replace("30", "31"))
put(t, "empty", "")

# Broker URLs.
t = "fuzz_broker_url"
for n, url in enumerate(["host/scripts", "  http://broker.example/cgi-bin  ", "HTTP://X/", "",
                         "\t\r\n", "https://x", "http://"]):
    put(t, "url-%d" % n, url)

# Connect dialog fields: network:node:socket:masked address:port.
t = "fuzz_connect_fields"
put(t, "valid", "0000000A:00A0C9123456:8060:127.0  .0  .1  :4545")
put(t, "short", "A:1:1:10 .0  .0  .1  :1")
put(t, "non-hex", "00G0:1:1:256.0  .0  .1  :65536")
put(t, "empty", "::::")
put(t, "long", "123456789ABC:1234567890ABCDEF:12345:1234.5.6.7:0000045")
