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

http_client(env, endpoint) turns any of them into the environment of a run whose own HTTP
client (--s3-client http) talks to `endpoint`. SigningS3 is a bucket in memory that checks the
AWS Signature Version 4 of every request it gets, and can be told to fail.

Only the Debian AWS CLI v2 at /usr/bin/aws is used: a different, older `aws` may come first
on PATH and must not be picked up.
"""

import base64
import hashlib
import hmac
import http.server
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
from xml.sax.saxutils import escape

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


def http_client(env, endpoint):
    """`env` with lyrane's own HTTP client (--s3-client http) pointed at `endpoint`."""
    return dict(env, LYRANE_S3_CLIENT="http", AWS_ENDPOINT_URL=endpoint)


def _sha256(data):
    return hashlib.sha256(data).hexdigest()


def _hmac(key, text):
    return hmac.new(key, text.encode(), hashlib.sha256).digest()


def signature_problem(method, raw_path, headers, body, secret, token=None):
    """Why the request's AWS Signature Version 4 is not what S3 would compute, or None."""
    fields = dict(part.strip().split("=", 1) for part in
                  headers.get("Authorization", "").replace("AWS4-HMAC-SHA256 ", "", 1).split(","))
    date, region, service, _ = fields["Credential"].split("/")[1:]
    signed = fields["SignedHeaders"].split(";")
    required = {"host", "x-amz-date", "x-amz-content-sha256"} | {
        name.lower() for name in headers if name.lower().startswith("x-amz-")}
    if not required <= set(signed):
        return "unsigned headers: %s" % sorted(required - set(signed))
    if headers["x-amz-content-sha256"] != _sha256(body):
        return "x-amz-content-sha256 is not the body's"
    if token is not None and headers.get("x-amz-security-token") != token:
        return "no session token"
    path, _, query = raw_path.partition("?")
    pairs = sorted(urllib.parse.parse_qsl(query, keep_blank_values=True))
    canonical_query = "&".join("%s=%s" % (urllib.parse.quote(k, safe="-_.~"),
                                          urllib.parse.quote(v, safe="-_.~")) for k, v in pairs)
    canonical_headers = "".join("%s:%s\n" % (name, " ".join(headers.get(name, "").split()))
                                for name in signed)
    canonical = "\n".join([method, path, canonical_query, canonical_headers, ";".join(signed),
                           headers["x-amz-content-sha256"]])
    scope = "/".join([date, region, service, "aws4_request"])
    to_sign = "\n".join(["AWS4-HMAC-SHA256", headers["x-amz-date"], scope,
                         _sha256(canonical.encode())])
    key = ("AWS4" + secret).encode()
    for part in (date, region, service, "aws4_request"):
        key = _hmac(key, part)
    expected = hmac.new(key, to_sign.encode(), hashlib.sha256).hexdigest()
    return None if hmac.compare_digest(expected, fields["Signature"]) else "signature differs"


