#!/usr/bin/env python3
"""Two UDP clients, alice and bob, talking through tqproxy_hub on 127.0.0.1.

Each says hello and waits for its own hello to come back: that proves the hub
knows it, so everything later reaches it. Then alice sends two messages and
bob must receive both from the hub's address. Exit 0 if he did, else 1.
"""
import argparse
import socket
import sys
import time

HOST = "127.0.0.1"


class Client:
    def __init__(self, name, hub):
        self.name, self.hub = name, hub
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((HOST, 0))
        self.inbox = []

    def send(self, text):
        print(f"{self.name:5} -> hub: {text}")
        self.sock.sendto(text.encode(), self.hub)

    def wait_for(self, text, timeout):
        """Receives until `text` arrives or `timeout` seconds pass."""
        deadline = time.monotonic() + timeout
        while text not in self.inbox:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            self.sock.settimeout(left)
            try:
                data, sender = self.sock.recvfrom(65535)
            except socket.timeout:
                return False
            except ConnectionRefusedError:  # an ICMP error left over from a hello
                continue
            message = data.decode(errors="replace")
            print(f"{self.name:5} <- {sender[0]}:{sender[1]}: {message}")
            if sender == self.hub:
                self.inbox.append(message)
        return True

    def join(self, attempts=5):
        """Says hello until the hub echoes it (it may still be starting)."""
        hello = f"hello from {self.name}"
        for _ in range(attempts):
            self.send(hello)
            if self.wait_for(hello, 1.0):
                return True
        return False


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=9527, help="the hub's UDP port")
    hub = (HOST, parser.parse_args().port)

    alice, bob = Client("alice", hub), Client("bob", hub)
    for client in (bob, alice):
        if not client.join():
            print(f"FAIL: no answer from the hub at {hub[0]}:{hub[1]} to {client.name}")
            return 1

    messages = ["alice says: hi bob, this came through the hub", "alice says: bye"]
    for text in messages:
        alice.send(text)
    ok = all(bob.wait_for(text, 3.0) for text in messages)
    alice.wait_for(messages[-1], 1.0)  # her own copies, to show the relay

    got = sum(text in bob.inbox for text in messages)
    if ok:
        print(f"OK: bob received {got}/{len(messages)} of alice's messages through the hub")
        return 0
    print(f"FAIL: bob received {got}/{len(messages)} of alice's messages")
    return 1


if __name__ == "__main__":
    sys.exit(main())
