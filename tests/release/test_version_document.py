#!/usr/bin/python3
"""scripts/version_document.py: the document it writes, byte for byte, and what it refuses."""

import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree
from pathlib import Path

TOOL = Path(__file__).resolve().parents[2] / "scripts" / "version_document.py"

GOOD = ["--version", "1.2", "--address", "http://127.0.0.1:18931/KORVA/KORVA-1.2.zip", "--title", "页潮刷新器",
        "--file", "KORVA-1.2.zip", "--note", "修正 托盘菜单", "--note", "新增 五个页面"]


def run(args, output=None):
    """(exit code, document bytes or None, stderr text) of one run of the tool."""
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "data.xml"
        result = subprocess.run([sys.executable, str(TOOL)] + args + ["-o", str(out)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        return result.returncode, out.read_bytes() if out.exists() else None, result.stderr.decode()


DECLARATION = '<?xml version="1.0" encoding="GBK"?>\r\n'


def parsed(document):
    """The root element, read by a general XML reader. Python's expat takes no multi-byte encoding,
    so the GBK text is decoded here and the declaration that names it set aside."""
    text = document.decode("gbk")
    if not text.startswith(DECLARATION):
        raise AssertionError(f"no GBK declaration: {text[:60]!r}")
    return ElementTree.fromstring(text[len(DECLARATION):])


def replaced(args, option, value):
    """args with the value after option swapped for value."""
    args = list(args)
    args[args.index(option) + 1] = value
    return args


class Written(unittest.TestCase):
    def test_the_document_byte_for_byte(self):
        code, document, err = run(GOOD)
        self.assertEqual(code, 0, err)
        expected = ('<?xml version="1.0" encoding="GBK"?>\r\n'
                    "<最新版本>\r\n"
                    '  <版本信息 版本号="1.2" 升级说明="修正 托盘菜单#HHF新增 五个页面" '
                    '下载地址="http://127.0.0.1:18931/KORVA/KORVA-1.2.zip" 文件标题="页潮刷新器" '
                    '文件名="KORVA-1.2.zip"/>\r\n'
                    "</最新版本>\r\n").encode("gbk")
        self.assertEqual(document, expected)

    def test_values_read_back_as_given(self):
        # A general XML reader gets every value back unchanged: the escapes written are the ones the
        # refresher's own reader also decodes.
        cases = [
            ("markup in the notes", replaced(GOOD, "--note", "a<b>&c;&amp; 'd'"), "升级说明",
             "a<b>&c;&amp; 'd'#HHF新增 五个页面"),
            ("a query in the address", replaced(GOOD, "--address", "http://h/get?f=K.zip&v=1.2"), "下载地址",
             "http://h/get?f=K.zip&v=1.2"),
            ("an empty notes line", GOOD + ["--note", "", "--note", "末行"], "升级说明",
             "修正 托盘菜单#HHF新增 五个页面#HHF#HHF末行"),
            ("one --note holding a line break", replaced(GOOD, "--note", "一\n二"), "升级说明",
             "一#HHF二#HHF新增 五个页面"),
            ("punctuation GBK holds, in the title", replaced(GOOD, "--title", "页潮·刷新器—新"), "文件标题",
             "页潮·刷新器—新"),
        ]
        for label, args, attribute, value in cases:
            with self.subTest(label):
                code, document, err = run(args)
                self.assertEqual(code, 0, err)
                info = parsed(document)
                self.assertEqual(info.tag, "最新版本")
                self.assertEqual(info[0].tag, "版本信息")
                self.assertEqual(info[0].get(attribute), value)

    def test_notes_from_a_file_follow_the_note_options(self):
        with tempfile.TemporaryDirectory() as tmp:
            notes = Path(tmp) / "notes.txt"
            notes.write_text("第三行\n第四行\n", encoding="utf-8")
            code, document, err = run(GOOD + ["--notes-file", str(notes)])
        self.assertEqual(code, 0, err)
        self.assertEqual(parsed(document)[0].get("升级说明"),
                         "修正 托盘菜单#HHF新增 五个页面#HHF第三行#HHF第四行")


class Refused(unittest.TestCase):
    def test_what_the_programs_cannot_carry(self):
        cases = [
            # (label, arguments, words the message must hold)
            ("a blank in the address", replaced(GOOD, "--address", "http://h/页潮 1.2.zip"), ["address", "blank"]),
            ("a blank in the title", replaced(GOOD, "--title", "页潮 刷新器"), ["title", "blank"]),
            ("a blank in the file name", replaced(GOOD, "--file", "KORVA 1.2.zip"), ["file name", "blank"]),
            ("a tab in the title", replaced(GOOD, "--title", "页潮\t刷新器"), ["title", "control character"]),
            ("an empty file name", replaced(GOOD, "--file", ""), ["file name", "empty"]),
            ("an empty address", replaced(GOOD, "--address", ""), ["address", "empty"]),
            ("a double quote in the notes", replaced(GOOD, "--note", 'the "new" tray'), ["notes", "double quote"]),
            ("a double quote in the address", replaced(GOOD, "--address", 'http://h/"K".zip'),
             ["address", "double quote"]),
            ("a double quote in the version", replaced(GOOD, "--version", '1.2"'), ["version", "double quote"]),
            ("an emoji in the notes", replaced(GOOD, "--note", "更快 😀"), ["notes", "U+1F600", "GBK"]),
            ("a euro sign in the title", replaced(GOOD, "--title", "€5"), ["title", "U+20AC", "GBK"]),
            ("a Korean title", replaced(GOOD, "--title", "페이지"), ["title", "GBK"]),
            ("a version of three parts", replaced(GOOD, "--version", "1.1.5"), ["version", "1.1.5"]),
            ("a version with a word", replaced(GOOD, "--version", "1.2beta"), ["version", "decimal"]),
            ("the marker inside a notes line", replaced(GOOD, "--note", "见#HHF下行"), ["#HHF"]),
            ("a control character in the notes", replaced(GOOD, "--note", "响铃\x07"), ["control character"]),
            ("notes past the command-line limit", replaced(GOOD, "--note", "长" * 32600), ["32767"]),
        ]
        for label, args, words in cases:
            with self.subTest(label):
                code, document, err = run(args)
                self.assertEqual(code, 2, err)
                self.assertIsNone(document, "a refused document must not be written")
                self.assertIn("refused", err)
                for word in words:
                    self.assertIn(word, err)

    def test_the_longest_notes_that_fit_are_written(self):
        # The limit leaves room for a program folder of MAX_PATH characters and no more.
        fixed = len('\\data\\update.exe" qzmkhost_launcher ') + 1 + len(" run KORVA.exe ") + 1
        words = len("http://127.0.0.1:18931/KORVA/KORVA-1.2.zip") + len("页潮刷新器") + len("KORVA-1.2.zip")
        room = 32767 - 262 - fixed - words
        code, document, err = run(replaced(GOOD[:-2], "--note", "长" * room))
        self.assertEqual(code, 0, err)
        code, document, err = run(replaced(GOOD[:-2], "--note", "长" * (room + 1)))
        self.assertEqual(code, 2, err)


if __name__ == "__main__":
    unittest.main()
