#!/usr/bin/env python3
"""ML-KEM-768 cross-checks against pyca/cryptography (>= 48, on its bundled OpenSSL).

  generate [N]  prints a vector file of N cases made by cryptography alone: seed d||z, the
                encapsulation key it derives, and encapsulations to that key made by it
                (ciphertext and shared secret). Our tests decapsulate them
                (tests/cpp/crypto/mlkem768_cryptography.json is its output).
  check         reads our outputs as JSON from stdin: [{"seed", "ek", "c", "k"}, ...] in
                hex, with c/k our encapsulation to ek. Checks that cryptography derives the
                same ek from the seed and decapsulates c to k; then prints, for each case,
                an encapsulation made by cryptography to our ek ({"c", "k"}) for our side to
                decapsulate. Exit status 1 with a message on any mismatch.
"""
import os
import sys

from cryptography.hazmat.primitives.asymmetric import mlkem

import crosscheck_common


def generate(n):
    cases = []
    for i in range(n):
        seed = os.urandom(64)
        sk = mlkem.MLKEM768PrivateKey.from_seed_bytes(seed)
        ek = sk.public_key().public_bytes_raw()
        encs = []
        for _ in range(2):
            k, c = mlkem.MLKEM768PublicKey.from_public_bytes(ek).encapsulate()
            encs.append({"c": c.hex(), "k": k.hex()})
        cases.append({"id": i, "seed": seed.hex(), "ek": ek.hex(), "encapsulations": encs})
    return {
        "source": crosscheck_common.source(
            "scripts/mlkem768_crosscheck.py",
            "random seeds, "
            "ek = public key of MLKEM768PrivateKey.from_seed_bytes(seed), encapsulations by "
            "MLKEM768PublicKey.encapsulate()",
        ),
        "cases": cases,
    }


def check(cases):
    out = []
    for i, case in enumerate(cases):
        sk = mlkem.MLKEM768PrivateKey.from_seed_bytes(bytes.fromhex(case["seed"]))
        ek = sk.public_key().public_bytes_raw()
        if ek.hex() != case["ek"].lower():
            sys.exit(f"case {i}: encapsulation key from the seed differs")
        k = sk.decapsulate(bytes.fromhex(case["c"]))
        if k.hex() != case["k"].lower():
            sys.exit(f"case {i}: cryptography decapsulates our ciphertext to another key")
        k2, c2 = mlkem.MLKEM768PublicKey.from_public_bytes(ek).encapsulate()
        out.append({"c": c2.hex(), "k": k2.hex()})
    return out


if __name__ == "__main__":
    crosscheck_common.main(__doc__, generate, check, default_count=8)
