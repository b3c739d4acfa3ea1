// The anchors of the Windows figures: the least a Windows program does for the
// same work as Plinkor.exe, built the same way and run under the same Wine by
// scripts/bench-win.sh (bench/win/figures_win.py drives it and measures).
//
//   bare_win serve PORT silent|answer|relay [COMn]
//       A bare accept/read/close loop on 127.0.0.1:PORT with the bridge's
//       Winsock shape: a non-blocking listener with one FD_ACCEPT event for
//       its whole life, and accept tried again every 100 ms, since Wine does
//       not signal the event again after an accept that would block. Reads the
//       request head, answers "ok\ndone" (answer), or writes the request
//       target as a line to COMn (relay) from its first read; then ends its
//       side, waits for the client's end, closes.
//   bare_win floor COMn SECONDS
//       The receive path's own calls on a flooded port, nothing else: an
//       overlapped one-byte ReadFile and a ClearCommError per byte.
//   bare_win send COUNT message|event
//       Cross-thread SendMessageW to a window of another thread that runs a
//       plain GetMessage loop, COUNT times (message); or as many event
//       ping-pongs, SetEvent / WaitForSingleObject each way (event). Prints the
//       time per round trip.
//   bare_win window
//       A window with a label and a combo box; writes "u" to its standard
//       output at its loop's first turn, then runs until closed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/sys/win32.h"

namespace {

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    ::QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

HANDLE OpenCom(const char* name, bool overlapped) {
    const std::string path = std::string("\\\\.\\") + name;
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "open %s: %lu\n", name, ::GetLastError());
        std::exit(1);
    }
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;  // a read returns what is there
    t.WriteTotalTimeoutConstant = 1000;
    ::SetCommTimeouts(h, &t);
    return h;
}

// Waits for `events` on `s` (its event kept for the connection), at most 2 s.
bool WaitSocket(SOCKET s, WSAEVENT event) {
    if (::WaitForSingleObject(event, 2000) != WAIT_OBJECT_0) {
        return false;
    }
    WSANETWORKEVENTS happened{};
    ::WSAEnumNetworkEvents(s, event, &happened);
    return true;
}

// recv on a non-blocking socket, waiting on its event while it would block.
int Receive(SOCKET s, WSAEVENT event, char* buffer, int size) {
    for (;;) {
        const int n = ::recv(s, buffer, size, 0);
        if (n >= 0 || ::WSAGetLastError() != WSAEWOULDBLOCK) {
            return n;
        }
        if (!WaitSocket(s, event)) {
            return -1;
        }
    }
}

