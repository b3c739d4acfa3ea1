#include "bare_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bridge/request.h"

namespace plk::bench {

std::string BrowserRequest(const std::string& target) {
    return "GET " + target +
           " HTTP/1.1\r\nHost: 127.0.0.1:12345\r\nConnection: keep-alive\r\n"
           "sec-ch-ua-platform: \"Linux\"\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64) "
           "AppleWebKit/537.36 (KHTML, like Gecko) Chrome/139.0.0.0 Safari/537.36\r\n"
           "sec-ch-ua: \"Not;A=Brand\";v=\"99\", \"Chromium\";v=\"139\"\r\n"
           "sec-ch-ua-mobile: ?0\r\nAccept: */*\r\nOrigin: http://lab.example.org\r\n"
           "Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: cors\r\nSec-Fetch-Dest: empty\r\n"
           "Referer: http://lab.example.org/editor/index.html\r\n"
           "Accept-Encoding: gzip, deflate, br, zstd\r\n"
           "Accept-Language: zh-CN,zh;q=0.9,en-US;q=0.8,en;q=0.7\r\n\r\n";
}

BareServer::BareServer() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(listener_, 20);
    thread_ = std::thread([this] { Run(); });
}

BareServer::~BareServer() {
    stop_.store(true);
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
}

void BareServer::SetMode(Mode mode, int relayFd) {
    relayFd_.store(relayFd);
    mode_.store(mode);
}

void BareServer::Run() {
    const std::string answer = std::string(g_httpHeader) + "ok\ndone\r\n";
    char buffer[8192];
    while (!stop_.load()) {
        const int c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            continue;
        }
        ssize_t n = recv(c, buffer, 512, 0);
        std::string head(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
        const Mode mode = mode_.load();
        if (mode == Mode::kRelay) {
            const std::size_t from = head.find(' ') + 1, to = head.find(" HTTP");
            std::string line = head.substr(from, to - from) + "\n";
            [[maybe_unused]] const ssize_t w = write(relayFd_.load(), line.data(), line.size());
        }
        while (n > 0 && head.find("\r\n\r\n") == std::string::npos && head.size() < 8192) {
            n = recv(c, buffer, sizeof buffer, 0);
            if (n > 0) {
                head.append(buffer, static_cast<std::size_t>(n));
            }
        }
        if (mode == Mode::kAnswer) {
            send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
        }
        shutdown(c, SHUT_WR);
        while (recv(c, buffer, sizeof buffer, 0) > 0) {
        }
        close(c);
    }
}

}  // namespace plk::bench
