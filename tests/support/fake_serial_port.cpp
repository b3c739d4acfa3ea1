#include "support/fake_serial_port.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/sys/sys_error.h"

namespace plk::test {

using std::chrono::milliseconds;

void FakeBoard::Send(const std::string& bytes) {
    std::lock_guard lock(mutex_);
    fromBoard_ += bytes;
    if (!fromBoard_.empty()) {
        inputWaiting_.Set();
    }
}

std::string FakeBoard::Receive(std::size_t count, int timeoutMs) {
    std::unique_lock lock(mutex_);
    written_.wait_for(lock, milliseconds(timeoutMs), [&] { return toBoard_.size() >= count; });
    const std::size_t n = std::min(count, toBoard_.size());
    std::string out = toBoard_.substr(0, n);
    toBoard_.erase(0, n);
    return out;
}

std::string FakeBoard::Drain(int quietMs) {
    std::unique_lock lock(mutex_);
    std::string out;
    for (;;) {
        out += toBoard_;
        toBoard_.clear();
        if (!written_.wait_for(lock, milliseconds(quietMs), [&] { return !toBoard_.empty(); })) {
            return out;
        }
    }
}

class FakeSerialPort final : public platform::SerialPort {
public:
    explicit FakeSerialPort(std::shared_ptr<FakeBoard> board) : board_(std::move(board)) {}
    ~FakeSerialPort() override {
        std::lock_guard lock(board_->mutex_);
        board_->open_ = false;
    }

    // Reads never wait here: the monitor reads only what InputQueue counts.
    bool SetTimeouts(const platform::CommTimeouts& /*timeouts*/) override { return true; }
    bool SetEventMask(uint32_t mask) override {
        mask_ = mask;
        return true;
    }
    bool GetEventMask(uint32_t& mask) override {
        mask = mask_;
        return true;
    }
    bool GetLineSettings(platform::LineSettings& settings) override {
        settings = settings_;
        return true;
    }
    bool SetLineSettings(const platform::LineSettings& settings) override {
        settings_ = settings;
        return true;
    }

    bool Purge() override {
        DropInput();
        return true;
    }
    // What was written is with the board at once: nothing to wait for.
    bool DrainThenPurge(platform::Waitable) override {
        DropInput();
        return true;
    }

    bool DropInput() override {
        std::lock_guard lock(board_->mutex_);
        discarded_.Add(reinterpret_cast<const uint8_t*>(board_->fromBoard_.data()),
                       board_->fromBoard_.size());
        board_->fromBoard_.clear();
        board_->inputWaiting_.Reset();
        return true;
    }
    platform::DiscardedInput TakeDiscarded() override { return std::exchange(discarded_, {}); }

    platform::EventWaitStart StartEventWait() override {
        return platform::EventWaitStart::kPending;
    }
    // As a tty: only a mask that reads waits on the input.
    platform::Waitable waitable() const override {
        return (mask_ & (platform::kEvRxChar | platform::kEvRxFlag)) != 0
                   ? board_->inputWaiting_.waitable()
                   : platform::Waitable{};
    }

    platform::IoStatus InputQueue(uint32_t& count) override {
        std::lock_guard lock(board_->mutex_);
        count = static_cast<uint32_t>(board_->fromBoard_.size());
        return platform::IoStatus::kOk;
    }
    platform::IoStatus ReadByte(uint8_t& byte) override {
        std::lock_guard lock(board_->mutex_);
        if (board_->fromBoard_.empty()) {
            platform::SetLastError(platform::SysErrc::kTimedOut);
            return platform::IoStatus::kFailedAfterWait;
        }
        byte = static_cast<uint8_t>(board_->fromBoard_.front());
        board_->fromBoard_.erase(0, 1);
        if (board_->fromBoard_.empty()) {
            board_->inputWaiting_.Reset();
        }
        return platform::IoStatus::kOk;
    }
    platform::IoStatus Write(const uint8_t* data, std::size_t length, platform::Waitable) override {
        {
            std::lock_guard lock(board_->mutex_);
            board_->toBoard_.append(reinterpret_cast<const char*>(data), length);
        }
        board_->written_.notify_all();
        return platform::IoStatus::kOk;
    }

private:
    std::shared_ptr<FakeBoard> board_;
    platform::LineSettings settings_;
    uint32_t mask_ = 0;
    platform::DiscardedInput discarded_;
};

FakeBoard& FakeSerialPorts::Add(int portNumber) {
    auto& board = boards_[portNumber];
    if (!board) {
        board = std::make_shared<FakeBoard>();
    }
    return *board;
}

platform::SerialPortOpener FakeSerialPorts::Opener() {
    return [this](int portNumber) -> std::unique_ptr<platform::SerialPort> {
        const auto found = boards_.find(portNumber);
        if (found == boards_.end()) {
            platform::SetLastError(platform::SysErrc::kNotFound);
            return nullptr;
        }
        {
            std::lock_guard lock(found->second->mutex_);
            if (found->second->open_) {
                platform::SetLastError(platform::SysErrc::kBusy);
                return nullptr;
            }
            found->second->open_ = true;
        }
        return std::make_unique<FakeSerialPort>(found->second);
    };
}

}  // namespace plk::test
