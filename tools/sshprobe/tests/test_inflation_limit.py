"""A compressed packet that inflates far beyond what a message may hold, sent to our server
right after the first NEWKEYS (before login) by our client: the server refuses it with the
message-size error, and its peak memory stays near that of an ordinary connection."""
import re

import peers
import winetest

USER, PASSWORD = "alice", "secret"
MB = 1 << 20
# About 100 KB once compressed: one packet under the packet limit.
BOMB_BYTES = 72 * MB


class InflationLimit(peers.ProbeTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.host_key = cls.keys.make("host_rsa", "rsa", 2048)

    def connect_once(self, ignore_bytes):
        """One connection of our client that sends an IGNORE of that many zeros after the key
        exchange and then runs a short session: the client's result, and the server's events
        and peak working set."""
        server = peers.ProbeServer(self.prefix, self.folder, "--host-key", peers.wine_path(self.host_key),
                                   "--password", f"{USER}:{PASSWORD}", "--compression", "zlib", "--once",
                                   "--report-memory")
        self.addCleanup(server.stop)
        client = peers.run_probe_client(self.prefix, "--host", "127.0.0.1", "--port", str(server.port), "--user",
                                        USER, "--password", PASSWORD, "--compression", "zlib", "--ignore-bytes",
                                        str(ignore_bytes), "--send-bytes", str(MB), timeout=300)
        peak = int(server.wait_for(r"peak working set (\d+) bytes", 120).group(1))
        return client, server.log(), peak

    def test_a_zlib_bomb_is_refused_within_bounded_memory(self):
        ordinary, _, baseline = self.connect_once(1000)
        self.assertEqual(ordinary.code, 0, ordinary)

        bombed, log, peak = self.connect_once(BOMB_BYTES)
        self.assertIn(f"sent IGNORE of {BOMB_BYTES} zero bytes", bombed.stderr)
        self.assertLess(peak - baseline, 64 * MB,
                        f"peak working set {peak} bytes against {baseline} for an ordinary connection")
        self.assertRegex(bombed.stderr, r"peer disconnected, reason 2 \([^)]*\): decompressed packet length too large",
                         bombed)
        self.assertNotIn("login ok", log)
        self.assertIsNotNone(re.search(r"connection ended: we disconnected, reason 2", log), log)


if __name__ == "__main__":
    winetest.main()
