"""The S3 mirror seen from the command line: two machines sharing one bucket through a local
S3 server, with the real aws tool and with lyrane's own HTTP client (the same cases, the same
objects and lines), and the failure paths through a scripted aws and a scripted bucket."""

import itertools
import os
import signal
import subprocess
import time
import unittest

from s3_support import (MotoS3, SigningS3, aws_env, content_type, create_bucket, fake_aws_env,
                        get_object, http_client, list_keys, put_object, read_fake_log)
from support import DEFAULT_VOICE_ID, LyraneTestCase, cache_key, lyrane_bin, write_vtt

CUES = [(0, 1500, "The mirror keeps clips."), (2000, 3500, "Another machine finds them.")]
NOT_FOUND_IN_PATH = "aws CLI not found in PATH; install AWS CLI v2 or unset --s3-bucket"
CREDENTIALS = ('aws CLI error: Unable to locate credentials. You can configure credentials by '
               'running "aws configure".')

_bucket_numbers = itertools.count(1)


def cue_keys(cues, extension=".wav"):
    """Cache file names of the cues, with their neighbours as context, default voice and speed."""
    names = []
    for index, (_, _, text) in enumerate(cues):
        previous = cues[index - 1][2] if index > 0 else ""
        following = cues[index + 1][2] if index + 1 < len(cues) else ""
        names.append(cache_key(text, previous, following, DEFAULT_VOICE_ID, 1.0) + extension)
    return names


def read_bytes(path):
    with open(path, "rb") as source:
        return source.read()


class MirrorTestCase(LyraneTestCase):
    def setUp(self):
        super().setUp()
        self.vtt = write_vtt(self.path("talk.vtt"), CUES)

    def machine(self, name):
        """A cache directory of its own, as on another computer."""
        directory = self.path("cache-" + name)
        os.makedirs(directory, exist_ok=True)
        return directory

    def narrate(self, cache_dir, env, *extra, vtt=None):
        return self.run_lyrane(["--vtt", vtt or self.vtt, "--temp-dir", cache_dir,
                                "--output", self.path("out.wav")] + list(extra), env=env)

    def assertLines(self, stderr, lines):
        for line in lines:
            self.assertIn(line + "\n", stderr)


