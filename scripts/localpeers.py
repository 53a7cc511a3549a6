"""What tests of network peers share: free ports and waits on 127.0.0.1, and a TCP echo server.
Everything listens on 127.0.0.1 and is ended by the test that started it."""
import os
import signal
import socket
import subprocess
import threading
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def read_text(path):
    """A file's text, or "" while it does not exist yet."""
    try:
        with open(path, encoding="latin-1") as fh:
            return fh.read()
    except FileNotFoundError:
        return ""


def wait_for(predicate, timeout, what):
    """The predicate's first true value, polled every 50 ms for at most timeout seconds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"timed out after {timeout} s waiting for {what}")


def end_session(process):
    """Ends a process started in a session of its own with every process it forked: asked
    first, then killed if it has not ended within 30 s."""
    if process.poll() is None:
        try:
            os.killpg(process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    try:
        process.wait(timeout=30)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait(timeout=30)


class EchoServer:
    """Echoes every connection on 127.0.0.1 until its client ends its side, then ends its own:
    the end of a stream travels back as it came."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(128)
        self.port = self.listener.getsockname()[1]
        self.connections = 0
        self.half_closed = 0
        self.lock = threading.Lock()
        self.stopped = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.stopped:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.connections += 1
            threading.Thread(target=self._echo, args=(conn,), daemon=True).start()

    def _echo(self, conn):
        with conn:
            conn.settimeout(120)
            try:
                while True:
                    data = conn.recv(65536)
                    if not data:
                        break
                    conn.sendall(data)
                conn.shutdown(socket.SHUT_WR)
                with self.lock:
                    self.half_closed += 1
            except OSError:
                pass

    def stop(self):
        self.stopped = True
        self.listener.close()
