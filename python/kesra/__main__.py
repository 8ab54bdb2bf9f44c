"""Command line: `kesra COMMAND [options]` or `python -m kesra COMMAND [options]`."""

from __future__ import annotations

import argparse
import sys
import warnings

from kesra import __version__, cluster_commands, commands, demo, features_command, normals_command
from kesra.pointcloud_files import PointFileError


def main(argv: list[str] | None = None) -> int:
    """Runs one command; returns the exit status (2 for bad arguments or files, and for
    results larger than memory)."""
    prog = "python -m kesra" if sys.argv[0].endswith("__main__.py") else "kesra"
    parser = argparse.ArgumentParser(
        prog=prog, description="Fixed-radius neighbour search on 3-D point clouds.",
        epilog=f"'{prog} COMMAND --help' explains each command's options.")
    parser.add_argument("--version", action="version", version=f"kesra {__version__}")
    subcommands = parser.add_subparsers(title="commands", metavar="COMMAND")
    demo.add_parser(subcommands)
    commands.add_parsers(subcommands)
    normals_command.add_parser(subcommands)
    cluster_commands.add_parsers(subcommands)
    features_command.add_parser(subcommands)
    args = parser.parse_args(argv)
    if not hasattr(args, "func"):
        parser.print_help()
        return 0
    # The LAZ library re-enables the GIL when loaded and warns; this process runs no
    # Python threads, and the engine's worker threads never need the GIL.
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="The global interpreter lock", category=RuntimeWarning)
        warnings.showwarning = lambda message, *_, **__: print(f"{prog}: warning: {message}", file=sys.stderr)
        try:
            status: int = args.func(args)
        except (PointFileError, OSError, ValueError, MemoryError) as e:
            print(f"{prog}: error: {e}", file=sys.stderr)
            return 2
    return status


if __name__ == "__main__":
    sys.exit(main())
