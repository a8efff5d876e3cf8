"""Command line of the reference front end: ``python -m zelkor_installer check``."""

import argparse
import sys


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m zelkor_installer")
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("check", help="check this machine against the installer's requirements")
    args = parser.parse_args(argv)
    if args.command == "check":
        from zelkor_installer.utils import quastel

        quastel.print_check_results()
    return 0


if __name__ == "__main__":
    sys.exit(main())
