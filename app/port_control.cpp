// The port control of the main dialog: the port list, the open sequence, the
// open and connect buttons and the selection texts.
#include <climits>
#include <cstdint>
#include <string>

#include "app/bridge_dlg.h"

namespace plk {

std::string g_portName;
std::string g_modelText;
int g_portOpen = 0;
bool g_bridgeStarted = false;

namespace {

// The program's fixed line settings.
constexpr int kBaudRate = 115200;
constexpr char kParity = 'N';
constexpr int kDataBits = 8;
constexpr int kStopBits = 1;
constexpr uint32_t kEventMask = 3;  // received character, event character
constexpr int kWriteBufferSize = 512;

// Where a port name's number starts: after "COM".
constexpr std::size_t kNumberOffset = 3;

// A source that keeps failing entry by entry must not hold the dialog forever.
constexpr int kMaxPortEntries = 4096;

bool IsBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

int PortNumberFromName(std::string_view name) {
    if (name.size() <= kNumberOffset) {
        return 0;
    }
    const std::string_view text = name.substr(kNumberOffset);
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Magnitudes beyond INT_MAX + 1 all saturate; stop growing there.
    constexpr long long kLimit = static_cast<long long>(INT_MAX) + 1;
    long long magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (magnitude < kLimit) {
            magnitude = magnitude * 10 + (text[i] - '0');
        }
    }
    if (negative) {
        return magnitude >= kLimit ? INT_MIN : static_cast<int>(-magnitude);
    }
    return magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
}

void CBridgeDlg::SetItemText(int id, std::string_view text) {
    m_window->SetItemText(id, std::string(text));
}

void CBridgeDlg::InitPortControl() {
    if (FillPortList(false) > 0) {
        OpenSelectedPort(true);
    }
}

int CBridgeDlg::FillPortList(bool dropDown) {
    int count = 0;
    if (auto listing = m_ports->Open()) {
        if (dropDown) {
            m_window->ComboReset(IDC_CMB_PORT);
        }
        for (int index = 0; index < kMaxPortEntries; ++index) {
            platform::PortEntry entry;
            const auto result = listing->Entry(index, entry);
            if (result == platform::PortListing::Result::kEnd) {
                break;
            }
            // An entry that cannot be read would show no usable name: it is left
            // out and takes no position.
            if (result == platform::PortListing::Result::kUnreadable) {
                continue;
            }
            m_window->ComboInsert(IDC_CMB_PORT, count, entry.name);
            if (!entry.detail.empty()) {
                m_window->ComboSetItemTip(IDC_CMB_PORT, count, entry.detail);
            }
            ++count;
        }
    }
    if (!dropDown) {
        m_window->ComboSetCurSel(IDC_CMB_MODEL, 0);
    }
    m_window->ComboSetCurSel(IDC_CMB_PORT, count - 1);
    return count;
}

bool CBridgeDlg::ReadSelections() {
    // No selected entry reads as an empty text.
    const int port = m_window->ComboGetCurSel(IDC_CMB_PORT);
    g_portName = m_window->ComboText(IDC_CMB_PORT, port);
    g_modelText = m_window->ComboText(IDC_CMB_MODEL, m_window->ComboGetCurSel(IDC_CMB_MODEL));
    return port >= 0;
}

void CBridgeDlg::OpenSelectedPort(bool startBridge) {
    const bool selected = ReadSelections();
    // Before the open, so that the text names the port even when it fails.
    SetItemText(IDC_TXT_PORTINFO, kPortInfoPrefix + g_portName);

    // Without a selected entry, or with one too short to hold "COM", there is
    // no port to name: that is an open that fails.
    if (!selected || g_portName.size() < kNumberOffset) {
        platform::AfxMessageBox(*m_window, kOpenPortError);
        return;
    }
    const int portNumber = PortNumberFromName(g_portName);
    if (m_link.OpenPort(m_window, portNumber, kBaudRate, kParity, kDataBits, kStopBits, kEventMask,
                        kWriteBufferSize) == 0) {
        platform::AfxMessageBox(*m_window, kOpenPortError);
        return;
    }
    m_link.StartMonitor();
    if (startBridge && !g_bridgeStarted) {
        g_bridgeStarted = true;
        m_bridge = std::make_unique<BridgeServer>(*m_window, m_link, m_bridgePort);
        m_bridge->Start();
    }
    m_link.QueueWrite(kGreeting);
    g_portOpen = 1;
    SetItemText(IDC_BTN_OPENPORT, kCaptionClosePort);
}

void CBridgeDlg::OnOpenPortButton() {
    if (g_portOpen != 0) {
        SetItemText(IDC_BTN_OPENPORT, kCaptionOpenPort);
        g_portOpen = 0;
        m_link.RequestClose();
    } else {
        OpenSelectedPort(false);
    }
    SetItemText(IDC_TXT_LINKSTATE, kLinkStateNotConnected);
}

void CBridgeDlg::OnConnectButton() {
    if (g_portOpen != 0) {
        m_link.QueueWrite(kGreeting);
    } else {
        OpenSelectedPort(false);
    }
    SetItemText(IDC_TXT_LINKSTATE, kLinkStateNotConnected);
}

void CBridgeDlg::OnDropdownPort() {
    FillPortList(true);
}

void CBridgeDlg::OnSelendokPort() {
    ReadSelections();
    SetItemText(IDC_TXT_PORTINFO, kPortInfoPrefix + g_portName);
}

void CBridgeDlg::OnSelendokModel() {
    ReadSelections();
    SetItemText(IDC_TXT_PORTINFO, kPortInfoPrefix + g_portName + kModelInfoPrefix + g_modelText);
}

}  // namespace plk
