"""Helpers for the lyrane-speechd end-to-end tests: requests with their headers, pitch measure."""

import array
import json
import operator
import statistics
import sys
import urllib.error
import urllib.request

from test_speechd import BUILT_IN_VOICES, SENTENCE, SPEECHD, Service  # noqa: F401

# The voices the service lists besides the built-in ones (identifier: name).
EXTRA_VOICES = {
    "Tq7WmB2xKf9LpR4sNc1Y": "Tamsin",
    "Hd3VzP8qLm5RtX0aKw6J": "Corvin",
    "Cl0nEdVo1ceHv7Qe2Xz9": "Harriet Vale",
    "Gn8JpR3tYw6Ux2Mb5Qs0": "Juniper",
}


class Reply:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers  # lower-case names
        self.body = body

    @property
    def json(self):
        return json.loads(self.body)

    @property
    def error(self):
        """The service's error code, from {"detail": {"status": ...}}."""
        return self.json["detail"]["status"]


def call(url, path, body=None, method=None, key=None):
    """One request; returns a Reply. `body` is a dict (sent as JSON) or bytes."""
    data = None
    if body is not None:
        data = body if isinstance(body, bytes) else json.dumps(body).encode()
    request = urllib.request.Request(url + path, data=data,
                                     method=method or ("POST" if data is not None else "GET"))
    request.add_header("Content-Type", "application/json")
    if key is not None:
        request.add_header("xi-api-key", key)
    try:
        with urllib.request.urlopen(request, timeout=120) as reply:
            return Reply(reply.status, {k.lower(): v for k, v in reply.headers.items()},
                         reply.read())
    except urllib.error.HTTPError as error:
        return Reply(error.code, {k.lower(): v for k, v in error.headers.items()}, error.read())


def synthesize(url, text=SENTENCE, voice=BUILT_IN_VOICES[0], output_format="pcm_16000",
               key=None, **fields):
    """POSTs a text-to-speech request with `fields` added to the body."""
    path = f"/v1/text-to-speech/{voice}"
    if output_format is not None:
        path += "?output_format=" + output_format
    return call(url, path, {"text": text, **fields}, key=key)


def samples(pcm):
    values = array.array("h", pcm)
    if sys.byteorder == "big":
        values.byteswap()
    return values


def median_pitch(pcm, rate=16000):
    """Median fundamental frequency (Hz) of the voiced frames of 16-bit mono PCM, by
    autocorrelation over 50 to 500 Hz."""
    values = samples(pcm)
    frame = rate * 30 // 1000
    lowest_lag, highest_lag = rate // 500, rate // 50
    pitches = []
    for start in range(0, len(values) - frame - highest_lag, 2 * frame):
        window = values[start:start + frame + highest_lag]
        head = window[:frame]
        if sum(map(operator.mul, head, head)) / frame < 2e5:
            continue  # silence or a weak consonant
        # Products of whole slices: the same sums as indexing sample by sample, in half the time.
        scores = [sum(map(operator.mul, head, window[lag:lag + frame]))
                  for lag in range(lowest_lag, highest_lag)]
        best = max(range(len(scores)), key=scores.__getitem__)
        pitches.append(rate / (best + lowest_lag))
    return statistics.median(pitches)
