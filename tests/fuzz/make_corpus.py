#!/usr/bin/python3
"""Writes the fuzzers' seed corpora under tests/fuzz/corpus/<target>/ (the outputs are committed).

    tests/fuzz/make_corpus.py

Each seed is a small input of the shape its fuzzer reads: good documents, command lines and notice
lines; archives well formed and crafted (traversal, bad CRC, truncated, empty, GBK names, ZIP64);
server conversations for the download engine. The seeds give the fuzzers the structure; the fuzzers
find the rest. Standard library only; run with Debian's /usr/bin/python3. Deterministic: running it
again writes the same bytes.
"""

import io
import os
import struct
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def gbk(text):
    return text.encode("gbk")


def write(target, name, data):
    directory = os.path.join(CORPUS, target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


# ---- the version document and its number ----

def version_document(version, notes="修正 托盘菜单#HHF新增 五个页面", address="http://127.0.0.1/KORVA/KORVA-1.2.zip",
                     title="页潮刷新器", file="KORVA-1.2.zip"):
    attributes = (f'版本号="{version}" 升级说明="{notes}" 下载地址="{address}" '
                  f'文件标题="{title}" 文件名="{file}"')
    return gbk(f'<?xml version="1.0" encoding="GBK"?>\r\n<最新版本>\r\n  <版本信息 {attributes}/>\r\n</最新版本>\r\n')


def xml_seeds():
    write("xml", "document", version_document("1.2"))
    write("xml", "document_exponent", version_document(" +0.12e1"))
    write("xml", "document_fraction_only", version_document(".5"))
    write("xml", "document_huge", version_document("1e400"))
    write("xml", "document_hex", version_document("0x1p4"))
    write("xml", "document_entities", version_document("1.3", notes="a &lt;b&gt; &amp; &apos;c&apos; &quot;"))
    write("xml", "bom_doctype_comment", b"\xef\xbb\xbf" + gbk(
        '<!DOCTYPE d [<!ENTITY e "x>y"> <!-- ] > -->]>\n<!-- c --><最新版本><?pi x?>'
        '<![CDATA[<版本信息 版本号="9"/>]]><版本信息 版本号="2.0"></版本信息></最新版本>'))
    write("xml", "nested_siblings", b'<a><b x="1"/><c><b x="2"/></c><b x="3">t</b></a>')
    write("xml", "unclosed", gbk('<最新版本><版本信息 版本号="1.2">'))
    write("xml", "number_only", b"  -12.5e-3xyz")


# ---- the updater's command line ----

def cmdline_seeds():
    write("cmdline", "hand_off", gbk(
        '"C:\\Program Files\\Pagetide\\data\\update.exe" qzmkhost_launcher '
        "http://127.0.0.1/KORVA/KORVA-1.2.zip 页潮刷新器 run KORVA.exe KORVA-1.2.zip 修正#HHF新增"))
    write("cmdline", "unquoted_program", b"update.exe qzmkhost_launcher u t run KORVA.exe f n")
    write("cmdline", "quotes_and_tabs", b'"a b" "qzmkhost_launcher"\t"x y"  z"w" "open')
    write("cmdline", "gbk_trail_quote", b'p \x81" \x95\\ \x81 last\x81')
    # The second half of the fuzzer's input: fields it builds a hand-off from, one a line.
    write("cmdline", "fields", gbk("KORVA\nhttp://h/a.zip?x=1&y=2\n页潮\nKORVA-1.2.zip\n修正#HHF新增\n"))


# ---- the notice line ----

def html_seeds():
    write("html_line", "fragment_and_sheet",
          gbk('<b>新</b> <font color="#FF0000">版本</font> <a href="http://x/" target="_blank">下载</a>&nbsp;&amp;')
          + b"\0" + gbk('body { font-family: "宋体", Arial; font-size: 9pt; color: #333 } a { color: red; font-weight: bold }'))
    write("html_line", "broken_markup", b"a < b <i>c &unknown; <a href='x'>d</a> <font color=blue>e")
    write("html_line", "styles_only", b"<span style=\"color:rgb(1,2,3);font-weight:700\">x</span>\0a:link{color:#0f0}")


# ---- archives ----

FIXED_TIME = (2024, 1, 2, 3, 4, 6)


def zip_of(entries, zip64=False):
    """entries: (name: str|bytes, data: bytes, compress: bool); a name ending in '/' is a directory."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        for name, data, compress in entries:
            info = zipfile.ZipInfo(name if isinstance(name, str) else name.decode("latin-1"), FIXED_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED if compress else zipfile.ZIP_STORED
            with z.open(info, "w", force_zip64=zip64) as f:
                f.write(data)
    return out.getvalue()


def raw_zip(entries):
    """An archive written by hand, so that names may hold any bytes and CRCs may lie.
    entries: (name: bytes, data: bytes, crc or None)."""
    body, central = b"", b""
    for name, data, crc in entries:
        crc = zlib.crc32(data) if crc is None else crc
        offset = len(body)
        common = struct.pack("<HHHHHIIIHH", 20, 0, 0, 0, 0x5A21, crc, len(data), len(data), len(name), 0)
        body += struct.pack("<I", 0x04034B50) + common + name + data
        central += (struct.pack("<IH", 0x02014B50, 20) + common
                    + struct.pack("<HHHII", 0, 0, 0, 0x10 if name.endswith(b"/") else 0, offset) + name)
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central), len(body), 0)
    return body + central + end


def zip_seeds():
    # The first byte is the fuzzer's set-up: bit 0 the target with a trailing backslash, bit 1 a
    # read-only and a hidden file already in it.
    package = zip_of([("KORVA.exe", b"MZ" + bytes(range(200)), True),
                      ("data/", b"", False),
                      ("data/update.exe", b"MZ update", False),
                      ("readme.txt", b"read me\r\n" * 20, True)])
    write("zip", "package", b"\0" + package)
    write("zip", "package_over_protected_files", b"\3" + zip_of([
        ("readonly.txt", b"new", False), ("sub/hidden.txt", b"new too", True), ("sub/more/x.dat", b"x" * 300, True)]))
    write("zip", "gbk_names", b"\0" + raw_zip([(gbk("数据/"), b"", None), (gbk("数据/说明.txt"), b"abc", None),
                                               (b"\x95\\x.txt", b"trail byte 0x5C", None)]))
    for label, name in [("dotdot", b"../evil.txt"), ("dotdot_inside", b"a/../../evil.txt"),
                        ("backslash_dotdot", b"a\\..\\..\\evil.txt"), ("absolute", b"/evil.txt"),
                        ("absolute_backslash", b"\\evil.txt"), ("drive", b"C:evil.txt"),
                        ("drive_absolute", b"C:\\keep\\evil.txt"), ("stream", b"x.txt:hidden"),
                        ("dots_only", b"a/.../b"), ("blank_dots", b". ./x")]:
        write("zip", "traversal_" + label, b"\0" + raw_zip([(b"ok.txt", b"fine", None), (name, b"evil", None)]))
    write("zip", "bad_crc", b"\0" + raw_zip([(b"a.txt", b"payload", 0x12345678)]))
    write("zip", "truncated", b"\0" + package[: len(package) // 2])
    write("zip", "empty_archive", b"\0" + raw_zip([]))
    write("zip", "empty_with_comment", b"\0" + raw_zip([])[:-2] + b"\x03\0abc")
    write("zip", "not_a_zip", b"\0" + b"<html>not found</html>")
    write("zip", "duplicates_and_case", b"\1" + raw_zip([(b"A.txt", b"first", None), (b"a.TXT", b"second", None),
                                                         (b"d/", b"", None), (b"D/./x", b"in d", None)]))
    # An entry whose local header is not where the directory says: its data cannot be opened, and the
    # file of that name already in the target must stay as it was.
    broken = bytearray(raw_zip([(b"readonly.txt", b"new", None)]))
    broken[2:4] = b"\0\0"
    write("zip", "local_header_missing", b"\2" + bytes(broken))
    write("zip", "file_then_directory", b"\0" + raw_zip([(b"x", b"file", None), (b"x/", b"", None)]))
    write("zip", "zip64", b"\0" + zip_of([("big.bin", bytes(1000), True), ("small.txt", b"s", False)], zip64=True))


# ---- the download engine's server ----

def conversation(threads, length8, min_piece, seed, records, exists=False, reply=0, small_blocks=False, stop=False):
    """The response fuzzer's input: set-up bytes, then records "\\0|"-separated: kind, cut, rest."""
    config = (threads - 1) | (4 if exists else 0) | (reply << 3) | (32 if small_blocks else 0) | (64 if stop else 0)
    setup = bytes([config, length8, min_piece - 1, seed])
    return setup + b"\0|".join(kind + bytes([cut]) + rest for kind, cut, rest in records)


def H(extra=b"", cut=0):
    return (b"H", cut, extra)


def S(head, cut=0):
    return (b"S", cut, head)


def R(head_and_body, cut=0):
    return (b"R", cut, head_and_body)


REFUSED = (b"X", 0, b"")
ETAG = b'ETag: "e1"\r\n'


def response_seeds():
    write("response", "one_connection", conversation(1, 16, 256, 1, [H()]))
    write("response", "four_connections", conversation(4, 64, 16, 2, [H()] * 8))
    write("response", "four_connections_small_blocks", conversation(4, 32, 8, 3, [H()] * 8, small_blocks=True))
    # 512 bytes in two pieces of 256: the whole stream, then the second half as a range.
    write("response", "ranges_spelt_out", conversation(2, 64, 256, 4, [
        S(b"HTTP/1.1 200 OK\r\nContent-Length: 512\r\nAccept-Ranges: bytes\r\n" + ETAG + b"\r\n"),
        S(b"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 256-511/512\r\nContent-Length: 256\r\n" + ETAG + b"\r\n")]))
    write("response", "no_length", conversation(2, 20, 16, 5, [S(b"HTTP/1.1 200 OK\r\n" + ETAG + b"\r\n")]))
    write("response", "ranges_refused", conversation(3, 40, 16, 6, [H(b"Accept-Ranges: none")]))
    write("response", "range_ignored", conversation(2, 64, 256, 7, [
        H(), S(b"HTTP/1.1 200 OK\r\nContent-Length: 512\r\n" + ETAG + b"\r\n"), H()]))
    write("response", "drops_and_retries", conversation(2, 64, 64, 8, [H(cut=130), H(cut=200), H(), H(cut=140), H(), H()]))
    write("response", "short_bodies", conversation(1, 30, 256, 9, [H(cut=5), H(cut=40), H()]))
    write("response", "errors", conversation(1, 8, 256, 10, [
        R(b"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 5\r\n\r\nerror"), REFUSED,
        R(b"HTTP/1.1 404 Not Found\r\n\r\n")]))
    write("response", "busy_then_fine", conversation(1, 8, 256, 11, [
        R(b"HTTP/1.0 503\r\n\r\n"), R(b"HTTP/1.1 429 Too Many\r\n\r\n"), H()]))
    write("response", "raw_body", conversation(1, 0, 1, 12, [R(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello")]))
    write("response", "changed_entity", conversation(2, 64, 256, 13, [
        H(), S(b"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 256-511/600\r\nETag: \"e2\"\r\n\r\n")]))
    write("response", "unsatisfiable", conversation(2, 64, 256, 14, [
        H(), R(b"HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */512\r\n\r\n")]))
    write("response", "odd_heads", conversation(1, 8, 256, 15, [
        R(b"HTTP/1.1 200 OK\r\ncontent-length: 64\r\nContent-Length: 64\r\n folded\r\nX:\r\n\r\n" + bytes(64)),
        S(b"HTTP/1.1 206\r\nContent-Range: bytes 0-63/*\r\n\r\n"), H(b"Last-Modified: Mon, 01 Jan 2024 00:00:00 GMT")]))
    write("response", "zero_length", conversation(2, 0, 1, 16, [H(), H()]))
    write("response", "stopped", conversation(3, 200, 64, 18, [H()] * 6, small_blocks=True, stop=True))
    write("response", "stopped_no_length", conversation(1, 100, 1, 19, [S(b"HTTP/1.1 200 OK\r\n\r\n")],
                                                        small_blocks=True, stop=True))
    for reply, label in [(0, "rename"), (1, "abandon"), (2, "supplied_name"), (3, "unknown_reply")]:
        write("response", "target_exists_" + label, conversation(2, 16, 64, 17, [H()] * 4, exists=True, reply=reply))


def main():
    # Seeds are written over; inputs a fuzzer found and someone kept beside them stay.
    xml_seeds()
    cmdline_seeds()
    html_seeds()
    zip_seeds()
    response_seeds()
    total = sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(CORPUS) for f in files)
    print(f"{CORPUS}: {total} bytes")


if __name__ == "__main__":
    main()
