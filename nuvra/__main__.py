"""python -m nuvra: the command-line tool."""

from nuvra.cli import run

if __name__ == "__main__":
    run()