class SigningS3:
    """One bucket in memory on 127.0.0.1 that answers as S3 does (objects, conditional writes,
    ListObjectsV2 in pages of `page_size`, error bodies) only to requests signed with `secret`
    (and carrying `token`). `fail[method] = (status, code, message)` answers that instead;
    `stall_seconds` keeps every answer back; `cut_get` sends half of a body, waits
    `stall_seconds` and closes.
    `requests` lists (method, path) of the signed requests, `refused` why others were refused,
    and `connections` counts the connections opened."""

    def __init__(self, bucket, secret="testing", token=None, page_size=1000):
        self.bucket, self.secret, self.token, self.page_size = bucket, secret, token, page_size
        self.objects = {}  # key -> (body, headers)
        self.fail = {}
        self.stall_seconds = 0
        self.cut_get = False
        self.requests, self.refused = [], []
        self.connections = 0
        self._server = None

    @property
    def endpoint(self):
        return "http://127.0.0.1:%d" % self._server.server_address[1]

    def __enter__(self):
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def setup(self):
                owner.connections += 1
                super().setup()

            def log_message(self, *args):
                pass

            def answer(self, status, body=b"", headers=None):
                self.send_response(status)
                for name, value in (headers or {}).items():
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                if self.command != "HEAD":
                    self.wfile.write(body)

            def error(self, status, code, message):
                self.answer(status, ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>%s"
                                     "</Code><Message>%s</Message><RequestId>1</RequestId>"
                                     "</Error>" % (escape(code), escape(message))).encode(),
                            {"Content-Type": "application/xml"})

            def handle_any(self):
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                problem = signature_problem(self.command, self.path, self.headers, body,
                                            owner.secret, owner.token)
                if problem:
                    owner.refused.append(problem)
                    return self.error(403, "SignatureDoesNotMatch", problem)
                owner.requests.append((self.command, self.path))
                if not owner.cut_get:
                    time.sleep(owner.stall_seconds)
                if self.command in owner.fail:
                    return self.error(*owner.fail[self.command])
                path, _, query = self.path.partition("?")
                prefix = "/" + owner.bucket + "/"
                if not path.startswith(prefix) and path != prefix[:-1]:
                    return self.error(404, "NoSuchBucket", "The specified bucket does not exist")
                key = urllib.parse.unquote(path[len(prefix):])
                if self.command == "GET" and not key:
                    return self.listing(dict(urllib.parse.parse_qsl(query, True)))
                stored = owner.objects.get(key)
                if self.command == "PUT":
                    return self.put(key, body, stored)
                if self.command == "DELETE":
                    owner.objects.pop(key, None)
                    return self.answer(204)
                if stored is None:
                    return self.error(404, "NoSuchKey", "The specified key does not exist.")
                if self.command == "GET" and owner.cut_get:
                    self.send_response(200)
                    self.send_header("Content-Length", str(len(stored[0])))
                    self.end_headers()
                    self.wfile.write(stored[0][:len(stored[0]) // 2])
                    self.wfile.flush()
                    time.sleep(owner.stall_seconds)
                    self.close_connection = True
                    return None
                return self.answer(200, stored[0], stored[1])

            def put(self, key, body, stored):
                if "If-None-Match" in self.headers and stored is not None:
                    return self.error(412, "PreconditionFailed", "At least one of the "
                                      "pre-conditions you specified did not hold")
                if "If-Match" in self.headers and (
                        stored is None or stored[1]["ETag"] != self.headers["If-Match"]):
                    return self.error(412, "PreconditionFailed", "At least one of the "
                                      "pre-conditions you specified did not hold")
                md5 = hashlib.md5(body)
                if self.headers.get("Content-MD5") != base64.b64encode(md5.digest()).decode():
                    return self.error(400, "BadDigest", "The Content-MD5 you specified did "
                                      "not match what we received.")
                etag = '"%s"' % md5.hexdigest()
                owner.objects[key] = (body, {"ETag": etag, "Content-Type": self.headers.get(
                    "Content-Type", "binary/octet-stream"),
                    "Last-Modified": "Mon, 01 Jan 2024 00:00:00 GMT"})
                return self.answer(200, b"", {"ETag": etag})

            def listing(self, query):
                keys = sorted(k for k in owner.objects if k.startswith(query.get("prefix", "")))
                start = int(query.get("continuation-token", "0"))
                page = keys[start:start + owner.page_size]
                more = start + owner.page_size < len(keys)
                entries = "".join("<Contents><Key>%s</Key><ETag>%s</ETag></Contents>" % (
                    escape(k), escape(owner.objects[k][1]["ETag"])) for k in page)
                tail = ("<NextContinuationToken>%d</NextContinuationToken>"
                        % (start + owner.page_size)) if more else ""
                self.answer(200, ("<ListBucketResult><Name>%s</Name>%s<IsTruncated>%s"
                                  "</IsTruncated>%s</ListBucketResult>" % (
                                      owner.bucket, entries, "true" if more else "false",
                                      tail)).encode())

            do_GET = do_PUT = do_HEAD = do_DELETE = handle_any

        class Server(http.server.ThreadingHTTPServer):
            def handle_error(self, request, client_address):
                pass  # a client that gave up on a stalled answer

        self._server = Server(("127.0.0.1", 0), Handler)
        threading.Thread(target=self._server.serve_forever, daemon=True).start()
        return self

    def __exit__(self, *exc):
        self._server.shutdown()
        self._server.server_close()
        return False
