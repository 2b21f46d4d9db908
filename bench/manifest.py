#!/usr/bin/env python3
"""Writes the limit's inputs from an uncompressed tar: manifest.py TAR MANIFEST FOLDERS.

MANIFEST gets one line per regular file, "OFFSET<TAB>SIZE<TAB>PATH" (its bytes in TAR), in
the tar's order; FOLDERS gets every folder the files need, parents first, one per line.
"""
import posixpath
import sys
import tarfile


def members(tar_path):
    with tarfile.open(tar_path, "r:") as tar:
        for member in tar:
            if member.isfile():
                yield member.offset_data, member.size, posixpath.normpath(member.name)


def main():
    tar_path, manifest_path, folders_path = sys.argv[1:4]
    folders = set()
    with open(manifest_path, "w") as manifest:
        for offset, size, name in members(tar_path):
            if any(c in name for c in "\t\n") or name.startswith(("/", "../")):
                sys.exit("manifest.py: unusable name %r" % name)
            manifest.write("%d\t%d\t%s\n" % (offset, size, name))
            parent = posixpath.dirname(name)
            while parent and parent not in folders:
                folders.add(parent)
                parent = posixpath.dirname(parent)
    with open(folders_path, "w") as out:
        out.writelines(f + "\n" for f in sorted(folders, key=lambda f: (f.count("/"), f)))


if __name__ == "__main__":
    main()