class WithS3Server(MirrorTestCase):
    client = "aws"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.s3 = MotoS3().start()

    @classmethod
    def tearDownClass(cls):
        cls.s3.stop()
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.bucket = "lyrane-mirror-%d" % next(_bucket_numbers)
        self.aws = aws_env(self.tmp, self.s3.endpoint)
        create_bucket(self.aws, self.bucket)

    def env(self, service, **extra):
        env = dict(self.aws) if self.client == "aws" else http_client(self.aws, self.s3.endpoint)
        env.update(self.service_env(service))
        env.update(extra)
        return env

    def test_second_machine_downloads_what_the_first_synthesized(self):
        keys = cue_keys(CUES)
        service_a = self.start_service()
        cache_a = self.machine("a")
        first = self.narrate(cache_a, self.env(service_a), "--s3-bucket", self.bucket,
                             "--no-padding")
        self.assertExitStatus(first, 0)
        self.assertEqual(service_a.request_count, 2)
        self.assertLines(first.stderr, ["S3 cache enabled: " + self.bucket] +
                         ["Uploaded segment to S3: " + key for key in keys])
        self.assertEqual(list_keys(self.aws, self.bucket), sorted(keys))
        for key in keys:
            self.assertEqual(content_type(self.aws, self.bucket, key), "audio/wav")
            self.assertEqual(get_object(self.aws, self.bucket, key, self.path("object")),
                             read_bytes(os.path.join(cache_a, key)))

        service_b = self.start_service()
        cache_b = self.machine("b")
        second = self.narrate(cache_b, self.env(service_b), "--s3-bucket", self.bucket)
        self.assertExitStatus(second, 0)
        self.assertEqual(service_b.request_count, 0)
        self.assertLines(second.stderr, ["Downloaded segment from S3: " + key for key in keys])
        for unwanted in ("Generating audio", "Created segment", "found in cache", "Uploaded"):
            self.assertNotIn(unwanted, second.stderr)
        self.assertEqual(sorted(os.listdir(cache_b)), sorted(keys))
        for key in keys:
            self.assertEqual(read_bytes(os.path.join(cache_b, key)),
                             read_bytes(os.path.join(cache_a, key)))
        # The downloaded clips are whole: they mix into the final file.
        self.assertTrue(os.path.getsize(self.path("out.wav")) > 44)

        third = self.narrate(cache_b, self.env(service_b), "--s3-bucket", self.bucket,
                             "--no-padding")
        self.assertExitStatus(third, 0)
        self.assertEqual(service_b.request_count, 0)
        self.assertLines(third.stderr, ["Segment %d/2 found in cache: %s"
                                        % (n + 1, os.path.join(cache_b, key))
                                        for n, key in enumerate(keys)])
        self.assertNotIn("Uploaded", third.stderr)
        self.assertNotIn("Downloaded", third.stderr)

    def test_parallel_jobs_give_the_same_objects_and_lines(self):
        cues = [(i * 2000, i * 2000 + 1500, "Parallel mirror line %d." % (i + 1))
                for i in range(4)]
        vtt = write_vtt(self.path("parallel.vtt"), cues)
        keys = cue_keys(cues)
        runs = {}
        for jobs in ("1", "4"):
            bucket = "%s-jobs-%s" % (self.bucket, jobs)
            create_bucket(self.aws, bucket)
            cache = self.machine("jobs-" + jobs)
            result = self.narrate(cache, self.env(self.start_service()), "--s3-bucket", bucket,
                                  "--no-padding", "--jobs", jobs, vtt=vtt)
            self.assertExitStatus(result, 0)
            self.assertEqual(list_keys(self.aws, bucket), sorted(keys))
            objects = {key: get_object(self.aws, bucket, key, self.path("object")) for key in keys}
            # Lines name the cache directory and the bucket; compare them with those taken out.
            lines = sorted(result.stderr.replace(cache, "CACHE").replace(bucket, "BUCKET")
                           .splitlines())
            runs[jobs] = (objects, lines)
            # A second machine fetches everything, again with the same lines either way.
            fetch = self.narrate(self.machine("fetch-" + jobs), self.env(self.start_service()),
                                 "--s3-bucket", bucket, "--no-padding", "--jobs", jobs, vtt=vtt)
            self.assertExitStatus(fetch, 0)
            self.assertEqual(fetch.stderr.count("Downloaded segment from S3: "), len(keys))
        self.assertEqual(runs["4"][0], runs["1"][0])
        self.assertEqual(runs["4"][1], runs["1"][1])

    def test_local_clip_missing_from_bucket_is_uploaded(self):
        keys = cue_keys(CUES)
        service = self.start_service()
        cache = self.machine("local")
        offline = self.narrate(cache, self.service_env(service), "--no-padding")
        self.assertExitStatus(offline, 0)
        self.assertNotIn("S3", offline.stderr)
        self.assertEqual(list_keys(self.aws, self.bucket), [])

        service.reset()
        mirrored = self.narrate(cache, self.env(service), "--s3-bucket", self.bucket,
                                "--no-padding")
        self.assertExitStatus(mirrored, 0)
        self.assertEqual(service.request_count, 0)
        self.assertLines(mirrored.stderr,
                         ["Uploaded cached segment to S3: " + key for key in keys])
        self.assertEqual(list_keys(self.aws, self.bucket), sorted(keys))
        for key in keys:
            self.assertEqual(get_object(self.aws, self.bucket, key, self.path("object")),
                             read_bytes(os.path.join(cache, key)))

    def test_prefix_and_mp3_content_type(self):
        keys = cue_keys(CUES, ".mp3")
        service = self.start_service()
        setting = "s3://%s/tts/clips" % self.bucket
        result = self.narrate(self.machine("mp3"), self.env(service), "--s3-bucket", setting,
                              "--format", "mp3_44100", "--no-padding")
        self.assertExitStatus(result, 0)
        self.assertLines(result.stderr, ["S3 cache enabled: " + setting] +
                         ["Uploaded segment to S3: tts/clips/" + key for key in keys])
        objects = ["tts/clips/" + key for key in keys]
        self.assertEqual(list_keys(self.aws, self.bucket), sorted(objects))
        for name in objects:
            self.assertEqual(content_type(self.aws, self.bucket, name), "audio/mpeg")

    def test_bucket_from_environment(self):
        keys = cue_keys(CUES)
        service = self.start_service()
        result = self.narrate(self.machine("env"),
                              self.env(service, LYRANE_S3_BUCKET=" %s " % self.bucket),
                              "--no-padding")
        self.assertExitStatus(result, 0)
        self.assertLines(result.stderr, ["S3 cache enabled: " + self.bucket])
        self.assertEqual(list_keys(self.aws, self.bucket), sorted(keys))

    def test_single_text_through_the_bucket(self):
        text = "One line for the mirror."
        key = cache_key(text, "", "", DEFAULT_VOICE_ID, 1.0) + ".wav"
        service = self.start_service()
        cache_a = self.machine("a")
        say = ["--say", text, "--s3-bucket", self.bucket, "--output", self.path("say.wav")]

        first = self.run_lyrane(say + ["--temp-dir", cache_a], env=self.env(service))
        self.assertExitStatus(first, 0)
        self.assertEqual(service.request_count, 1)
        self.assertLines(first.stderr, ["S3 cache enabled: " + self.bucket,
                                        "Uploaded audio to S3: " + key])
        self.assertEqual(list_keys(self.aws, self.bucket), [key])
        self.assertEqual(content_type(self.aws, self.bucket, key), "audio/wav")

        cache_b = self.machine("b")
        second = self.run_lyrane(say + ["--temp-dir", cache_b], env=self.env(service))
        self.assertExitStatus(second, 0)
        self.assertEqual(service.request_count, 1)
        self.assertLines(second.stderr, ["Downloaded audio from S3: " + key,
                                         "Using cached audio: " + os.path.join(cache_b, key)])
        self.assertNotIn("Uploaded", second.stderr)
        self.assertEqual(read_bytes(os.path.join(cache_b, key)),
                         read_bytes(os.path.join(cache_a, key)))

        other_bucket = self.bucket + "-empty"
        create_bucket(self.aws, other_bucket)
        third = self.run_lyrane(["--say", text, "--s3-bucket", other_bucket, "--temp-dir",
                                 cache_b, "--no-padding"], env=self.env(service))
        self.assertExitStatus(third, 0)
        self.assertEqual(service.request_count, 1)
        self.assertLines(third.stderr, ["Uploaded cached audio to S3: " + key,
                                        "Using cached audio: " + os.path.join(cache_b, key)])
        self.assertEqual(list_keys(self.aws, other_bucket), [key])


    def test_damaged_take_record_is_named_once_and_replaced(self):
        vtt = write_vtt(self.path("one.vtt"), CUES[:1])
        [clip] = cue_keys(CUES[:1])
        record = clip[:-len(".wav")] + ".take"
        put_object(self.aws, self.bucket, "takes/" + record,
                   self.write_text("damaged", "chosen \x00 of many\n"))
        service = self.start_service()
        cache = self.machine("takes")
        for extra in ([], ["--retake", "1"]):
            result = self.narrate(cache, self.env(service), "--s3-bucket", self.bucket,
                                  "--no-padding", *extra, vtt=vtt)
            self.assertExitStatus(result, 0)
            self.assertEqual(result.stderr.count("Could not fetch the take chosen on the mirror "
                                                 "for %s: not a take record; using the local "
                                                 "choice\n" % record), 1, result.stderr)
        self.assertIn("Cue 1 now uses take 2 of 2\n", result.stderr)
        # This run's own record replaced the damaged one, and other machines now read it.
        self.assertEqual(get_object(self.aws, self.bucket, "takes/" + record, self.path("t")),
                         b"chosen 2 of 2\n")
        other = self.narrate(self.machine("other"), self.env(service), "--s3-bucket", self.bucket,
                             "--no-padding", vtt=vtt)
        self.assertExitStatus(other, 0)
        self.assertNotIn("Could not fetch", other.stderr)
        self.assertEqual(service.request_count, 2)


