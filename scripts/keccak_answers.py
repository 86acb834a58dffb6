#!/usr/bin/env python3
"""Prints the SHA-3/SHAKE known answers of tests/cpp/crypto/keccak_test.cpp.

The answers come from Python's hashlib (backed by OpenSSL), an implementation independent of
ours. Inputs are the bytes i % 251 for i in 0..len-1; the lengths sit on both sides of each
rate (SHA3-256 and SHAKE256: 136 bytes, SHA3-512: 72, SHAKE128: 168).
"""
import hashlib


def msg(n):
    return bytes(i % 251 for i in range(n))


def main():
    rows = []
    for n in (0, 1, 135, 136, 137, 500):
        rows.append(("Sha3_256", n, 32, hashlib.sha3_256(msg(n)).hexdigest()))
    for n in (0, 71, 72, 73, 500):
        rows.append(("Sha3_512", n, 64, hashlib.sha3_512(msg(n)).hexdigest()))
    for n in (0, 167, 168, 169):
        rows.append(("Shake128", n, 200, hashlib.shake_128(msg(n)).hexdigest(200)))
    for n in (0, 135, 136, 137):
        rows.append(("Shake256", n, 150, hashlib.shake_256(msg(n)).hexdigest(150)))
    for fn, n, out, hexd in rows:
        print(f'    {{Fn::{fn}, {n}, {out},\n     "{hexd}"}},')


if __name__ == "__main__":
    main()
