#!/usr/bin/env python3
"""Writes the seed archives of fuzz_zip into tests/fuzz/corpus/zip (small,
deterministic): a package member among others, a stored one, a directory,
a size-0 member, two package members and none."""
import os
import zipfile

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "zip")
os.makedirs(out, exist_ok=True)
payload = bytes((i * 7 + (i >> 5)) & 0xFF for i in range(3000))


def write(name, members):
    with zipfile.ZipFile(os.path.join(out, name), "w") as z:
        for member, data, method in members:
            info = zipfile.ZipInfo(member, date_time=(2020, 1, 1, 0, 0, 0))
            z.writestr(info, data, compress_type=method)


D, S = zipfile.ZIP_DEFLATED, zipfile.ZIP_STORED
write("package-in-folder.zip", [("docs/", b"", S), ("docs/readme.txt", b"read me", D),
                                ("pkg/FW.DZK", payload, D)])
write("stored.zip", [("a.b.dzk", payload[:700], S)])
write("size-zero-first.zip", [("x.dzk", b"", S), ("dzk", payload[:1500], D)])
write("two-packages.zip", [("one.dzk", payload[:100], D), ("two.dzk", payload, D)])
write("no-package.zip", [("readme.txt", b"nothing here", D)])
