"""A first look at ostrel: import the engine and list what it offers."""

from ostrel import _ostrel_engine


def main() -> None:
    print(_ostrel_engine.__doc__)
    print("registered names:", ", ".join(_ostrel_engine.__all__) or "(none yet)")


if __name__ == "__main__":
    main()
