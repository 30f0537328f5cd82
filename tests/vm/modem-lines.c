// modem-lines PID DEVICE: prints the DTR and RTS states of DEVICE as the
// process PID holds it open ("DTR off RTS off").
//
// It does not open the device: an open of a serial device raises DTR and RTS,
// which is the very thing being checked. It borrows the holder's own open
// file instead (pidfd_getfd), which leaves the port, its lock and its lines
// as they were when this program ends.
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

// The descriptor under which `pid` holds `device`, or -1.
static int HolderDescriptor(long pid, const char* device) {
    char dirPath[64];
    snprintf(dirPath, sizeof dirPath, "/proc/%ld/fd", pid);
    DIR* dir = opendir(dirPath);
    if (dir == NULL) return -1;
    int found = -1;
    for (struct dirent* entry; found < 0 && (entry = readdir(dir)) != NULL;) {
        if (entry->d_name[0] == '.') continue;
        char linkPath[PATH_MAX];
        char target[PATH_MAX];
        snprintf(linkPath, sizeof linkPath, "%s/%s", dirPath, entry->d_name);
        const ssize_t n = readlink(linkPath, target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        if (strcmp(target, device) == 0) found = atoi(entry->d_name);
    }
    closedir(dir);
    return found;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: modem-lines PID DEVICE\n");
        return 2;
    }
    const long pid = strtol(argv[1], NULL, 10);
    const int target = HolderDescriptor(pid, argv[2]);
    if (target < 0) {
        fprintf(stderr, "modem-lines: process %ld does not hold %s\n", pid, argv[2]);
        return 1;
    }
    const int pidfd = (int)syscall(SYS_pidfd_open, (pid_t)pid, 0);
    const int fd = pidfd < 0 ? -1 : (int)syscall(SYS_pidfd_getfd, pidfd, target, 0);
    int bits = 0;
    if (fd < 0 || ioctl(fd, TIOCMGET, &bits) != 0) {
        fprintf(stderr, "modem-lines: %s of process %ld: %s\n", argv[2], pid, strerror(errno));
        return 1;
    }
    printf("DTR %s RTS %s\n", (bits & TIOCM_DTR) ? "on" : "off", (bits & TIOCM_RTS) ? "on" : "off");
    return 0;
}
