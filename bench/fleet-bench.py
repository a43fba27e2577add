#!/usr/bin/env python3
"""A fleet of workers on one batch, on one machine: N workers (`--shard K/N`) over one list of
files, against lyrane-speechd with a limit of requests in flight and a local S3 server (moto) as
the shared mirror, clips claimed. `--client http` (the default) has each worker talk to the
bucket itself; `--client aws` starts an aws CLI per object, one that has conditional writes.

Prints: the fleet's wall time against the floor cues x latency / limit, the CPU seconds the
workers spent (with every aws CLI they started; not the S3 server's nor the service's) per clip,
the service's requests (answered and refused) against the distinct clips, the claims waited for
and left behind, and whether every output equals a one-worker run's (same list, its own cache,
no mirror).

    bench/fleet-bench.py [--client http|aws] [--workers 4] [--files 40] [--cues 50]
                         [--latency-ms 400] [--limit 4] [--jobs 1] [--skip-single]

Every file opens with the same five lines (a recurring opening), so every worker needs those
clips at the same moment; the other lines are the file's own.
"""

import argparse
import filecmp
import os
import resource
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                "tests", "e2e"))
from benchlib import WORDS, Speechd, check, default_binary, timestamp, work_dir  # noqa: E402
from s3_support import (MotoS3, REAL_AWS, aws_env, conditional_aws, create_bucket,  # noqa: E402
                        http_client, list_keys)

OPENING = ["Previously, on the coast.", "The keeper climbs the stairs.", "A light turns.",
           "Ships pass in the night.", "And now, tonight's story."]


def write_file(path, number, cues):
    blocks = ["WEBVTT"]
    for i in range(cues):
        if i < len(OPENING):
            text = OPENING[i]
        else:
            words = " ".join(WORDS[(number * 5 + i * 7 + k) % len(WORDS)] for k in range(4))
            text = "File %d, line %d: %s." % (number + 1, i + 1, words)
        blocks.append("%s --> %s\n%s" % (timestamp(i * 3000), timestamp(i * 3000 + 2500), text))
    with open(path, "w", encoding="utf-8") as out:
        out.write("\n\n".join(blocks) + "\n")


def make_job(folder, files, cues):
    os.makedirs(folder)
    names = ["episode-%02d.vtt" % n for n in range(files)]
    for n, name in enumerate(names):
        write_file(os.path.join(folder, name), n, cues)
    with open(os.path.join(folder, "list.txt"), "w") as listing:
        listing.write("# one season\n" + "\n".join(names) + "\n")
    return names


def worker_env(base, url, home):
    env = dict(base)
    for name in ("LYRANE_DEFAULT_VOICE", "LYRANE_S3_BUCKET", "LYRANE_S3_CLIENT", "LYRANE_FORMAT",
                 "LYRANE_SHARD",
                 "LYRANE_SHARD_COUNT", "JOB_COMPLETION_INDEX", "AWS_BATCH_JOB_ARRAY_INDEX"):
        env.pop(name, None)
    env.update({"LYRANE_API_URL": url, "ELEVENLABS_API_KEY": "bench-key", "HOME": home,
                "LC_ALL": "C.UTF-8"})
    return env


