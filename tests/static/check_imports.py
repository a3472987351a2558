#!/usr/bin/env python3
"""Every import of a shipped binary must exist in the oldest Windows that the binary supports.

    check_imports.py <i686|x86_64> <binary>...

32-bit binaries must load on Windows XP and Server 2003, 64-bit ones on their x64 editions
(XP x64 and Server 2003 SP1). What each function needs comes from system_imports.tsv beside
this script, which names its sources; an import that the list does not hold fails as well, so
a new import is looked up in the documentation once and added there.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pe import PeFile  # noqa: E402

# Releases in order; the x64 editions of XP and Server 2003 came with Server 2003 SP1.
CLIENTS = ["NT4", "2000", "XP", "XP64", "Vista", "7", "8", "8.1", "10"]
SERVERS = ["NT4", "2000", "2003", "2003SP1", "2008", "2008R2", "2012", "2012R2", "2016"]
TARGETS = {"i686": ("XP", "2003"), "x86_64": ("XP64", "2003SP1")}
ARCHES = {"i686": "x86", "x86_64": "x64"}
# Where a line's systems were read; system_imports.tsv says what each one means.
SOURCES = ("doc", "oa96", "wine", "crt")


def load_table(path):
    table = {}
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        fields = line.split("#", 1)[0].split()
        if not fields:
            continue
        dll, function, client, server, arch, source = fields
        if client not in CLIENTS or server not in SERVERS or arch not in ("any", "x86", "x64"):
            sys.exit("%s:%d: unknown system or architecture: %s" % (path, number, line.strip()))
        if source not in SOURCES:
            sys.exit("%s:%d: source %r is none of %s: read the function's page and name where its "
                     "systems come from" % (path, number, source, ", ".join(SOURCES)))
        table[(dll.upper(), function, arch)] = (client, server, source)
    return table


def main(arch, binaries):
    table = load_table(os.path.join(os.path.dirname(os.path.abspath(__file__)), "system_imports.tsv"))
    client, server = TARGETS[arch]
    failed = False
    for binary in binaries:
        name = os.path.basename(binary)
        imports = PeFile(binary).imports()
        bad = 0
        for dll, function in imports:
            what = "%s (%s) imports %s!%s" % (name, arch, dll, function)
            entry = table.get((dll.upper(), function, "any")) or table.get((dll.upper(), function, ARCHES[arch]))
            if entry is None:
                print("FAIL: %s, which system_imports.tsv does not list: look up the oldest Windows "
                      "that has it in that DLL and add it there with its source" % what)
                bad += 1
            elif CLIENTS.index(entry[0]) > CLIENTS.index(client) or SERVERS.index(entry[1]) > SERVERS.index(server):
                print("FAIL: %s, which needs Windows %s / Server %s (source: %s); the binary must load "
                      "on Windows %s / Server %s" % (what, entry[0], entry[1], entry[2], client, server))
                bad += 1
        if bad:
            failed = True
        else:
            print("ok: %s (%s): %d imports from %d DLLs, all in Windows %s / Server %s" % (
                name, arch, len(imports), len({d.upper() for d, _ in imports}), client, server))
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[1] not in TARGETS:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2:]))
