"""The installer dialog on a machine without a display (scripts/run --interactive there):
scripts/dialog-picture shows it on a virtual display, writes a PNG of the window as it
shows, and closes it."""
import os
import re
import struct
import subprocess
import tempfile
import unittest
import zlib

import winetest

TITLE = "Morlune Orvidex 3.32 Installer"
PICTURE_SCRIPT = os.path.join(winetest.SCRIPTS, "dialog-picture")


def read_png(path):
    """(width, height, RGB pixels as bytes) of an 8-bit RGB PNG; checks every chunk's CRC."""
    with open(path, "rb") as fh:
        data = fh.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", data[:8]
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, = struct.unpack_from(">I", data, pos)
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]
        crc, = struct.unpack_from(">I", data, pos + 8 + length)
        assert zlib.crc32(kind + body) == crc, kind
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    assert (depth, colour, interlace) == (8, 2, 0), header
    raw = zlib.decompress(idat)
    stride = width * 3 + 1
    assert len(raw) == stride * height
    # The rows carry no prediction (filter 0), as the script writes them.
    assert all(raw[y * stride] == 0 for y in range(height))
    return width, height, b"".join(raw[y * stride + 1:(y + 1) * stride] for y in range(height))


class DialogPicture(winetest.PrefixTestCase):
    display = True

    def test_picture_shows_the_whole_dialog_window_painted(self):
        # The dialog's client area as a program of the same prefix measures it on a display.
        r = self.prefix.run("dialog_driver.exe", "wait", TITLE, "client", "close", timeout=240)
        self.assertEqual(r.code, 202, r)
        client = tuple(int(v) for v in re.search(r"^client (\d+) (\d+)$", r.stderr, re.M).groups())

        with tempfile.TemporaryDirectory() as folder:
            picture = os.path.join(folder, "dialog.png")
            env = dict(self.prefix.env)
            env.pop("DISPLAY")
            done = subprocess.run([PICTURE_SCRIPT, picture], env=env, capture_output=True, text=True, timeout=300)
            self.assertEqual(done.returncode, 202, done)
            self.assertIn(f'wrote the picture of "{TITLE}"', done.stdout)
            width, height, pixels = read_png(picture)

        # The window: the client area with a frame around it and a caption above.
        self.assertTrue(0 < width - client[0] <= 20, (width, height, client))
        self.assertTrue(15 <= height - client[1] <= 60, (width, height, client))
        # Painted before it was taken: a window not yet painted shows black bars where its
        # controls will be, and no caption.
        colours = [pixels[i:i + 3] for i in range(0, len(pixels), 3)]
        self.assertLess(colours.count(b"\0\0\0") / len(colours), 0.08)
        self.assertGreater(len(set(colours)), 16)
        # The caption (Wine's own, as there is no window manager) is drawn across the top.
        caption_row = colours[8 * width:9 * width]
        self.assertGreater(len(set(caption_row)), 4)

        # The prefix keeps its own window decoration setting.
        q = self.prefix.reg("query", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Decorated")
        self.assertNotEqual(q.code, 0, q)


if __name__ == "__main__":
    winetest.main()
