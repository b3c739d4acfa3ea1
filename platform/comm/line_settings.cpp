// The definition text of a port's line settings, read as the Windows
// BuildCommDCB reads it.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <string>
#include <vector>

#include "platform/comm/serial_port.h"
#include "platform/sys/sys_error.h"

namespace plk::platform {

namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool ParseUnsigned(std::string_view text, uint32_t& value) {
    if (text.empty()) {
        return false;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

bool ParseParity(std::string_view text, char& parity) {
    if (text.size() != 1) {
        return false;
    }
    const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    if (c != 'N' && c != 'O' && c != 'E' && c != 'M' && c != 'S') {
        return false;
    }
    parity = c;
    return true;
}

bool ParseDataBits(std::string_view text, uint8_t& bits) {
    uint32_t value = 0;
    if (!ParseUnsigned(text, value) || value < 5 || value > 8) {
        return false;
    }
    bits = static_cast<uint8_t>(value);
    return true;
}

bool ParseStopBits(std::string_view text, StopBits& stop) {
    if (text == "1") {
        stop = StopBits::kOne;
    } else if (text == "1.5") {
        stop = StopBits::kOneAndHalf;
    } else if (text == "2") {
        stop = StopBits::kTwo;
    } else {
        return false;
    }
    return true;
}

bool ParseOnOff(std::string_view text, bool& on) {
    if (text == "on") {
        on = true;
    } else if (text == "off") {
        on = false;
    } else {
        return false;
    }
    return true;
}

std::vector<std::string_view> Split(std::string_view text, auto isSeparator) {
    std::vector<std::string_view> parts;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isSeparator(text[i])) {
            ++i;
        }
        std::size_t j = i;
        while (j < text.size() && !isSeparator(text[j])) {
            ++j;
        }
        if (j > i) {
            parts.push_back(text.substr(i, j - i));
        }
        i = j;
    }
    return parts;
}

// "baud=115200 parity=N data=8 stop=1 [to=] [xon=] [odsr=] [octs=] [dtr=] [rts=] [idsr=]"
// Flow control and the modem-line controls change only when the text names
// them: a control set before the text is read (RTS disabled) stays set.
bool ParseKeyed(std::string_view text, LineSettings& s) {
    bool baudNamed = false, stopNamed = false;
    for (std::string_view part : Split(text, [](char c) { return c == ' ' || c == '\t'; })) {
        const std::size_t eq = part.find('=');
        if (eq == std::string_view::npos) {
            return false;
        }
        const std::string key = Lower(part.substr(0, eq));
        const std::string value = Lower(part.substr(eq + 1));
        bool on = false;
        if (key == "baud") {
            if (!ParseUnsigned(value, s.baudRate)) {
                return false;
            }
            baudNamed = true;
        } else if (key == "parity") {
            if (!ParseParity(value, s.parity)) {
                return false;
            }
        } else if (key == "data") {
            if (!ParseDataBits(value, s.dataBits)) {
                return false;
            }
        } else if (key == "stop") {
            if (!ParseStopBits(value, s.stopBits)) {
                return false;
            }
            stopNamed = true;
        } else if (key == "to") {
            if (!ParseOnOff(value, on)) {
                return false;
            }
        } else if (key == "xon") {
            if (!ParseOnOff(value, on)) {
                return false;
            }
            s.outX = s.inX = on;
        } else if (key == "odsr") {
            if (!ParseOnOff(value, s.outxDsrFlow)) {
                return false;
            }
        } else if (key == "octs") {
            if (!ParseOnOff(value, s.outxCtsFlow)) {
                return false;
            }
        } else if (key == "idsr") {
            if (!ParseOnOff(value, s.dsrSensitivity)) {
                return false;
            }
        } else if (key == "dtr") {
            if (value == "hs") {
                s.dtrControl = DtrControl::kHandshake;
            } else if (ParseOnOff(value, on)) {
                s.dtrControl = on ? DtrControl::kEnable : DtrControl::kDisable;
            } else {
                return false;
            }
        } else if (key == "rts") {
            if (value == "hs") {
                s.rtsControl = RtsControl::kHandshake;
            } else if (value == "tg") {
                s.rtsControl = RtsControl::kToggle;
            } else if (ParseOnOff(value, on)) {
                s.rtsControl = on ? RtsControl::kEnable : RtsControl::kDisable;
            } else {
                return false;
            }
        } else {
            return false;
        }
    }
    // Stop bits are never left as they were: one, or two at 110 baud.
    if (!stopNamed) {
        s.stopBits = baudNamed && s.baudRate == 110 ? StopBits::kTwo : StopBits::kOne;
    }
    return true;
}

// The older "96,n,8,1[,x|p]" form; two-digit rates are abbreviations. It sets
// the flow control and both modem-line controls every time, from its last field.
bool ParseLegacy(std::string_view text, LineSettings& s) {
    const auto parts = Split(text, [](char c) { return c == ',' || c == ' ' || c == '\t'; });
    if (parts.empty() || parts.size() > 5) {
        return false;
    }
    uint32_t baud = 0;
    if (!ParseUnsigned(parts[0], baud)) {
        return false;
    }
    switch (baud) {
        case 11:
            baud = 110;
            break;
        case 15:
            baud = 150;
            break;
        case 30:
            baud = 300;
            break;
        case 60:
            baud = 600;
            break;
        case 12:
            baud = 1200;
            break;
        case 24:
            baud = 2400;
            break;
        case 48:
            baud = 4800;
            break;
        case 96:
            baud = 9600;
            break;
        case 19:
            baud = 19200;
            break;
        default:
            break;
    }
    LineSettings next = s;
    next.baudRate = baud;
    if (parts.size() > 1 && !ParseParity(parts[1], next.parity)) {
        return false;
    }
    if (parts.size() > 2 && !ParseDataBits(parts[2], next.dataBits)) {
        return false;
    }
    if (parts.size() > 3 && !ParseStopBits(parts[3], next.stopBits)) {
        return false;
    }
    next.outX = next.inX = next.outxCtsFlow = next.outxDsrFlow = false;
    next.dtrControl = DtrControl::kEnable;
    next.rtsControl = RtsControl::kEnable;
    if (parts.size() > 4) {
        const std::string flow = Lower(parts[4]);
        if (flow == "x") {
            next.outX = next.inX = true;
        } else if (flow == "p") {
            next.outxCtsFlow = next.outxDsrFlow = true;
            next.dtrControl = DtrControl::kHandshake;
            next.rtsControl = RtsControl::kHandshake;
        } else {
            return false;
        }
    }
    s = next;
    return true;
}

}  // namespace

bool BuildLineSettings(std::string_view definition, LineSettings& settings) {
    std::string_view text = definition;
    // An optional device prefix, "COM3:" or "COM3 ".
    if (text.size() >= 3 && Lower(text.substr(0, 3)) == "com") {
        std::size_t i = 3;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            ++i;
        }
        if (i < text.size() && text[i] == ':') {
            ++i;
        }
        text.remove_prefix(i);
    }
    LineSettings next = settings;
    const bool ok =
        text.find('=') != std::string_view::npos ? ParseKeyed(text, next) : ParseLegacy(text, next);
    if (ok) {
        settings = next;
    } else {
        SetLastError(SysErrc::kInvalidArgument);
    }
    return ok;
}

}  // namespace plk::platform