class WithS3ServerOverHttp(WithS3Server):
    """Every case above again with --s3-client http (through LYRANE_S3_CLIENT)."""
    client = "http"

    def test_both_clients_leave_the_same_objects_and_lines(self):
        cues = [(i * 2000, i * 2000 + 1500, "Line %d for either client." % i) for i in range(3)]
        vtt = write_vtt(self.path("either.vtt"), cues)
        runs = {}
        for client in ("aws", "http"):
            bucket = "%s-%s" % (self.bucket, client)
            create_bucket(self.aws, bucket)
            env = dict(self.env(self.start_service()), LYRANE_S3_CLIENT=client)
            cache = self.machine(client)
            made = self.narrate(cache, env, "--s3-bucket", bucket, "--no-padding", "--jobs", "2",
                                vtt=vtt)
            self.assertExitStatus(made, 0)
            fetched = self.narrate(self.machine(client + "-b"), env, "--s3-bucket", bucket,
                                   "--no-padding", vtt=vtt)
            self.assertExitStatus(fetched, 0)
            objects = {key: (get_object(self.aws, bucket, key, self.path("o")),
                             content_type(self.aws, bucket, key))
                       for key in list_keys(self.aws, bucket)}
            lines = [sorted(r.stderr.replace(cache, "CACHE").replace(bucket, "BUCKET")
                            .replace(self.machine(client + "-b"), "CACHE").splitlines())
                     for r in (made, fetched)]
            runs[client] = (objects, lines)
        self.assertEqual(runs["http"], runs["aws"])


