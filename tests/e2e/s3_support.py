"""S3 helpers for the end-to-end tests: a local S3 server and the real aws tool pointed at it.

    with MotoS3() as s3:                       # moto_server on a free port of 127.0.0.1
        env = aws_env(tmpdir, s3.endpoint)     # PATH with an `aws` that talks to it
        create_bucket(env, "clips")
        list_keys(env, "clips")                # sorted object keys
        get_object(env, "clips", key, path)    # downloads one object to path
        content_type(env, "clips", key)        # the object's ContentType

The program under test goes through the aws tool; the tests read the bucket in plain HTTP (the
server checks no signature): a millisecond, where each start of the tool costs about a second.

fake_aws_env(tmpdir, mode="", store=None, log=None) gives a PATH whose `aws` is the scripted
stand-in tests/e2e/fake_aws instead, and read_fake_log(path) its logged argument lists.

Only the Debian AWS CLI v2 at /usr/bin/aws is used: a different, older `aws` may come first
on PATH and must not be picked up.
"""

import importlib.util
import json
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
import xml.etree.ElementTree as ElementTree
import zlib

REAL_AWS = "/usr/bin/aws"
# Where aws_env's environments keep their server, for the helpers below.
_ENDPOINT_VARIABLE = "LYRANE_TEST_S3_ENDPOINT"
# The server reads the key from the credential and takes any signature; without one, it treats
# the request as anonymous and refuses reading objects.
_AUTHORIZATION = ("AWS4-HMAC-SHA256 Credential=testing/20200101/us-east-1/s3/aws4_request, "
                  "SignedHeaders=host, Signature=0")
FAKE_AWS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fake_aws")

_DUMMY_CREDENTIALS = {
    "AWS_ACCESS_KEY_ID": "testing",
    "AWS_SECRET_ACCESS_KEY": "testing",
    "AWS_DEFAULT_REGION": "us-east-1",
    "AWS_EC2_METADATA_DISABLED": "true",
    "AWS_PAGER": "",
}


_SERIAL_MOTO = """import sys
from moto.server import DomainDispatcherApplication, create_backend_app
from werkzeug.serving import run_simple
run_simple(sys.argv[1], int(sys.argv[2]), DomainDispatcherApplication(create_backend_app),
           threaded=False)
"""


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def real_aws_available():
    return os.access(REAL_AWS, os.X_OK)


class MotoS3:
    """Runs `moto_server` on 127.0.0.1 for the lifetime of the `with` block."""

    def __init__(self, start_timeout=20.0):
        self.start_timeout = start_timeout
        self.port = None
        self._process = None

    @property
    def endpoint(self):
        return "http://127.0.0.1:%d" % self.port

    def start(self):
        program = shutil.which("moto_server")
        if not program:
            raise RuntimeError("moto_server not found on PATH (the python3 with moto installs it)")
        self.port = _free_port()
        command = [program, "-H", "127.0.0.1", "-p", str(self.port)]
        if importlib.util.find_spec("moto"):
            # moto_server answers on many threads, and a conditional write there checks, then
            # stores: two claims at one moment could both succeed. S3's are atomic; one thread
            # answering one request at a time makes these so too.
            command = [sys.executable, "-c", _SERIAL_MOTO, "127.0.0.1", str(self.port)]
        self._process = subprocess.Popen(command,
                                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT)
        deadline = time.monotonic() + self.start_timeout
        while True:
            if self._process.poll() is not None:
                status = self._process.returncode
                output = self._process.stdout.read().decode(errors="replace")
                self._process = None
                raise RuntimeError("moto_server exited with status %d before answering:\n%s"
                                   % (status, output))
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.2):
                    break
            except OSError:
                if time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError("moto_server did not answer on port %d within %.0f s"
                                       % (self.port, self.start_timeout))
                time.sleep(0.1)
        # Its request log is not wanted, but a full pipe must never stall the server.
        process = self._process
        threading.Thread(target=lambda: process.stdout.read(), daemon=True).start()
        return self

    def stop(self):
        if self._process is not None:
            self._process.terminate()
            try:
                self._process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait(timeout=10)
            self._process.stdout.close()
            self._process = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False


def _write_executable(path, text):
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)
    os.chmod(path, 0o755)


def _environment_with(bin_dir, extra):
    env = dict(os.environ)
    env.update(_DUMMY_CREDENTIALS)
    # Keep the tool from reading the developer's own ~/.aws files.
    env["AWS_CONFIG_FILE"] = os.devnull
    env["AWS_SHARED_CREDENTIALS_FILE"] = os.devnull
    env["PATH"] = bin_dir + os.pathsep + env.get("PATH", "")
    env.update(extra)
    return env


