#!/usr/bin/env python3
"""normalize_package.py PACKAGE.tar.gz|PACKAGE.zip...

Rewrites a tarball or zip so that its bytes depend on its members alone:
members sorted by name, owned by root (0/0), every one dated
SOURCE_DATE_EPOCH when that is set, no name or time in the gzip header, no
extra fields in the zip. Modes and contents stay as they are.
"""
import gzip
import io
import os
import sys
import tarfile
import time
import zipfile


def source_date():
    value = os.environ.get("SOURCE_DATE_EPOCH")
    return int(value) if value else None


def normalized_tarball(path, date):
    out = io.BytesIO()
    with tarfile.open(path, "r:gz") as old:
        members = sorted(old.getmembers(), key=lambda member: member.name)
        # compresslevel as gzip -9; mtime 0 and no file name in the header.
        with gzip.GzipFile(filename="", mode="wb", fileobj=out, compresslevel=9, mtime=0) as packed:
            with tarfile.open(fileobj=packed, mode="w", format=tarfile.GNU_FORMAT) as new:
                for member in members:
                    data = old.extractfile(member) if member.isfile() else None
                    member.uid = member.gid = 0
                    member.uname = member.gname = "root"
                    member.pax_headers = {}
                    if date is not None:
                        member.mtime = date
                    new.addfile(member, data)
    return out.getvalue()


def normalized_zip(path, date):
    out = io.BytesIO()
    with zipfile.ZipFile(path) as old, \
            zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as new:
        for member in sorted(old.infolist(), key=lambda member: member.filename):
            # A zip's time has no zone and no year before 1980.
            stamp = time.gmtime(max(date, 315532800)) if date is not None else None
            entry = zipfile.ZipInfo(member.filename,
                                    stamp[:6] if stamp else member.date_time)
            entry.create_system = 3  # Unix, so that the modes below count
            entry.external_attr = member.external_attr
            entry.compress_type = zipfile.ZIP_STORED if member.is_dir() else zipfile.ZIP_DEFLATED
            new.writestr(entry, old.read(member) if not member.is_dir() else b"")
    return out.getvalue()


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    date = source_date()
    for path in sys.argv[1:]:
        if path.endswith(".tar.gz"):
            data = normalized_tarball(path, date)
        elif path.endswith(".zip"):
            data = normalized_zip(path, date)
        else:
            sys.exit(f"{path}: neither a .tar.gz nor a .zip")
        with open(path + ".new", "wb") as out:
            out.write(data)
        os.replace(path + ".new", path)


if __name__ == "__main__":
    main()
