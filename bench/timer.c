// SPDX-License-Identifier: MIT
/* Times two commands in alternation (A, B, A, B, ...), each run with standard input opened
 * afresh from one file, and prints the median wall-clock times, their quartiles and the median
 * ratio A/B; then the same for the processor time (user + system) of each run, which waiting
 * for the processors of a shared machine does not inflate.
 *   timer RUNS INPUT LABEL -- COMMAND_A... -- COMMAND_B...
 * A run that does not end with status 0 stops the measurement: a failing tool times nothing. */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <libgen.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

extern char **environ;

struct Timing {
    double wall, processor;
};

static double seconds(struct timeval t) { return (double)t.tv_sec + (double)t.tv_usec * 1e-6; }

static struct Timing run_once(char **argv, const char *input) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input, O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t child;
    int status = 0;
    struct rusage usage;
    if (posix_spawn(&child, argv[0], &actions, NULL, argv, environ) != 0 ||
        wait4(child, &status, 0, &usage) != child) {
        perror(argv[0]);
        exit(2);
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "%s did not end with status 0 (wait status %d)\n", argv[0], status);
        exit(2);
    }
    struct Timing timing = {
        (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) * 1e-9,
        seconds(usage.ru_utime) + seconds(usage.ru_stime)};
    return timing;
}

static int by_value(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

/* Sorts `values` and returns the value at quantile q (0.5: the median). */
static double quantile(double *values, int count, double q) {
    qsort(values, (size_t)count, sizeof *values, by_value);
    double position = q * (count - 1);
    int low = (int)position;
    double fraction = position - low;
    return low + 1 < count ? values[low] * (1 - fraction) + values[low + 1] * fraction
                           : values[low];
}

static void report(const char *label, const char *clock, const char *name_a, const char *name_b,
                   int runs, double *a, double *b, double *ratio) {
    double a_median = quantile(a, runs, 0.5), a_low = quantile(a, runs, 0.25),
           a_high = quantile(a, runs, 0.75);
    double b_median = quantile(b, runs, 0.5), b_low = quantile(b, runs, 0.25),
           b_high = quantile(b, runs, 0.75);
    double r_median = quantile(ratio, runs, 0.5), r_low = quantile(ratio, runs, 0.25),
           r_high = quantile(ratio, runs, 0.75);
    printf("%-8s %-4s %s %8.3f ms [%.3f-%.3f]  %s %8.3f ms [%.3f-%.3f]  "
           "median ratio %.3f [%.3f-%.3f]\n",
           label, clock, name_a, a_median * 1e3, a_low * 1e3, a_high * 1e3, name_b, b_median * 1e3,
           b_low * 1e3, b_high * 1e3, r_median, r_low, r_high);
}

int main(int argc, char **argv) {
    if (argc < 7 || strcmp(argv[4], "--") != 0) {
        fprintf(stderr, "usage: %s RUNS INPUT LABEL -- COMMAND_A... -- COMMAND_B...\n", argv[0]);
        return 2;
    }
    int runs = atoi(argv[1]);
    const char *input = argv[2], *label = argv[3];
    char **command_a = argv + 5, **command_b = NULL;
    for (int i = 5; i < argc; ++i)
        if (strcmp(argv[i], "--") == 0) {
            argv[i] = NULL;
            command_b = argv + i + 1;
            break;
        }
    if (runs < 1 || command_b == NULL || *command_b == NULL) return 2;

    double *a = calloc((size_t)runs, sizeof *a), *b = calloc((size_t)runs, sizeof *b);
    double *ratio = calloc((size_t)runs, sizeof *ratio);
    double *a_cpu = calloc((size_t)runs, sizeof *a_cpu), *b_cpu = calloc((size_t)runs, sizeof *b_cpu);
    double *cpu_ratio = calloc((size_t)runs, sizeof *cpu_ratio);
    run_once(command_a, input); /* one untimed pair warms the page cache and the loader */
    run_once(command_b, input);
    for (int i = 0; i < runs; ++i) {
        struct Timing ta = run_once(command_a, input), tb = run_once(command_b, input);
        a[i] = ta.wall;
        b[i] = tb.wall;
        ratio[i] = a[i] / b[i];
        a_cpu[i] = ta.processor;
        b_cpu[i] = tb.processor;
        /* a run too short for the kernel's accounting would divide by nothing */
        cpu_ratio[i] = tb.processor > 0 ? ta.processor / tb.processor : 1.0;
    }
    const char *name_a = basename(command_a[0]), *name_b = basename(command_b[0]);
    report(label, "wall", name_a, name_b, runs, a, b, ratio);
    report(label, "cpu", name_a, name_b, runs, a_cpu, b_cpu, cpu_ratio);
    return 0;
}
