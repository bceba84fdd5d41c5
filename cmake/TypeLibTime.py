"""Gives a type library that widl wrote a fixed creation time.

widl (7.0) stamps every library with the time it ran, as the text "Created by
WIDL version V at <ctime>" and as the same time in seconds, both in its custom
data; it knows no SOURCE_DATE_EPOCH. Two builds of one commit then differ.
Both are set to the given time (seconds since 1970, UTC), in place. widl must
run with TZ=UTC, so that its text is the UTC time of its seconds.

    python3 TypeLibTime.py <library.tlb> <seconds>
"""
import calendar
import re
import struct
import sys
import time


def main(path, seconds):
    with open(path, "rb") as f:
        data = f.read()
    texts = re.findall(rb"Created by WIDL version [^\n]* at ([A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d "
                       rb"\d\d:\d\d:\d\d \d{4})\n", data)
    if len(texts) != 1:
        sys.exit(f"{path}: {len(texts)} creation texts of widl, not one")
    stamped = texts[0]
    written = calendar.timegm(time.strptime(stamped.decode("ascii"), "%a %b %d %H:%M:%S %Y"))
    # The seconds follow as a VT_UI4 custom value: its type word, then the value.
    old_value = struct.pack("<HI", 19, written)
    if data.count(old_value) != 1:
        sys.exit(f"{path}: the creation time {written} is not there once as a number")
    fixed = time.strftime("%a %b %e %H:%M:%S %Y", time.gmtime(seconds)).encode("ascii")
    data = data.replace(b" at " + stamped + b"\n", b" at " + fixed + b"\n")
    data = data.replace(old_value, struct.pack("<HI", 19, seconds))
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], int(sys.argv[2]))
