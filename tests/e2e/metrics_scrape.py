#!/usr/bin/env python3
"""Starts zorva-server with a public /metrics, makes one login and one failed ping of traffic,
scrapes the endpoint and reads it with the Prometheus client's own text parser. Exits non-zero
with the reason when a family is missing, malformed or wrong."""
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

EXPECTED = {
    "zorva_connections": "gauge",
    "zorva_subjects": "gauge",
    "zorva_pending_password_checks": "gauge",
    "zorva_output_queued_bytes": "gauge",
    "zorva_logins": "counter",
    "zorva_login_failures": "counter",
    "zorva_lines_received": "counter",
    "zorva_lines_sent": "counter",
    "zorva_received_bytes": "counter",
    "zorva_sent_bytes": "counter",
    "zorva_drops": "counter",
    "zorva_password_check_seconds": "histogram",
    "zorva_ping_round_trip_seconds": "histogram",
    "process_start_time_seconds": "gauge",
}


def wait_for(pattern, path, deadline):
    while time.time() < deadline:
        with open(path, encoding="utf-8") as out:
            found = re.search(pattern, out.read())
        if found:
            return found.group(1)
        time.sleep(0.05)
    sys.exit(f"no line matching {pattern!r} in the daemon's output")


def main():
    server = sys.argv[1]
    with tempfile.TemporaryDirectory() as folder:
        stdout_path = os.path.join(folder, "stdout.txt")
        with open(stdout_path, "w", encoding="utf-8") as stdout:
            daemon = subprocess.Popen(
                [server, "--bind", "127.0.0.1", "--port", "0", "--ini",
                 os.path.join(folder, "Win.ini"), "--admin", "127.0.0.1:0", "--metrics-public"],
                stdout=stdout, stderr=subprocess.DEVNULL)
        try:
            deadline = time.time() + 10
            port = int(wait_for(r"Listening on 127\.0\.0\.1:(\d+)", stdout_path, deadline))
            url = wait_for(r"Admin API on (\S+)", stdout_path, deadline)
            with socket.create_connection(("127.0.0.1", port), timeout=5) as client:
                client.sendall(b"LOGIN|alice|GAME|pw\n")
                received = b""
                while received.count(b"\n") < 3:
                    received += client.recv(4096)
                with urllib.request.urlopen(url + "/metrics", timeout=10) as response:
                    content_type = response.headers["Content-Type"]
                    text = response.read().decode("utf-8")
        finally:
            daemon.send_signal(signal.SIGTERM)
            daemon.wait(timeout=10)

    if not content_type.startswith("text/plain; version=0.0.4"):
        sys.exit(f"unexpected content type {content_type}")
    families = {family.name: family for family in text_string_to_metric_families(text)}
    # A sample whose family line names it differently parses as a family of unknown type.
    untyped = [name for name, family in families.items() if family.type == "unknown"]
    if untyped:
        sys.exit(f"samples outside their declared family: {untyped}\n{text}")
    for name, kind in EXPECTED.items():
        if name not in families:
            sys.exit(f"missing family {name}\n{text}")
        if families[name].type != kind:
            sys.exit(f"{name} is a {families[name].type}, not a {kind}")
    value = {s.name: s.value for f in families.values() for s in f.samples if not s.labels}
    checks = {
        "zorva_connections": 1,
        "zorva_logins_total": 1,
        "zorva_login_failures_total": 0,
        "zorva_lines_received_total": 1,
        "zorva_password_check_seconds_count": 1,
        # The few lines the client was sent fit its socket at once.
        "zorva_output_queued_bytes": 0,
    }
    for sample, wanted in checks.items():
        if value.get(sample) != wanted:
            sys.exit(f"{sample} is {value.get(sample)}, not {wanted}\n{text}")
    if value["process_start_time_seconds"] < time.time() - 3600:
        sys.exit("process_start_time_seconds is not the start of this process")
    drops = {s.labels["reason"] for s in families["zorva_drops"].samples}
    if drops != {"quit", "ping-timeout", "login-timeout", "slow-reader", "line-too-long", "killed",
                 "socket-error"}:
        sys.exit(f"drop reasons: {sorted(drops)}")
    print("metrics: 1 passed, 0 failed")


if __name__ == "__main__":
    main()