int Serve(int port, const std::string& mode, const char* com) {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    HANDLE relay = mode == "relay" ? OpenCom(com, false) : INVALID_HANDLE_VALUE;
    SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    u_long on = 1;
    ::ioctlsocket(listener, FIONBIO, &on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 20) != 0) {
        std::fprintf(stderr, "bind/listen %d: %d\n", port, ::WSAGetLastError());
        return 1;
    }
    WSAEVENT accepting = ::WSACreateEvent();
    ::WSAEventSelect(listener, accepting, FD_ACCEPT);
    std::printf("listening %d %s\n", port, mode.c_str());
    std::fflush(stdout);
    const std::string answer =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nAccess-Control-Allow-Origin: *\r\n"
        "Connection: close\r\n\r\nok\ndone\r\n";
    unsigned long missed = 0;
    char buffer[8192];
    for (;;) {
        SOCKET c = ::accept(listener, nullptr, nullptr);
        if (c == INVALID_SOCKET) {
            if (::WSAGetLastError() != WSAEWOULDBLOCK) {
                continue;
            }
            if (::WaitForSingleObject(accepting, 100) == WAIT_TIMEOUT) {
                ++missed;
            } else {
                WSANETWORKEVENTS happened{};
                ::WSAEnumNetworkEvents(listener, accepting, &happened);
            }
            continue;
        }
        // The accepted socket inherits the listener's selection: its own.
        WSAEVENT readable = ::WSACreateEvent();
        ::WSAEventSelect(c, readable, FD_READ | FD_CLOSE);
        int n = Receive(c, readable, buffer, 512);
        std::string head(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
        if (relay != INVALID_HANDLE_VALUE) {
            const std::size_t from = head.find(' ') + 1, to = head.find(" HTTP");
            const std::string line = head.substr(from, to - from) + "\n";
            DWORD written = 0;
            ::WriteFile(relay, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        }
        while (n > 0 && head.find("\r\n\r\n") == std::string::npos && head.size() < 8192) {
            n = Receive(c, readable, buffer, sizeof buffer);
            if (n > 0) {
                head.append(buffer, static_cast<std::size_t>(n));
            }
        }
        if (mode == "answer") {
            ::send(c, answer.data(), static_cast<int>(answer.size()), 0);
        }
        ::shutdown(c, SD_SEND);
        while (Receive(c, readable, buffer, sizeof buffer) > 0) {
        }
        ::WSAEventSelect(c, nullptr, 0);
        ::WSACloseEvent(readable);
        ::closesocket(c);
    }
}

int Floor(const char* com, double seconds) {
    HANDLE h = OpenCom(com, true);
    OVERLAPPED o{};
    o.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    unsigned long long bytes = 0;
    std::printf("reading %s\n", com);
    std::fflush(stdout);
    const double end = Now() + seconds;
    while (Now() < end) {
        uint8_t byte;
        DWORD got = 0;
        if (!::ReadFile(h, &byte, 1, &got, &o)) {
            if (::GetLastError() != ERROR_IO_PENDING) {
                break;
            }
            ::GetOverlappedResult(h, &o, &got, TRUE);
        }
        bytes += got;
        DWORD errors = 0;
        COMSTAT status{};
        ::ClearCommError(h, &errors, &status);
    }
    std::printf("bytes %llu\n", bytes);
    return 0;
}

constexpr UINT kWmWork = WM_APP + 1;

LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kWmWork) {
        ++*reinterpret_cast<long*>(lParam);
        return 1;
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

int SendRounds(int count, const std::string& which) {
    if (which == "event") {
        HANDLE ping = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        HANDLE pong = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        std::thread other([&] {
            for (int i = 0; i < count; ++i) {
                ::WaitForSingleObject(ping, INFINITE);
                ::SetEvent(pong);
            }
        });
        const double t0 = Now();
        for (int i = 0; i < count; ++i) {
            ::SetEvent(ping);
            ::WaitForSingleObject(pong, INFINITE);
        }
        const double events = (Now() - t0) / count;
        other.join();
        std::printf("event_pingpong_us %.2f\n", events * 1e6);
        return 0;
    }
    WNDCLASSW wc{};
    wc.lpfnWndProc = Procedure;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"BareSendTarget";
    ::RegisterClassW(&wc);
    HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HWND target = nullptr;
    DWORD ownerId = 0;
    std::thread owner([&] {
        target = ::CreateWindowW(L"BareSendTarget", L"", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr,
                                 nullptr, wc.hInstance, nullptr);
        ownerId = ::GetCurrentThreadId();
        ::SetEvent(ready);
        MSG msg;
        while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
            ::DispatchMessageW(&msg);
        }
        ::DestroyWindow(target);
    });
    ::WaitForSingleObject(ready, INFINITE);
    long handled = 0;
    const double t0 = Now();
    for (int i = 0; i < count; ++i) {
        ::SendMessageW(target, kWmWork, 0, reinterpret_cast<LPARAM>(&handled));
    }
    const double send = (Now() - t0) / count;
    ::PostThreadMessageW(ownerId, WM_QUIT, 0, 0);
    owner.join();
    std::printf("sendmessage_us %.2f handled %ld\n", send * 1e6, handled);
    return 0;
}

int Window() {
    HWND dialog = ::CreateWindowExW(0, L"#32770", L"bare", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                    300, 120, nullptr, nullptr, nullptr, nullptr);
    ::CreateWindowW(L"STATIC", L"label", WS_CHILD | WS_VISIBLE, 10, 10, 200, 20, dialog, nullptr,
                    nullptr, nullptr);
    ::CreateWindowW(L"COMBOBOX", L"", WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST, 10, 40, 200, 100,
                    dialog, nullptr, nullptr, nullptr);
    ::PostMessageW(dialog, WM_APP, 0, 0);
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_APP) {
            std::fputs("u", stdout);
            std::fflush(stdout);
        }
        ::DispatchMessageW(&msg);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "serve" && argc >= 4) {
        return Serve(std::atoi(argv[2]), argv[3], argc > 4 ? argv[4] : "");
    }
    if (what == "floor" && argc >= 4) {
        return Floor(argv[2], std::atof(argv[3]));
    }
    if (what == "send" && argc >= 4) {
        return SendRounds(std::atoi(argv[2]), argv[3]);
    }
    if (what == "window") {
        return Window();
    }
    std::fprintf(stderr,
                 "usage: bare_win serve PORT silent|answer|relay [COMn] | floor COMn S | "
                 "send COUNT message|event | window\n");
    return 2;
}
