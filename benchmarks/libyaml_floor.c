/* The floors for reading a manifest: libyaml's bare event parse of the file's
 * bytes, nothing kept; or, with "io", the system calls a read makes to get
 * those bytes (open, fstat, reads up to the end, close: the kernel's share of
 * a read, which no parser goes under). Prints the best time of REPEAT rounds
 * in seconds.
 * Usage: libyaml_floor FILE REPEAT [io] */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <yaml.h>

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

/* The best time of `repeat` rounds of opening and reading the file as the
 * module does, into a buffer of the same size. */
static int time_file_io(const char *path, int repeat) {
    static char buffer[1 << 16];
    double best = 1e30;
    for (int round = 0; round < repeat; ++round) {
        double start = now();
        int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        struct stat info;
        if (fd < 0 || fstat(fd, &info) != 0)
            return 1;
        ssize_t count;
        while ((count = read(fd, buffer, sizeof buffer)) > 0)
            continue;
        close(fd);
        if (count < 0)
            return 1;
        double spent = now() - start;
        if (spent < best)
            best = spent;
    }
    printf("%.9f\n", best);
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[3], "io") == 0)
        return time_file_io(argv[1], atoi(argv[2]));
    if (argc != 3)
        return 2;
    FILE *file = fopen(argv[1], "rb");
    if (!file)
        return 1;
    fseek(file, 0, SEEK_END);
    long size = ftell(file);
    fseek(file, 0, SEEK_SET);
    unsigned char *text = malloc(size ? size : 1);
    if (fread(text, 1, size, file) != (size_t)size)
        return 1;
    fclose(file);
    int repeat = atoi(argv[2]);
    double best = 1e30;
    for (int round = 0; round < repeat; ++round) {
        double start = now();
        yaml_parser_t parser;
        yaml_parser_initialize(&parser);
        yaml_parser_set_input_string(&parser, text, size);
        yaml_event_t event;
        int done = 0;
        while (!done) {
            if (!yaml_parser_parse(&parser, &event))
                return 1;
            done = event.type == YAML_STREAM_END_EVENT;
            yaml_event_delete(&event);
        }
        yaml_parser_delete(&parser);
        double spent = now() - start;
        if (spent < best)
            best = spent;
    }
    printf("%.9f\n", best);
    free(text);
    return 0;
}
