"""Fails when a leak report (AddressSanitizer or valgrind memcheck) holds a
leak allocated by quorlin's own code.

    python tools/scan_leaks.py asan|valgrind REPORT

The interpreter itself does not free everything at exit, so its leaks are
expected; a record counts against the module when the first frame of its
allocation stack below the allocator is in the quorlin extension.
"""

import re
import sys

ALLOCATORS = re.compile(r"\b(malloc|calloc|realloc|operator new|_Znwm|_Znam|__interceptor_\w+)\b")


def records(text, kind):
    if kind == "asan":
        pattern = r"(?:Direct|Indirect) leak of .*?(?=\n\n|\Z)"
    else:
        pattern = r"==\d+== [\d,]+ (?:\([\d,]+ direct, [\d,]+ indirect\) )?bytes in [\d,]+ blocks are definitely lost.*?(?=\n==\d+== \n|\Z)"
    return re.findall(pattern, text, re.S)


def ours(record):
    for line in record.splitlines()[1:]:
        if not re.search(r"#\d+|at 0x|by 0x", line):
            continue
        if ALLOCATORS.search(line):
            continue
        # The extension's file name, its namespace, or its own sources.
        return "quorlin" in line or re.search(r"\bsrc/(binding|geodesy)/|\((?:error_value|arguments|call_scope|call_entry|functions|module_init|lib|geodesy|contract)\.cpp:", line) is not None
    return False


def main():
    kind, path = sys.argv[1], sys.argv[2]
    text = open(path, errors="replace").read()
    found = records(text, kind)
    mine = [record for record in found if ours(record)]
    invalid = len(re.findall(r"Invalid (?:read|write)|ERROR: AddressSanitizer: (?!.*leak)", text))
    # Other memcheck errors (uninitialised values) count when the module is
    # on their stack; the interpreter has a few of its own.
    errors = re.findall(r"==\d+== (?:Conditional jump|Use of uninitialised|Syscall param).*?(?=\n==\d+== \n)", text, re.S)
    our_errors = [e for e in errors if "quorlin" in e]
    print(f"{kind}: {len(found)} leak records in all, {len(mine)} allocated by quorlin; "
          f"{invalid} invalid reads/writes; {len(errors)} other errors, {len(our_errors)} in quorlin")
    for record in mine + our_errors:
        print(record)
    sys.exit(1 if mine or invalid or our_errors else 0)


if __name__ == "__main__":
    main()
