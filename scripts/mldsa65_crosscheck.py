#!/usr/bin/env python3
"""ML-DSA-65 cross-checks against pyca/cryptography (>= 48, on its bundled OpenSSL).

  generate [N]  prints a vector file of N keys made by cryptography alone: a random seed xi,
                the public key it derives, and signatures by that key (pure ML-DSA.Sign, its
                own randomness) over messages and contexts of several lengths, empty and
                255-byte contexts included. Our tests verify them
                (tests/cpp/crypto/mldsa65_cryptography.json is its output).
  check         reads our outputs as JSON from stdin: [{"seed", "pk", "message", "context",
                "signature"}, ...] in hex. Checks that cryptography derives the same public
                key from the seed and accepts our signature (and refuses it under another
                context); then prints, for each case, a signature by cryptography over the
                same message and context ({"signature"}) for our side to verify. Exit status
                1 with a message on any mismatch.
"""
import os
import sys

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric import mldsa

import crosscheck_common


def generate(n):
    shapes = [(0, 0), (1, 0), (11, 7), (1000, 0), (64, 255), (2000, 33)]  # (message, context) lengths
    cases = []
    for i in range(n):
        seed = os.urandom(32)
        sk = mldsa.MLDSA65PrivateKey.from_seed_bytes(seed)
        pk = sk.public_key().public_bytes_raw()
        sigs = []
        for m_len, c_len in shapes:
            msg, ctx = os.urandom(m_len), os.urandom(c_len)
            sigs.append({"message": msg.hex(), "context": ctx.hex(), "signature": sk.sign(msg, ctx).hex()})
        cases.append({"id": i, "seed": seed.hex(), "pk": pk.hex(), "signatures": sigs})
    return {
        "source": crosscheck_common.source(
            "scripts/mldsa65_crosscheck.py",
            "random seeds, "
            "pk = public key of MLDSA65PrivateKey.from_seed_bytes(seed), signatures by "
            "MLDSA65PrivateKey.sign(message, context) (pure ML-DSA, hedged)",
        ),
        "cases": cases,
    }


def check(cases):
    out = []
    for i, case in enumerate(cases):
        sk = mldsa.MLDSA65PrivateKey.from_seed_bytes(bytes.fromhex(case["seed"]))
        pub = sk.public_key()
        if pub.public_bytes_raw().hex() != case["pk"].lower():
            sys.exit(f"case {i}: public key from the seed differs")
        msg, ctx = bytes.fromhex(case["message"]), bytes.fromhex(case["context"])
        sig = bytes.fromhex(case["signature"])
        try:
            pub.verify(sig, msg, ctx)
        except InvalidSignature:
            sys.exit(f"case {i}: cryptography refuses our signature")
        try:
            pub.verify(sig, msg, ctx + b"x" if len(ctx) < 255 else ctx[:-1])
            sys.exit(f"case {i}: cryptography accepts our signature under another context")
        except InvalidSignature:
            pass
        out.append({"signature": sk.sign(msg, ctx).hex()})
    return out


if __name__ == "__main__":
    crosscheck_common.main(__doc__, generate, check, default_count=4)