def aws_env(tmpdir, endpoint, program=REAL_AWS):
    """Environment whose `aws` runs the real CLI (v2 unless `program` names another) against
    `endpoint`, with dummy credentials."""
    if not os.access(program, os.X_OK):
        raise RuntimeError("the AWS CLI is not installed at %s" % program)
    bin_dir = os.path.join(tmpdir, "aws-bin-%d" % zlib.crc32(program.encode()))
    os.makedirs(bin_dir, exist_ok=True)
    _write_executable(os.path.join(bin_dir, "aws"),
                      '#!/bin/sh\nexec %s --endpoint-url %s "$@"\n' % (program, endpoint))
    return _environment_with(bin_dir, {_ENDPOINT_VARIABLE: endpoint})


def conditional_aws():
    """An aws CLI on PATH that knows conditional writes (put-object --if-none-match), or None:
    Debian 12's own (2.9) does not, newer releases of both major lines do."""
    for directory in os.environ.get("PATH", "").split(os.pathsep):
        program = os.path.join(directory, "aws")
        if not os.access(program, os.X_OK) or os.path.realpath(program) == REAL_AWS:
            continue
        usage = subprocess.run([program, "s3api", "put-object", "help"], capture_output=True,
                               text=True, stdin=subprocess.DEVNULL, timeout=120,
                               env=dict(os.environ, AWS_PAGER="", PAGER="cat"))
        if "--if-none-match" in usage.stdout:
            return _unshimmed(program)
    return None


def _unshimmed(program):
    """The program a pyenv shim would start: the shim alone costs a shell and pyenv each call."""
    if os.sep + "shims" + os.sep not in program:
        return program
    found = subprocess.run(["pyenv", "which", "aws"], capture_output=True, text=True,
                           stdin=subprocess.DEVNULL)
    target = found.stdout.strip()
    return target if found.returncode == 0 and os.access(target, os.X_OK) else program


def fake_aws_env(tmpdir, mode="", store=None, log=None, fixture=None):
    """Environment whose `aws` is the scripted stand-in; see fake_aws for the modes."""
    bin_dir = os.path.join(tmpdir, "fake-aws-bin")
    os.makedirs(bin_dir, exist_ok=True)
    _write_executable(os.path.join(bin_dir, "aws"),
                      '#!/bin/sh\nexec %s %s "$@"\n' % (sys.executable, FAKE_AWS))
    extra = {"FAKE_AWS_MODE": mode}
    if store is not None:
        os.makedirs(store, exist_ok=True)
        extra["FAKE_AWS_STORE"] = store
    if log is not None:
        extra["FAKE_AWS_LOG"] = log
    if fixture is not None:
        extra["FAKE_AWS_FIXTURE"] = fixture
    return _environment_with(bin_dir, extra)


def read_fake_log(path):
    """The argument lists that fake_aws logged, in call order (empty when never called)."""
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as log:
        return [json.loads(line) for line in log if line.strip()]


def _s3(env, method, bucket, key=None, query="", body=None, headers=None):
    """One unsigned request to the server behind an aws_env environment: (status, headers, body)."""
    url = "%s/%s" % (env[_ENDPOINT_VARIABLE], urllib.parse.quote(bucket))
    if key is not None:
        url += "/" + urllib.parse.quote(key, safe="/")
    url += "?" + query if query else ""
    request = urllib.request.Request(url, data=body, method=method,
                                     headers=dict(headers or {}, Authorization=_AUTHORIZATION))
    try:
        with urllib.request.urlopen(request, timeout=120) as reply:
            return reply.status, reply.headers, reply.read()
    except urllib.error.HTTPError as error:
        raise RuntimeError("S3 %s %s failed (%d): %s" % (method, url, error.code,
                                                         error.read().decode(errors="replace")))


def create_bucket(env, bucket):
    _s3(env, "PUT", bucket)


def list_keys(env, bucket):
    listing = ElementTree.fromstring(_s3(env, "GET", bucket, query="list-type=2")[2])
    return sorted(node.text for node in listing.iter() if node.tag.rsplit("}")[-1] == "Key")


def content_type(env, bucket, key):
    return _s3(env, "HEAD", bucket, key)[1].get("Content-Type")


def get_object(env, bucket, key, path):
    data = _s3(env, "GET", bucket, key)[2]
    with open(path, "wb") as body:
        body.write(data)
    return data


def put_object(env, bucket, key, path, content_type=None):
    with open(path, "rb") as body:
        data = body.read()
    # S3's own default where a client names no type.
    _s3(env, "PUT", bucket, key, body=data,
        headers={"Content-Type": content_type or "binary/octet-stream"})
