#!/usr/bin/env python3
"""Runs one end-to-end case in a sandbox of its own: run.py [--list] [--build-dir DIR] CASE."""

import argparse
import glob
import importlib
import os
import shutil
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import sandbox  # noqa: E402


def load_cases():
    for path in sorted(glob.glob(os.path.join(HERE, "*_cases.py"))):
        importlib.import_module(os.path.basename(path)[:-3])
    return sandbox.CASES


def enter_namespaces(args):
    """Re-executes this runner as pid 1 of new pid and mount namespaces."""
    unshare = shutil.which("unshare")
    if os.geteuid() != 0 or unshare is None:
        print("end-to-end cases need root and unshare(1) for their private namespaces", file=sys.stderr)
        sys.exit(1)
    argv = [unshare, "--mount", "--pid", "--fork", "--kill-child", "--propagation", "private",
            sys.executable, os.path.abspath(__file__), "--build-dir", args.build_dir, args.case]
    os.execv(unshare, argv)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--build-dir", default=os.path.join(HERE, "..", "..", "build"))
    parser.add_argument("case", nargs="?")
    args = parser.parse_args()
    cases = load_cases()
    if args.list:
        print("\n".join(sorted(cases)))
        return 0
    if args.case not in cases:
        print("unknown case %r" % args.case, file=sys.stderr)
        return 2
    args.build_dir = os.path.abspath(args.build_dir)
    if os.getpid() != 1:
        enter_namespaces(args)

    started = time.monotonic()
    sb = None
    try:
        sb = sandbox.Sandbox(args.build_dir)
        cases[args.case](sb)
    except sandbox.CaseSkipped as e:
        print("SKIP %s: %s" % (args.case, e))
        return sandbox.SKIPPED
    except Exception:  # noqa: BLE001 - any failure fails the case, with its story
        traceback.print_exc()
        if sb is not None:
            print("syslog records:\n" + sb.format_log(), file=sys.stderr)
        print("FAIL %s (%.1fs)" % (args.case, time.monotonic() - started))
        return 1
    print("PASS %s (%.1fs)" % (args.case, time.monotonic() - started))
    return 0


if __name__ == "__main__":
    # As pid 1 of the namespace, leaving ends every process the case started.
    code = main()
    sys.stdout.flush()
    os._exit(code)