class WithSigningBucket(MirrorTestCase):
    """lyrane's own HTTP client against a bucket that checks every request's signature and
    fails when told to; the scripted aws gives the credentials."""

    def env(self, bucket, service, mode="", **extra):
        env = http_client(fake_aws_env(self.tmp, mode=mode, log=self.path("aws.log")),
                          bucket.endpoint)
        env.update(self.service_env(service), **extra)
        return env

    def test_signed_requests_over_kept_connections(self):
        keys = cue_keys(CUES)
        with SigningS3("clips-bucket", token="session-token", page_size=2) as bucket:
            for n in range(5):  # take records of other files: three pages to list
                bucket.objects["takes/other-%d.take" % n] = (b"chosen 1 of 1\n", {"ETag": '"1"'})
            service = self.start_service()
            cache = self.machine("a")
            env = self.env(bucket, service, AWS_SESSION_TOKEN="session-token")
            made = self.narrate(cache, env, "--s3-bucket", "clips-bucket", "--no-padding",
                                "--jobs", "2")
            self.assertExitStatus(made, 0)
            self.assertLines(made.stderr, ["Uploaded segment to S3: " + key for key in keys])
            fetched = self.narrate(self.machine("b"), env, "--s3-bucket", "clips-bucket",
                                   "--no-padding")
            self.assertExitStatus(fetched, 0)
            self.assertLines(fetched.stderr, ["Downloaded segment from S3: " + k for k in keys])
            self.assertEqual(service.request_count, 2)
            self.assertEqual(bucket.refused, [])
            for key in keys:
                self.assertEqual(bucket.objects[key][0], read_bytes(os.path.join(cache, key)))
                self.assertEqual(bucket.objects[key][1]["Content-Type"], "audio/wav")
            pages = [path for method, path in bucket.requests if "list-type=2" in path]
            self.assertEqual(len(pages), 6, pages)  # three a run
            self.assertLess(bucket.connections, len(bucket.requests) // 2)
        # The aws CLI is asked once a run, for the credentials alone.
        self.assertEqual(read_fake_log(self.path("aws.log")),
                         [["configure", "export-credentials", "--format", "process"]] * 2)

    def test_failures_are_said_in_one_line(self):
        [key] = cue_keys(CUES[:1])
        vtt = write_vtt(self.path("one.vtt"), CUES[:1])
        denied = (403, "AccessDenied", "Access Denied")
        # clang-format off
        rows = [
            ("put refused", {"fail": {"PUT": denied}}, [], "S3 cache upload failed: S3 answered HTTP 403 (AccessDenied): Access Denied"),
            ("a line of its own", {"fail": {"PUT": (403, "AccessDenied", "no\nS3 cache enabled\u202e")}}, [], "S3 cache upload failed: S3 answered HTTP 403 (AccessDenied): no\\x0aS3 cache enabled\\u{202e}"),
            ("wrong secret", {"secret": "another"}, [], "S3 cache download failed: S3 answered HTTP 403 (SignatureDoesNotMatch): signature differs"),
            ("server failing", {"fail": {"GET": (500, "InternalError", "Try again.")}}, [], "S3 cache download failed: S3 answered HTTP 500 (InternalError): Try again."),
            ("no bucket", {"bucket": "other-bucket"}, [], "S3 cache download failed: S3 answered HTTP 404 (NoSuchBucket): The specified bucket does not exist"),
            ("cut off", {"cut_get": True, "stored": True}, [], "S3 cache download failed: S3 request failed: "),
            ("too slow", {"stall_seconds": 3}, ["--timeout", "1"], "S3 cache download failed: S3 request timed out"),
        ]
        # clang-format on
        for name, setup, args, line in rows:
            with self.subTest(name), SigningS3(setup.get("bucket", "clips-bucket"),
                                               secret=setup.get("secret", "testing")) as bucket:
                bucket.fail = setup.get("fail", {})
                bucket.stall_seconds = setup.get("stall_seconds", 0)
                bucket.cut_get = setup.get("cut_get", False)
                if setup.get("stored"):
                    bucket.objects[key] = (b"RIFF" + b"\0" * 4000, {"ETag": '"2"'})
                service = self.start_service()
                cache = self.machine(name)
                result = self.narrate(cache, self.env(bucket, service), "--s3-bucket",
                                      "clips-bucket", "--no-padding", *args, vtt=vtt)
                self.assertExitStatus(result, 1)
                self.assertIn("\n" + line, result.stderr)
                self.assertNotIn("testing", result.stderr)  # the secret
                # Nothing half-written stays in the cache.
                self.assertEqual([f for f in os.listdir(cache) if not f.endswith(".wav")], [])
                # A failed look-up never falls through to the service.
                self.assertEqual(service.request_count, 1 if "upload" in line else 0)

    def test_credentials_that_expire_are_asked_for_again(self):
        with SigningS3("clips-bucket") as bucket:
            result = self.narrate(self.machine("e"), self.env(bucket, self.start_service(),
                                                             FAKE_AWS_EXPIRES_IN="300"),
                                  "--s3-bucket", "clips-bucket", "--no-padding")
            self.assertExitStatus(result, 0)
            self.assertEqual(bucket.refused, [])
        # Ten minutes or less from expiry: asked again once, from the first request on.
        self.assertEqual(len(read_fake_log(self.path("aws.log"))), 2)

    def test_a_stop_during_a_download_leaves_nothing(self):
        text = "Fetched over HTTP."
        key = cache_key(text, "", "", DEFAULT_VOICE_ID, 1.0) + ".wav"
        with SigningS3("clips-bucket") as bucket:
            bucket.objects[key] = (b"RIFF" + bytes(64000), {"ETag": '"3"'})
            bucket.cut_get, bucket.stall_seconds = True, 30
            cache = self.machine("stopped")
            env = dict(self.env(bucket, self.start_service()), HOME=self.home, TMPDIR=self.home,
                       LC_ALL="C.UTF-8")
            proc = subprocess.Popen([lyrane_bin(), "--say", text, "--s3-bucket", "clips-bucket",
                                     "--temp-dir", cache, "--no-padding"], env=env, cwd=self.tmp,
                                    stderr=subprocess.PIPE, text=True)
            deadline = time.monotonic() + 60
            while ("GET", "/clips-bucket/" + key) not in bucket.requests:
                self.assertLess(time.monotonic(), deadline, "the download never started")
                time.sleep(0.05)
            time.sleep(0.5)  # half the clip is in the temporary file
            started = time.monotonic()
            proc.send_signal(signal.SIGTERM)
            stderr = proc.communicate(timeout=60)[1]
            self.assertEqual(proc.returncode, 143, stderr)
            self.assertLess(time.monotonic() - started, 5, "the run waited for the download")
            self.assertEqual(os.listdir(cache), [])

    def test_a_run_without_credentials_stops_before_any_request(self):
        with SigningS3("clips-bucket") as bucket:
            service = self.start_service()
            for mode, reason in (("fail-credentials", 'Unable to locate credentials. You can '
                                  'configure credentials by running "aws configure".'),
                                 ("exit-silent", "aws CLI exited with code 3")):
                result = self.narrate(self.machine(mode), self.env(bucket, service, mode),
                                      "--s3-bucket", "clips-bucket")
                self.assertExitStatus(result, 1)
                self.assertEqual(result.stderr, "cannot get S3 credentials from the aws CLI (aws "
                                 "configure export-credentials): %s\n" % reason)
            self.assertEqual(bucket.requests + bucket.refused, [])
        self.assertEqual(service.request_count, 0)


class WithScriptedAws(MirrorTestCase):
    """Failures the real tool produces only with a broken setup, played by fake_aws."""

    def setUp(self):
        super().setUp()
        self.log = self.path("aws.log")
        self.store = self.path("bucket")

    def env(self, service, mode="", **extra):
        env = fake_aws_env(self.tmp, mode=mode, store=self.store, log=self.log)
        env.update(self.service_env(service))
        env.update(extra)
        return env

    def test_missing_credentials_end_the_run(self):
        service = self.start_service()
        cache = self.machine("c")
        miss = self.narrate(cache, self.env(service, "fail-credentials"), "--s3-bucket",
                            "clips-bucket", "--no-padding")
        self.assertExitStatus(miss, 1)
        self.assertIn("S3 cache download failed: " + CREDENTIALS + "\n", miss.stderr)
        # A failed lookup never falls through to synthesis.
        self.assertEqual(service.request_count, 0)
        self.assertEqual(os.listdir(cache), [])

        filled = self.narrate(cache, self.service_env(service), "--no-padding")
        self.assertExitStatus(filled, 0)
        hit = self.narrate(cache, self.env(service, "fail-credentials"), "--s3-bucket",
                           "clips-bucket", "--no-padding")
        self.assertExitStatus(hit, 1)
        self.assertIn("S3 cache check failed: " + CREDENTIALS + "\n", hit.stderr)

    def test_silent_tool_failure_reports_exit_code(self):
        service = self.start_service()
        result = self.run_lyrane(["--say", "Quiet tool.", "--s3-bucket", "clips-bucket",
                                  "--temp-dir", self.machine("s"), "--no-padding"],
                                 env=self.env(service, "exit-silent"))
        self.assertExitStatus(result, 1)
        self.assertIn("S3 cache download failed: aws CLI exited with code 3\n", result.stderr)
        self.assertEqual(service.request_count, 0)

    def test_failed_upload_keeps_clip_and_next_run_uploads_it(self):
        cues = CUES[:1]
        vtt = write_vtt(self.path("one.vtt"), cues)
        [key] = cue_keys(cues)
        service = self.start_service()
        cache = self.machine("u")

        failed = self.narrate(cache, self.env(service, "fail-put"), "--s3-bucket",
                              "clips-bucket", "--no-padding", vtt=vtt)
        self.assertExitStatus(failed, 1)
        self.assertIn("S3 cache upload failed: aws CLI error: An error occurred (AccessDenied) "
                      "when calling the PutObject operation: Access Denied\n", failed.stderr)
        self.assertEqual(service.request_count, 1)
        self.assertTrue(os.path.isfile(os.path.join(cache, key)))
        self.assertFalse(os.path.exists(os.path.join(self.store, key)))
        put = [call for call in read_fake_log(self.log) if call[1] == "put-object"]
        self.assertEqual(put, [["s3api", "put-object", "--bucket", "clips-bucket", "--key", key,
                                "--body", os.path.join(cache, key), "--content-type",
                                "audio/wav"]])

        rerun = self.narrate(cache, self.env(service), "--s3-bucket", "clips-bucket",
                             "--no-padding", vtt=vtt)
        self.assertExitStatus(rerun, 0)
        self.assertEqual(service.request_count, 1)
        self.assertIn("Uploaded cached segment to S3: %s\n" % key, rerun.stderr)
        self.assertEqual(read_bytes(os.path.join(self.store, key)),
                         read_bytes(os.path.join(cache, key)))

    def test_unusable_download_is_not_kept(self):
        cues = CUES[:1]
        vtt = write_vtt(self.path("one.vtt"), cues)
        [key] = cue_keys(cues)
        os.makedirs(self.store)
        with open(os.path.join(self.store, key), "wb") as damaged:
            damaged.write(b"odd")  # neither a WAV file nor whole 16-bit samples
        service = self.start_service()
        cache = self.machine("d")
        result = self.narrate(cache, self.env(service), "--s3-bucket", "clips-bucket",
                              "--no-padding", vtt=vtt)
        self.assertExitStatus(result, 1)
        self.assertIn("Downloaded cached segment is unusable: ", result.stderr)
        self.assertEqual(service.request_count, 0)
        self.assertEqual(os.listdir(cache), [])

    def test_aws_missing_from_path(self):
        service = self.start_service()
        empty_bin = self.path("empty-bin")
        os.makedirs(empty_bin)
        for name, args, extra in (
                ("option", ["--s3-bucket", "clips-bucket"], {}),
                ("environment", [], {"LYRANE_S3_BUCKET": "clips-bucket"})):
            with self.subTest(name):
                env = self.service_env(service)
                env.update(extra, PATH=empty_bin)
                result = self.narrate(self.machine(name), env, "--no-padding", *args)
                self.assertExitStatus(result, 1)
                self.assertEqual(result.stderr, NOT_FOUND_IN_PATH + "\n")
        self.assertEqual(service.request_count, 0)

    def test_empty_option_overrides_environment_bucket(self):
        service = self.start_service()
        disabled = self.narrate(self.machine("off"),
                                self.env(service, LYRANE_S3_BUCKET="clips-bucket"),
                                "--s3-bucket", "", "--no-padding")
        self.assertExitStatus(disabled, 0)
        self.assertNotIn("S3", disabled.stderr)
        self.assertEqual(read_fake_log(self.log), [])

        enabled = self.narrate(self.machine("on"),
                               self.env(service, LYRANE_S3_BUCKET="clips-bucket"),
                               "--no-padding")
        self.assertExitStatus(enabled, 0)
        self.assertIn("S3 cache enabled: clips-bucket\n", enabled.stderr)
        self.assertTrue(read_fake_log(self.log))


if __name__ == "__main__":
    unittest.main()
