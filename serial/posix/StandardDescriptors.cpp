#include "serial/StandardDescriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Opens fd, which is closed, on /dev/null; where there is none (a bare
// chroot), on the root folder as a path only, which no read or write
// reaches. Either way the number is taken.
void Fill(int fd) {
    int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened < 0) opened = ::open("/", O_PATH | O_DIRECTORY);
    // The lowest free number is fd itself, as the lower ones are open.
    if (opened >= 0 && opened != fd) {
        ::dup2(opened, fd);
        ::close(opened);
    }
}

}  // namespace

FilledStandardDescriptors FillClosedStandardDescriptors() {
    const int savedErrno = errno;
    FilledStandardDescriptors filled;
    bool* const closed[] = {&filled.input, &filled.output, &filled.error};
    for (int fd = 0; fd < 3; ++fd) {
        *closed[fd] = ::fcntl(fd, F_GETFD) < 0 && errno == EBADF;
        if (*closed[fd]) Fill(fd);
    }
    errno = savedErrno;
    return filled;
}
