#!/usr/bin/env python3
"""ML-DSA-65: our implementation beside the peers installable here, measured in one run.

Runs the Google Benchmark program bench/mldsa65_bench.cpp (built by `make bench` into
build/bench, or give --binary) and times the same operations in pyca/cryptography and, when
installed, pqcrypto, on the same 64 messages of 128 bytes. All figures are CPU time per
operation (process time, so that other load on the machine counts against nobody), in
microseconds; a ratio below 1 means ours is faster.

  python3 bench/mldsa65_bench.py [--binary build/bench/mldsa65_bench] [--seconds 1.0]

Peers sign hedged (neither offers the deterministic variant), so their signing rows are set
beside our hedged signing; pqcrypto takes the encoded keys on every call, so its rows are set
beside ours from the seed / from the bytes.
"""
import argparse
import json
import os
import subprocess
import sys
import time

MESSAGES = [bytes((i * 31 + j) % 256 for j in range(128)) for i in range(64)]
SEED = bytes((i * 7 + 1) % 256 for i in range(32))


def per_op_us(fn, seconds):
    """Mean CPU microseconds of fn(i) over at least `seconds` of process time."""
    for i in range(3):
        fn(i)  # warm up
    n, start = 0, time.process_time()
    while True:
        for _ in range(16):
            fn(n)
            n += 1
        spent = time.process_time() - start
        if spent >= seconds:
            return spent / n * 1e6


def ours(binary, seconds):
    out = subprocess.run(
        [binary, "--benchmark_format=json", f"--benchmark_min_time={seconds}"],
        check=True, capture_output=True, text=True).stdout
    return {b["name"]: b["cpu_time"] / 1e3 for b in json.loads(out)["benchmarks"]}  # ns -> us


def cryptography_peer(seconds):
    from cryptography.hazmat.primitives.asymmetric import mldsa
    sk = mldsa.MLDSA65PrivateKey.from_seed_bytes(SEED)
    pk = sk.public_key()
    pk_bytes = pk.public_bytes_raw()
    sigs = [sk.sign(m) for m in MESSAGES]
    ver = mldsa.MLDSA65PublicKey.from_public_bytes
    return {
        "keygen from seed": per_op_us(
            lambda i: mldsa.MLDSA65PrivateKey.from_seed_bytes(SEED).public_key().public_bytes_raw(), seconds),
        "sign (key kept)": per_op_us(lambda i: sk.sign(MESSAGES[i % 64]), seconds),
        "sign from seed": per_op_us(
            lambda i: mldsa.MLDSA65PrivateKey.from_seed_bytes(SEED).sign(MESSAGES[i % 64]), seconds),
        "verify (key kept)": per_op_us(lambda i: pk.verify(sigs[i % 64], MESSAGES[i % 64]), seconds),
        "verify from bytes": per_op_us(lambda i: ver(pk_bytes).verify(sigs[i % 64], MESSAGES[i % 64]), seconds),
    }


def pqcrypto_peer(seconds):
    try:
        from pqcrypto.sign import ml_dsa_65 as m
    except ImportError:
        return None
    pk, sk = m.keygen()
    sigs = [m.sign(sk, msg) for msg in MESSAGES]
    return {
        "keygen (random)": per_op_us(lambda i: m.keygen(), seconds),
        "sign from encoded key": per_op_us(lambda i: m.sign(sk, MESSAGES[i % 64]), seconds),
        "verify from bytes": per_op_us(lambda i: m.verify(pk, MESSAGES[i % 64], sigs[i % 64]), seconds),
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap.add_argument("--binary", default=os.path.join(root, "build", "bench", "mldsa65_bench"))
    ap.add_argument("--seconds", type=float, default=1.0)
    args = ap.parse_args()
    if not os.path.exists(args.binary):
        sys.exit(f"{args.binary} not found: run `make bench` first (or pass --binary)")

    o = ours(args.binary, args.seconds)
    ours_rows = {
        "keygen from seed": o["BM_KeyGenFromSeed"],
        "keygen (random)": o["BM_KeyGen"],
        "sign (key kept)": o["BM_SignHedged"],
        "sign from seed": o["BM_SignFromSeed"],
        "sign from encoded key": o["BM_SignFromSeed"],
        "verify (key kept)": o["BM_Verify"],
        "verify from bytes": o["BM_VerifyFromBytes"],
    }
    peers = {"cryptography": cryptography_peer(args.seconds), "pqcrypto": pqcrypto_peer(args.seconds)}

    print(f"ML-DSA-65, CPU microseconds per operation (ours deterministic signing, key kept: "
          f"{o['BM_Sign']:.1f} us)")
    print(f"{'operation':<24}{'ours':>10}" + "".join(f"{p:>16}{'ratio':>8}" for p in peers if peers[p]))
    for op, mine in ours_rows.items():
        line = f"{op:<24}{mine:>10.1f}"
        shown = False
        for name, figures in peers.items():
            if not figures:
                continue
            if op in figures:
                line += f"{figures[op]:>16.1f}{mine / figures[op]:>8.2f}"
                shown = True
            else:
                line += f"{'-':>16}{'':>8}"
        if shown:
            print(line)
    if not peers["pqcrypto"]:
        print("(pqcrypto not installed: pip install pqcrypto to add it)")


if __name__ == "__main__":
    main()
