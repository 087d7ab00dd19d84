#!/usr/bin/env python3
"""The service case of bench/run: CLIENTS clients at once, each with its own event stream and
keep-alive connection to a running `haul serve`, start one download per URL of their share
through the Unix socket and wait until each has ended. Prints one JSON object: the wall time
from the first start request to the last ending, the count of each ending, the events one
stream carried by type, and for every download the time from its start request to nginx's
receipt of the request for the file (its first byte follows at once: the file is in the page
cache), as median and 99th percentile, and the time from each start request to its answer (201),
which the owner sends once the download's record is on disk.

The event stream (GET /v1/events) carries `data:` lines only, each one JSON object with a
"type". A download has ended when a "State" event names finished, failed or aborted (or
paused, which only a pause brings). A "Dropped" event means the stream fell behind and was
closed: the client then reads GET /v1/downloads ({"downloads":[...]}, each with id and state)
for what ended meanwhile and subscribes anew."""
import http.client
import json
import socket
import sys
import threading
import time
import urllib.parse

ENDINGS = ("finished", "failed", "aborted", "paused")


class UnixConnection(http.client.HTTPConnection):
    def __init__(self, path):
        super().__init__("localhost")
        self.path = path

    def connect(self):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(self.path)


class Client:
    def __init__(self, path, urls, prefix, folder, sent, ended, failures, counts, answered):
        self.path, self.urls, self.prefix, self.folder = path, urls, prefix, folder
        self.sent, self.ended, self.failures, self.counts = sent, ended, failures, counts
        self.answered = answered  # seconds from each start request to its answer
        self.lock = threading.Condition()
        self.ids = {f"{prefix}-{i}" for i in range(len(urls))}
        self.left = set(self.ids)  # refused ones leave too
        self.stream = None
        self.socket = None

    def subscribe(self):
        events = UnixConnection(self.path)
        events.request("GET", "/v1/events")
        # The connection hands its socket to the response (the stream says Connection: close).
        self.socket = events.sock
        stream = events.getresponse()
        if stream.status != 200:
            raise RuntimeError(f"{self.prefix}: GET /v1/events answered {stream.status}")
        return stream

    def end(self, ident, state, code=0, text=""):
        with self.lock:
            if ident not in self.left:
                return
            self.left.discard(ident)
            self.ended[ident] = (time.time(), state)
            if state != "finished":
                self.failures.append(f"{ident}: {state} {code} {text}".rstrip())
            self.lock.notify_all()

    def catch_up(self):
        """After a Dropped event: what ended while nobody read, from the list."""
        connection = UnixConnection(self.path)
        connection.request("GET", "/v1/downloads")
        answer = connection.getresponse()
        body = json.loads(answer.read())
        connection.close()
        for row in body.get("downloads", []):
            if row.get("id") in self.ids and row.get("state") in ENDINGS:
                self.end(row["id"], row["state"], row.get("code", 0), row.get("text", ""))

    def read(self):
        stream = self.stream
        while True:
            with self.lock:
                if not self.left:
                    return
            line = stream.fp.readline()
            if not line:
                with self.lock:
                    if self.left:
                        self.failures.append(f"{self.prefix}: the stream ended")
                    self.left.clear()
                    self.lock.notify_all()
                return
            if not line.startswith(b"data: "):
                continue  # blank separators and ": keep-alive" comments
            # Most events are of no interest here: parse only the ones that may end a download,
            # so the clients' own CPU stays small beside the owner's.
            if self.counts is not None:
                kind = line[line.find(b'"type":"') + 8:].split(b'"', 1)[0].decode()
                self.counts[kind] = self.counts.get(kind, 0) + 1
            if b'"Dropped"' in line:
                self.counts_dropped()
                stream.close()
                stream = self.stream = self.subscribe()
                self.catch_up()
                continue
            if b'"type":"State"' not in line or not any(f'"state":"{s}"'.encode() in line for s in ENDINGS):
                continue
            event = json.loads(line[6:])
            if event.get("session") in self.ids:
                self.end(event["session"], event["state"], event.get("code", 0), event.get("text", ""))

    def counts_dropped(self):
        with self.lock:
            self.failures.append(f"{self.prefix}: the event stream was dropped (read the list, subscribed anew)")

    def run(self):
        # Subscribed before the first start: no ending can pass unseen.
        self.stream = self.subscribe()
        reader = threading.Thread(target=self.read)
        reader.start()
        requests = UnixConnection(self.path)
        for i, url in enumerate(self.urls):
            ident = f"{self.prefix}-{i}"
            body = json.dumps({"downloads": [{"url": url, "id": ident, "dir": self.folder}]})
            self.sent[ident] = (time.time(), url)
            requests.request("POST", "/v1/downloads", body, {"Content-Type": "application/json"})
            answer = requests.getresponse()
            text = answer.read()
            self.answered.append(time.time() - self.sent[ident][0])
            if answer.status != 201:
                with self.lock:
                    self.failures.append(f"{ident}: {answer.status} {text[:200]!r}")
                    self.left.discard(ident)
                    self.lock.notify_all()
        with self.lock:
            while self.left:
                self.lock.wait()
        # The reader may be blocked on a quiet stream: closing the socket ends it.
        try:
            self.socket.shutdown(socket.SHUT_RDWR)
        except (AttributeError, OSError):
            pass
        reader.join(timeout=5)


def main():
    path, url_file, clients, folder, access_log = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
    urls = [line.strip() for line in open(url_file) if line.strip()]
    shares = [urls[i::clients] for i in range(clients)]
    sent, ended, failures, counts, answered = {}, {}, [], {}, []
    # Every stream carries every download's events: the first one's are counted.
    workers = [Client(path, shares[i], f"c{i}", folder, sent, ended, failures, counts if i == 0 else None, answered)
               for i in range(clients)]
    threads = [threading.Thread(target=worker.run) for worker in workers]
    start = time.time()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    wall = time.time() - start
    states = {}
    for _, state in ended.values():
        states[state] = states.get(state, 0) + 1
    # nginx logs "$msec $request_time $uri" when a request ends: it began request_time earlier.
    began = {}
    for line in open(access_log):
        parts = line.split()
        if len(parts) == 3:
            began[parts[2]] = float(parts[0]) - float(parts[1])
    delays = sorted(began[urllib.parse.urlparse(url).path] - at for at, url in sent.values()
                    if urllib.parse.urlparse(url).path in began)

    def percentile(p, values=delays):
        return values[min(len(values) - 1, int(p * len(values)))] * 1000 if values else float("nan")

    answered.sort()

    json.dump({"wall": wall, "states": states, "failures": failures[:10], "measured": len(delays),
               "events": counts, "first_byte_median_ms": percentile(0.5), "first_byte_p99_ms": percentile(0.99),
               "start_answer_median_ms": percentile(0.5, answered), "start_answer_p99_ms": percentile(0.99, answered)},
              sys.stdout)
    return 0 if not failures and states.get("finished", 0) == len(urls) else 1


if __name__ == "__main__":
    sys.exit(main())
