"""Compresses one payload file into the zlib stream the installer embeds (RFC 1950:
deflate with a 32 KiB window at maximum compression, header 0x78 0xDA)."""
import sys
import zlib


def main(source, target):
    with open(source, "rb") as fh:
        data = fh.read()
    compressor = zlib.compressobj(9, zlib.DEFLATED, 15)
    stream = compressor.compress(data) + compressor.flush()
    with open(target, "wb") as fh:
        fh.write(stream)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
