"""Command line: `python -m kesra COMMAND [options]`."""

import argparse
import sys

from kesra import demo


def main(argv=None):
    # Run as `python -m kesra` or through the installed `kesra` script.
    prog = "python -m kesra" if sys.argv[0].endswith("__main__.py") else None
    parser = argparse.ArgumentParser(prog=prog, description="Fixed-radius neighbour search on 3-D point clouds.")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND")
    demo.add_parser(commands)
    args = parser.parse_args(argv)
    if not hasattr(args, "func"):
        parser.print_help()
        return 0
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
