"""Command line of lumetra.

    python -m lumetra summary [--fixed H R T F] FILE [FILE ...]
    python -m lumetra explore [DIR] [--port PORT] [--address ADDRESS] [--no-show]
    python -m lumetra fit DIR_OR_GLOB [...] --out DIR [--jobs N | --scheduler ADDRESS]
    python -m lumetra simulate OUT_DIR --levels L0,L1 --rate 0 1 K01 --rate 1 0 K10 ...

Each subcommand lives in its own module and offers `add_arguments(parser)` and `run(args)`.
"""

import argparse
import importlib
import sys

# subcommand -> module that implements it
SUBCOMMANDS = {
    "summary": "lumetra._summary",
    "explore": "lumetra._explore",
    "fit": "lumetra._batch",
    "simulate": "lumetra._simulate",
}


def main(argv=None):
    parser = argparse.ArgumentParser(prog="lumetra", description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    modules = {}
    for name, module_name in SUBCOMMANDS.items():
        module = importlib.import_module(module_name)
        modules[name] = module
        sub = commands.add_parser(name, help=module.__doc__.splitlines()[0])
        module.add_arguments(sub)
    args = parser.parse_args(argv)
    return modules[args.command].run(args)


if __name__ == "__main__":
    sys.exit(main())
