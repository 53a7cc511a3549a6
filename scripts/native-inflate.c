/* native-inflate DIR ROUNDS STREAM...: the native yardstick of scripts/bench-install. Each
 * round inflates every zlib stream (read into memory first, as the installer's resources are)
 * with the system's zlib and writes it to a file of DIR named after the stream without its
 * ".z", in 64 KiB pieces; the files are removed before each round, untimed. Prints the
 * milliseconds of each round, one a line. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

struct stream {
    unsigned char* bytes;
    size_t size;
    char target[4096];
};

static void fail(const char* what, const char* name)
{
    fprintf(stderr, "native-inflate: %s %s: %s\n", what, name, errno ? strerror(errno) : "");
    exit(1);
}

static void read_stream(const char* path, const char* dir, struct stream* s)
{
    FILE* in = fopen(path, "rb");
    if (!in || fseek(in, 0, SEEK_END) != 0)
        fail("cannot read", path);
    s->size = (size_t)ftell(in);
    rewind(in);
    s->bytes = malloc(s->size);
    if (!s->bytes || fread(s->bytes, 1, s->size, in) != s->size)
        fail("cannot read", path);
    fclose(in);
    const char* base = strrchr(path, '/') ? strrchr(path, '/') + 1 : path;
    const size_t length = strlen(base) > 2 ? strlen(base) - 2 : strlen(base);
    snprintf(s->target, sizeof s->target, "%s/%.*s", dir, (int)length, base);
}

static void inflate_to_file(const struct stream* s)
{
    static unsigned char piece[1 << 16];
    FILE* out = fopen(s->target, "wb");
    if (!out)
        fail("cannot create", s->target);
    z_stream z;
    memset(&z, 0, sizeof z);
    if (inflateInit(&z) != Z_OK)
        fail("cannot start inflating", s->target);
    z.next_in = s->bytes;
    z.avail_in = (uInt)s->size;
    int status;
    do {
        z.next_out = piece;
        z.avail_out = sizeof piece;
        status = inflate(&z, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END)
            fail("bad stream for", s->target);
        const size_t made = sizeof piece - z.avail_out;
        if (fwrite(piece, 1, made, out) != made)
            fail("cannot write", s->target);
    } while (status != Z_STREAM_END);
    inflateEnd(&z);
    if (fclose(out) != 0)
        fail("cannot write", s->target);
}

int main(int argc, char** argv)
{
    if (argc < 4) {
        fputs("usage: native-inflate DIR ROUNDS STREAM...\n", stderr);
        return 2;
    }
    const int count = argc - 3, rounds = atoi(argv[2]);
    struct stream* streams = calloc((size_t)count, sizeof *streams);
    for (int i = 0; i < count; ++i)
        read_stream(argv[3 + i], argv[1], &streams[i]);
    for (int round = 0; round < rounds; ++round) {
        for (int i = 0; i < count; ++i)
            unlink(streams[i].target);
        struct timespec start, end;
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (int i = 0; i < count; ++i)
            inflate_to_file(&streams[i]);
        clock_gettime(CLOCK_MONOTONIC, &end);
        printf("%.3f\n", (end.tv_sec - start.tv_sec) * 1e3 + (end.tv_nsec - start.tv_nsec) / 1e6);
    }
    return 0;
}
