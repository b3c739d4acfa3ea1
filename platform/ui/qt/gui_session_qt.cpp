// The Qt application object with its dialog host, and the termination signals
// turned into Cancel through a self-pipe.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cerrno>

#include "platform/ui/gui_session.h"
#include "platform/ui/qt/dialog_host_qt.h"

namespace plk::platform {

namespace {

// The write end of the self-pipe; the handler does nothing but write to it.
volatile sig_atomic_t g_signalWriteFd = -1;

// The first signal asks the dialogs to end; a second one, should the program
// hang on its way out, ends it the default way.
extern "C" void OnTerminationSignal(int signal) {
    const int saved = errno;
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGTERM, &fallback, nullptr);
    sigaction(SIGINT, &fallback, nullptr);
    const int fd = g_signalWriteFd;
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signal);
        [[maybe_unused]] const ssize_t n = write(fd, &byte, 1);
    }
    errno = saved;
}

class QtGuiSession final : public GuiSession {
public:
    QtGuiSession(int& argc, char** argv) : app_(argc, argv) { SetCurrentDialogHost(&host_); }

    ~QtGuiSession() override {
        if (signalNotifier_) {
            struct sigaction restore {};
            restore.sa_handler = SIG_DFL;
            sigemptyset(&restore.sa_mask);
            sigaction(SIGTERM, &restore, nullptr);
            sigaction(SIGINT, &restore, nullptr);
            g_signalWriteFd = -1;
            signalNotifier_.reset();
            close(pipe_[0]);
            close(pipe_[1]);
        }
        SetCurrentDialogHost(nullptr);
    }

    void CancelDialogsOnTerminationSignals() override {
        if (signalNotifier_ || pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
            return;
        }
        g_signalWriteFd = pipe_[1];
        signalNotifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
        QObject::connect(signalNotifier_.get(), &QSocketNotifier::activated, &app_, [this] {
            unsigned char drain[64];
            while (read(pipe_[0], drain, sizeof drain) > 0) {
            }
            host_.CancelAll();
        });
        struct sigaction action {};
        action.sa_handler = OnTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
    }

private:
    QApplication app_;
    QtDialogHost host_;
    int pipe_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> signalNotifier_;
};

}  // namespace

std::unique_ptr<GuiSession> GuiSession::Start(int& argc, char** argv) {
    return std::make_unique<QtGuiSession>(argc, argv);
}

}  // namespace plk::platform
