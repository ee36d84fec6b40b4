#!/usr/bin/env python3
"""Runs every fuzz_* program of a fuzz build for a bounded time on its corpus
(fuzz/corpus/NAME) and writes one JUnit test case per target."""
import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

ap = argparse.ArgumentParser()
ap.add_argument("--build", required=True)
ap.add_argument("--seconds", type=int, default=30)
ap.add_argument("--junit", required=True)
args = ap.parse_args()

root = pathlib.Path(__file__).resolve().parent.parent
targets = sorted(p for p in pathlib.Path(args.build).rglob("fuzz_*")
                 if p.is_file() and os.access(p, os.X_OK))
suite = ET.Element("testsuite", name="fuzz")
bad = 0
for t in targets:
    corpus = root / "fuzz" / "corpus" / t.name
    work = tempfile.mkdtemp(prefix=t.name + "-")
    cmd = [str(t), f"-max_total_time={args.seconds}", "-timeout=10", "-rss_limit_mb=2048",
           f"-artifact_prefix={work}/", work]
    if corpus.is_dir():
        cmd.append(str(corpus))
    print("fuzz:", " ".join(cmd), flush=True)
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
    case = ET.SubElement(suite, "testcase", name=t.name, classname="fuzz")
    tail = "\n".join(r.stdout.splitlines()[-40:])
    if r.returncode != 0:
        bad += 1
        ET.SubElement(case, "failure", message=f"exit {r.returncode}").text = tail
        print(tail)
        print(f"fuzz: {t.name} FAILED (artifacts in {work})")
    else:
        print(f"fuzz: {t.name} ok")
ET.ElementTree(suite).write(args.junit)
sys.exit(1 if bad else 0)
