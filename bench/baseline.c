// SPDX-License-Identifier: MIT
/* The reference ostrapour is measured against: the same locale selection, the same plain open of
 * an existing target and the same 256-byte read and write calls, with nothing else around them. */
#include <fcntl.h>
#include <locale.h>
#include <unistd.h>

int main(int argc, char **argv) {
    static unsigned char block[256];
    if (argc != 2 || setlocale(LC_ALL, "") == NULL) return 1;
    int target = open(argv[1], O_WRONLY);
    if (target < 0) return 1;
    for (;;) {
        ssize_t delivered = read(0, block, sizeof block);
        if (delivered < 0) return 1;
        if (delivered == 0) break;
        for (ssize_t written = 0; written < delivered;) {
            ssize_t taken = write(target, block + written, (size_t)(delivered - written));
            if (taken <= 0) return 1;
            written += taken;
        }
    }
    close(0);
    close(target);
    return 0;
}
