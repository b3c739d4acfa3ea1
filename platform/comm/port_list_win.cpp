// The port list on Windows: the values under HKLM\Hardware\DeviceMap\SerialComm,
// whose data each name one port ("COM3"), read in the registry's enumeration
// order through the wide calls and handed on as UTF-8. Each port's detail is
// the friendly name the device manager shows for it ("USB-SERIAL CH340
// (COM3)"), looked up once per reading; the names, their order and so the
// selection are the registry's alone.
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/comm/port_list.h"
#include "platform/sys/sys_error.h"
#include "platform/sys/win32.h"

// clang-format off
#include <setupapi.h>
// clang-format on

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

// Port names compare as the system compares them: without regard to case.
struct LessNoCase {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
        return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                      static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
    }
};
using FriendlyNames = std::map<std::wstring, std::string, LessNoCase>;

// The device class of serial and parallel ports, and the interface every
// serial port driver registers, for drivers that put their device in a class
// of its own.
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID kComPortInterface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

std::wstring RegistryText(HKEY key, const wchar_t* value) {
    wchar_t text[256];
    DWORD type = 0;
    DWORD bytes = sizeof text - sizeof(wchar_t);
    if (::RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return {};
    }
    std::size_t length = bytes / sizeof(wchar_t);
    while (length > 0 && text[length - 1] == L'\0') {
        --length;
    }
    return {text, length};
}

std::wstring DeviceText(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property) {
    wchar_t text[256];
    DWORD type = 0;
    if (!::SetupDiGetDeviceRegistryPropertyW(devices, &device, property, &type,
                                             reinterpret_cast<BYTE*>(text),
                                             sizeof text - sizeof(wchar_t), nullptr) ||
        type != REG_SZ) {
        return {};
    }
    text[255] = L'\0';
    return text;
}

struct DeviceSetCloser {
    void operator()(HDEVINFO devices) const { ::SetupDiDestroyDeviceInfoList(devices); }
};
using DeviceSet = std::unique_ptr<void, DeviceSetCloser>;

// The present devices of one set, by the port name their device key holds.
void AddFriendlyNames(HDEVINFO opened, FriendlyNames& names) {
    if (opened == INVALID_HANDLE_VALUE) {
        return;
    }
    const DeviceSet owner(opened);
    HDEVINFO devices = owner.get();
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
        const HKEY key =
            ::SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        const std::wstring port = RegistryText(key, L"PortName");
        ::RegCloseKey(key);
        if (port.empty() || names.contains(port)) {
            continue;
        }
        std::wstring name = DeviceText(devices, device, SPDRP_FRIENDLYNAME);
        if (name.empty()) {
            name = DeviceText(devices, device, SPDRP_DEVICEDESC);
        }
        if (!name.empty()) {
            names.emplace(port, ToUtf8(name.data(), name.size()));
        }
    }
}

// What the device manager calls each port. Empty when it knows none (Wine's
// ports, mapped from Unix devices, are no devices of its own).
FriendlyNames ReadFriendlyNames() {
    FriendlyNames names;
    AddFriendlyNames(::SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT), names);
    AddFriendlyNames(::SetupDiGetClassDevsW(&kComPortInterface, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
                     names);
    return names;
}

class RegistryListing final : public PortListing {
public:
    RegistryListing(HKEY key, FriendlyNames names) : key_(key), names_(std::move(names)) {}
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
        const auto named = names_.find(std::wstring(data, length));
        entry.detail = named != names_.end() ? named->second : std::string();
        return Result::kEntry;
    }

private:
    HKEY key_;
    FriendlyNames names_;
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
        return std::make_unique<RegistryListing>(key, ReadFriendlyNames());
    }
};

}  // namespace

std::unique_ptr<PortListSource> SystemPortListSource() {
    return std::make_unique<RegistryPortListSource>();
}

}  // namespace plk::platform