def children_cpu():
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    return used.ru_utime + used.ru_stime


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--client", choices=("http", "aws"), default="http")
    parser.add_argument("--workers", type=int, default=4)
    parser.add_argument("--files", type=int, default=40)
    parser.add_argument("--cues", type=int, default=50)
    parser.add_argument("--latency-ms", type=int, default=400)
    parser.add_argument("--limit", type=int, default=4)
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--skip-single", action="store_true")
    parser.add_argument("--lyrane", default=default_binary("lyrane"))
    parser.add_argument("--speechd", default=default_binary("lyrane-speechd"))
    options = parser.parse_args()

    # The HTTP client asks the aws CLI only for credentials: Debian's own does.
    program = REAL_AWS if options.client == "http" else conditional_aws()
    if not program:
        sys.exit("bench: no aws CLI with conditional writes on PATH")
    root = work_dir()
    home = os.path.join(root, "home")
    os.makedirs(home)
    fleet_dir = os.path.join(root, "fleet")
    names = make_job(fleet_dir, options.files, options.cues)
    cues = options.files * options.cues
    service = Speechd(options.speechd, os.path.join(root, "speechd.log"),
                      "--latency", str(options.latency_ms),
                      "--max-concurrent", str(options.limit))
    try:
        with MotoS3() as s3:
            aws = aws_env(root, s3.endpoint, program)
            create_bucket(aws, "fleet")
            env = worker_env(aws, service.url, home)
            if options.client == "http":
                env = http_client(env, s3.endpoint)
            cpu_before = children_cpu()
            started = time.monotonic()
            workers = []
            for k in range(options.workers):
                log = open(os.path.join(root, "worker-%d.log" % k), "w+")
                args = [options.lyrane, "--batch", "@" + os.path.join(fleet_dir, "list.txt"),
                        "--shard", "%d/%d" % (k, options.workers), "--s3-bucket", "fleet",
                        "--temp-dir", os.path.join(root, "cache-%d" % k), "--jobs",
                        str(options.jobs), "--retries", "10", "--autopad", "--output", "x.wav"]
                workers.append((subprocess.Popen(args, env=env, stdout=subprocess.DEVNULL,
                                                 stderr=log, text=True), log))
            logs = []
            for process, log in workers:
                process.wait()
                log.seek(0)
                logs.append(log.read())
                if process.returncode != 0:
                    sys.stderr.write(logs[-1])
                    sys.exit("bench: a worker failed with status %d" % process.returncode)
            wall = time.monotonic() - started
            cpu = children_cpu() - cpu_before
            objects = list_keys(aws, "fleet")
        fleet_requests = service.request_count()
        with open(service.log_path) as log:
            # "POST /path STATUS ELAPSED ms": a request that took 429 ms was not refused.
            refused = sum(1 for line in log
                          if line.startswith("POST ") and line.split()[2:3] == ["429"])
    finally:
        service.stop()
    clips = [o for o in objects if o.endswith(".wav")]
    claims = [o for o in objects if o.endswith(".claim")]
    floor = cues * options.latency_ms / 1000.0 / options.limit
    waits = sum(text.count("Waiting for ") for text in logs)
    lowered = sum(text.count("Service allows fewer requests at once") for text in logs)
    print("fleet (--s3-client %s): %d workers (--jobs %d), %d files, %d cues, %d distinct clips" %
          (options.client, options.workers, options.jobs, options.files, cues, len(clips)))
    print("wall %.1f s; floor %d cues x %d ms / %d = %.1f s; ratio %.2fx" %
          (wall, cues, options.latency_ms, options.limit, floor, wall / floor))
    print("workers' CPU %.1f s: %.3f s per clip made, %.3f s per cue" %
          (cpu, cpu / max(1, len(clips)), cpu / cues))
    print("service: %d requests (%d refused for the limit), %d answered, %d distinct clips" %
          (fleet_requests, refused, fleet_requests - refused, len(clips)))
    print("claims waited for: %d; windows lowered: %d; claims left in the bucket: %d" %
          (waits, lowered, len(claims)))

    if options.skip_single:
        return
    single_dir = os.path.join(root, "single")
    shutil.copytree(fleet_dir, single_dir, ignore=shutil.ignore_patterns("*.wav"))
    single = Speechd(options.speechd, os.path.join(root, "speechd-single.log"),
                     "--latency", str(options.latency_ms), "--max-concurrent",
                     str(options.limit))
    try:
        started = time.monotonic()
        done = subprocess.run([options.lyrane, "--batch", "@" + os.path.join(single_dir, "list.txt"),
                               "--temp-dir", os.path.join(root, "cache-single"), "--jobs",
                               str(options.limit), "--autopad", "--output", "x.wav"],
                              env=worker_env(os.environ, single.url, home), capture_output=True,
                              text=True)
        single_wall = time.monotonic() - started
        check(done, "the one-worker run")
    finally:
        single.stop()
    differing = [name for name in names
                 if not filecmp.cmp(os.path.join(fleet_dir, name[:-4] + ".wav"),
                                    os.path.join(single_dir, name[:-4] + ".wav"), shallow=False)]
    print("one worker (--jobs %d, no mirror): %.1f s; outputs differing from the fleet's: %d of %d"
          % (options.limit, single_wall, len(differing), len(names)))


if __name__ == "__main__":
    main()
