#!/usr/bin/env python3
"""Copies a volume file into a disk image at an offset, only the volume's data extents, so that a
disk of many GiB stays sparse.

    place_sparse.py VOLUME DISK OFFSET
"""
import os
import sys


def main():
    volume, disk, offset = sys.argv[1], sys.argv[2], int(sys.argv[3])
    src, dst = os.open(volume, os.O_RDONLY), os.open(disk, os.O_WRONLY)
    end, at = os.fstat(src).st_size, 0
    while at < end:
        try:
            at = os.lseek(src, at, os.SEEK_DATA)
        except OSError:  # no data after `at`
            break
        hole = os.lseek(src, at, os.SEEK_HOLE)
        while at < hole:
            chunk = os.pread(src, min(1 << 20, hole - at), at)
            os.pwrite(dst, chunk, offset + at)
            at += len(chunk)
    os.close(src)
    os.close(dst)


if __name__ == "__main__":
    main()
