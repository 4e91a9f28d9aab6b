#!/usr/bin/python3
"""Writes the version document that announces a release to installed copies of KORVA.exe.

    scripts/version_document.py --version 1.2 --address http://SITE/KORVA/KORVA-1.2.zip \\
        --title 页潮刷新器 --file KORVA-1.2.zip --note "第一行" --note "第二行" -o data.xml

The document is GBK, as the refresher reads its bytes without conversion. Notes are given one line per
--note (or as lines of a UTF-8 --notes-file) and joined with "#HHF", the refresher's line-break marker.

Values the programs cannot carry are refused (exit code 2) instead of written: the refresher puts the
address, the title and the file name on the updater's command line unquoted, and the document's
reader has no way to hold a double quote. See docs/makers-guide.md.

Standard library only; run with Debian's /usr/bin/python3.
"""

import argparse
import re
import sys

LINE_BREAK_MARKER = "#HHF"

# The refresher starts "<program folder>\data\update.exe" quoted; a folder path is at most MAX_PATH
# long. CreateProcess takes at most 32767 characters of command line.
COMMAND_LINE_LIMIT = 32767
PROGRAM_FOLDER_ALLOWANCE = 260 + 2

# Whole-document layout; the attribute order is the one the refresher's table lists.
ATTRIBUTES = (("版本号", "version"), ("升级说明", "notes"), ("下载地址", "address"),
              ("文件标题", "title"), ("文件名", "file"))
LABELS = {"version": "the version", "notes": "the notes", "address": "the address", "title": "the title",
          "file": "the file name"}


class Refused(Exception):
    pass


def escape(value):
    # The reader decodes &amp; &lt; &gt; and reads a value up to the next double quote.
    return value.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def check_gbk(field, value):
    for ch in value:
        try:
            ch.encode("gbk")
        except UnicodeEncodeError:
            raise Refused(f"{LABELS[field]} holds {ch!r} (U+{ord(ch):04X}), which GBK cannot hold: "
                          "the programs read and show the document's bytes as GBK") from None


def check_word(field, value):
    """The address, the title and the file name each become one argument of the updater."""
    if not value:
        raise Refused(f"{LABELS[field]} is empty: the refresher would leave out that argument of the updater "
                      "and every later one would move up a place")
    for ch in value:
        if ord(ch) <= 32:
            what = "a blank" if ch == " " else f"the control character {ch!r}"
            raise Refused(f"{LABELS[field]} {value!r} holds {what}: the refresher passes it unquoted on the "
                          "updater's command line, where it would split into two arguments and shift the rest")


def check_notes_line(line):
    if LINE_BREAK_MARKER in line:
        raise Refused(f"a notes line holds {LINE_BREAK_MARKER!r} itself: the refresher would show a line break "
                      "there; give each line as its own --note")
    for ch in line:
        if (ord(ch) < 32 and ch != "\t") or ord(ch) == 127:
            raise Refused(f"a notes line holds the control character {ch!r}, which the message box cannot show")


def check_version(value):
    if not re.fullmatch(r"[0-9]+(\.[0-9]+)?", value):
        raise Refused(f"the version {value!r} is not a plain decimal number such as 1.2: the refresher compares "
                      "only the number the text starts with (1.1.5 reads as 1.1, 1.2beta as 1.2)")


def hand_off_length(values):
    """Characters of the updater's command line besides the program's folder."""
    fixed = "\\data\\update.exe\" qzmkhost_launcher " + " " + " run KORVA.exe " + " "
    return len(fixed) + sum(len(values[k]) for k in ("address", "title", "file", "notes"))


def version_document(version, address, title, file_name, notes_lines):
    """The document's bytes; Refused when a value cannot be carried."""
    values = {"version": version, "address": address, "title": title, "file": file_name}
    for line in notes_lines:
        check_notes_line(line)
    values["notes"] = LINE_BREAK_MARKER.join(notes_lines)
    for field, value in values.items():
        if '"' in value:
            raise Refused(f"{LABELS[field]} holds a double quote: the refresher's reader ends a value at the "
                          "first double quote and has no escape for one")
        check_gbk(field, value)
    check_version(version)
    for field in ("address", "title", "file"):
        check_word(field, values[field])
    if hand_off_length(values) + PROGRAM_FOLDER_ALLOWANCE > COMMAND_LINE_LIMIT:
        raise Refused(f"the updater's command line would be {hand_off_length(values)} characters plus the "
                      f"program's folder, over the system's limit of {COMMAND_LINE_LIMIT}: shorten the notes")
    attributes = " ".join(f'{name}="{escape(values[field])}"' for name, field in ATTRIBUTES)
    text = (f'<?xml version="1.0" encoding="GBK"?>\r\n'
            f"<最新版本>\r\n"
            f"  <版本信息 {attributes}/>\r\n"
            f"</最新版本>\r\n")
    return text.encode("gbk")


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description="Writes the version document (GBK) announcing a release.")
    parser.add_argument("--version", required=True, help="the new version, a decimal number such as 1.2")
    parser.add_argument("--address", required=True, help="where the package is downloaded from (http, https, ftp)")
    parser.add_argument("--title", required=True, help="the package's title, shown in the updater's task list")
    parser.add_argument("--file", required=True, help="the package's file name")
    parser.add_argument("--note", action="append", default=[], help="one line of the update notes (repeatable)")
    parser.add_argument("--notes-file", help="a UTF-8 text file whose lines follow the --note lines")
    parser.add_argument("-o", "--output", help="where to write the document (default: standard output)")
    return parser.parse_args(argv)


def main(argv=None):
    options = parse_arguments(argv)
    lines = []
    for note in options.note:
        lines += note.splitlines() or [""]
    if options.notes_file:
        with open(options.notes_file, encoding="utf-8-sig") as f:
            lines += f.read().splitlines()
    try:
        document = version_document(options.version, options.address, options.title, options.file, lines)
    except Refused as refusal:
        print(f"version_document: refused: {refusal}", file=sys.stderr)
        return 2
    if options.output:
        with open(options.output, "wb") as f:
            f.write(document)
    else:
        sys.stdout.buffer.write(document)
    return 0


if __name__ == "__main__":
    sys.exit(main())
