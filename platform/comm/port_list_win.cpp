// The port list on Windows: the values under HKLM\Hardware\DeviceMap\SerialComm,
// whose data each name one port ("COM3"), read in the registry's enumeration
// order through the wide calls and handed on as UTF-8.
#include <memory>
#include <string>
#include <vector>

#include "platform/comm/port_list.h"
#include "platform/sys/sys_error.h"
#include "platform/sys/win32.h"

namespace plk::platform {

namespace {

std::string ToUtf8(const wchar_t* text, std::size_t length) {
    if (length == 0) {
        return {};
    }
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                            nullptr, nullptr);
    std::string out(bytes > 0 ? static_cast<std::size_t>(bytes) : 0, '\0');
    if (bytes > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), bytes,
                              nullptr, nullptr);
    }
    return out;
}

class RegistryListing final : public PortListing {
public:
    explicit RegistryListing(HKEY key) : key_(key) {}
    ~RegistryListing() override { ::RegCloseKey(key_); }
    RegistryListing(const RegistryListing&) = delete;
    RegistryListing& operator=(const RegistryListing&) = delete;

    Result Entry(int index, PortEntry& entry) override {
        // Value names are at most 16383 characters; a port name far less.
        std::vector<wchar_t> name(16384);
        wchar_t data[256];
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD dataBytes = sizeof data - sizeof(wchar_t);  // room for a terminator we add
        const LSTATUS status =
            ::RegEnumValueW(key_, static_cast<DWORD>(index), name.data(), &nameLength, nullptr,
                            &type, reinterpret_cast<BYTE*>(data), &dataBytes);
        if (status == ERROR_NO_MORE_ITEMS) {
            return Result::kEnd;
        }
        // Too long, not a string, or gone between two reads: skip this one.
        if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
            SetLastError(static_cast<int>(status != ERROR_SUCCESS ? status : ERROR_INVALID_DATA));
            return Result::kUnreadable;
        }
        std::size_t length = dataBytes / sizeof(wchar_t);
        while (length > 0 && data[length - 1] == L'\0') {
            --length;  // the stored terminator, if the writer kept one
        }
        entry.name = ToUtf8(data, length);
        entry.detail.clear();
        return Result::kEntry;
    }

private:
    HKEY key_;
};

class RegistryPortListSource final : public PortListSource {
public:
    std::unique_ptr<PortListing> Open() override {
        HKEY key = nullptr;
        const LSTATUS status = ::RegOpenKeyExW(
            HKEY_LOCAL_MACHINE, L"Hardware\\DeviceMap\\SerialComm", 0, KEY_READ, &key);
        if (status != ERROR_SUCCESS) {
            SetLastError(static_cast<int>(status));
            return nullptr;
        }
        return std::make_unique<RegistryListing>(key);
    }
};

}  // namespace

std::unique_ptr<PortListSource> SystemPortListSource() {
    return std::make_unique<RegistryPortListSource>();
}

}  // namespace plk::platform
