"""A load client: a fixed list of POST requests sent by concurrent threads over http.client, one
kept-alive connection per thread. The load test and the system benchmark use the same client."""

import http.client
import threading
import time
from urllib.parse import urlsplit


class Outcome:
    __slots__ = ("status", "body", "seconds", "error")

    def __init__(self, status=None, body=b"", seconds=0.0, error=None):
        self.status = status
        self.body = body
        self.seconds = seconds
        self.error = error


def run(url, requests, clients, timeout=120, on_answer=None):
    """Sends every (body, content_type) of requests to url; answers one Outcome per request,
    in the order of requests, and the wall-clock seconds of the whole run. on_answer(index,
    outcome), when given, is called from the sending thread as each request ends."""
    parts = urlsplit(url)
    outcomes = [None] * len(requests)
    lock = threading.Lock()
    cursor = [0]

    def next_index():
        with lock:
            index = cursor[0]
            cursor[0] += 1
        return index if index < len(requests) else None

    def worker():
        conn = None
        while True:
            index = next_index()
            if index is None:
                break
            body, content_type = requests[index]
            start = time.perf_counter()
            try:
                if conn is None:
                    conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=timeout)
                conn.request("POST", parts.path, body=body,
                             headers={"Content-Type": content_type,
                                      "Content-Length": str(len(body))})
                response = conn.getresponse()
                data = response.read()
                outcomes[index] = Outcome(response.status, data, time.perf_counter() - start)
                if response.getheader("Connection", "").lower() == "close":
                    conn.close()
                    conn = None
            except (OSError, http.client.HTTPException) as e:
                outcomes[index] = Outcome(None, b"", time.perf_counter() - start, repr(e))
                if conn is not None:
                    conn.close()
                conn = None
            if on_answer is not None:
                on_answer(index, outcomes[index])
        if conn is not None:
            conn.close()

    threads = [threading.Thread(target=worker) for _ in range(clients)]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return outcomes, time.perf_counter() - start


def median(values):
    ordered = sorted(values)
    n = len(ordered)
    if n == 0:
        return 0.0
    mid = n // 2
    return ordered[mid] if n % 2 else (ordered[mid - 1] + ordered[mid]) / 2
