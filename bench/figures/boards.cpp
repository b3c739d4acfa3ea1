#include "boards.h"

#include <termios.h>

namespace plk::bench {

void FlushBoardInput(const test::PtyBoard& board) {
    tcflush(board.slaveFd(), TCIFLUSH);
}

std::string ReadAvailable(int masterFd) {
    std::string got;
    for (;;) {
        pollfd p{masterFd, POLLIN, 0};
        char buffer[4096];
        const ssize_t n = poll(&p, 1, 0) > 0 ? read(masterFd, buffer, sizeof buffer) : 0;
        if (n <= 0) {
            return got;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace plk::bench
