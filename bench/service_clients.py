#!/usr/bin/env python3
"""The service case of bench/run: CLIENTS clients at once, each with its own event stream and
keep-alive connection to a running `haul serve`, start one download per URL of their share
through the Unix socket and wait until each has ended. Prints one JSON object: the wall time
from the first start request to the last ending, the count of each ending, and for every
download the time from its start request to nginx's receipt of the request for the file
(its first byte follows at once: the file is in the page cache), as median and 99th percentile."""
import http.client
import json
import socket
import sys
import threading
import time
import urllib.parse


class UnixConnection(http.client.HTTPConnection):
    def __init__(self, path):
        super().__init__("localhost")
        self.path = path

    def connect(self):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(self.path)


def client(path, urls, prefix, folder, sent, ended, failures):
    events = UnixConnection(path)
    events.request("GET", "/v1/events")
    stream = events.getresponse()
    mine = set()
    requests = UnixConnection(path)
    for i, url in enumerate(urls):
        ident = f"{prefix}-{i}"
        body = json.dumps({"downloads": [{"url": url, "id": ident, "dir": folder}]})
        sent[ident] = (time.time(), url)
        requests.request("POST", "/v1/downloads", body, {"Content-Type": "application/json"})
        answer = requests.getresponse()
        answer.read()
        if answer.status != 201:
            failures.append(f"{ident}: {answer.status}")
            continue
        mine.add(ident)
    name = None
    while mine:
        line = stream.fp.readline()
        if not line:
            failures.append(f"{prefix}: the stream ended")
            return
        line = line.decode().rstrip("\n")
        if line.startswith("event: "):
            name = line[7:]
        elif line.startswith("data: ") and name == "ended":
            event = json.loads(line[6:])
            if event["session"] in mine:
                mine.discard(event["session"])
                ended[event["session"]] = (time.time(), event["state"])
        elif line == "":
            name = None


def main():
    path, url_file, clients, folder, access_log = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
    urls = [line.strip() for line in open(url_file) if line.strip()]
    shares = [urls[i::clients] for i in range(clients)]
    sent, ended, failures = {}, {}, []
    threads = [threading.Thread(target=client, args=(path, shares[i], f"c{i}", folder, sent, ended, failures))
               for i in range(clients)]
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
    def percentile(p):
        return delays[min(len(delays) - 1, int(p * len(delays)))] * 1000 if delays else float("nan")
    json.dump({"wall": wall, "states": states, "failures": failures[:10], "measured": len(delays),
               "first_byte_median_ms": percentile(0.5), "first_byte_p99_ms": percentile(0.99)}, sys.stdout)
    return 0 if not failures and states.get("finished", 0) == len(urls) else 1


if __name__ == "__main__":
    sys.exit(main())
