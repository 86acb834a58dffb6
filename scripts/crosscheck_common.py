"""What the cross-check scripts against pyca/cryptography share: their command line and the
way they print JSON. Each script supplies its own generate(n) and check(cases)."""
import json
import sys

import cryptography


def source(script, how):
    """The "source" line of a generated vector file: which script and library made it."""
    return f"{script} generate, pyca/cryptography {cryptography.__version__} (OpenSSL backend): {how}"


def emit(value, indent=None):
    json.dump(value, sys.stdout, indent=indent)
    sys.stdout.write("\n")


def main(doc, generate, check, default_count):
    """`generate [N]` prints generate(N)'s vector file; `check` feeds the JSON array on stdin to
    check() and prints what it returns; anything else prints the script's docstring and fails."""
    if len(sys.argv) >= 2 and sys.argv[1] == "generate":
        emit(generate(int(sys.argv[2]) if len(sys.argv) > 2 else default_count), indent=1)
    elif len(sys.argv) == 2 and sys.argv[1] == "check":
        emit(check(json.load(sys.stdin)))
    else:
        sys.exit(doc)
