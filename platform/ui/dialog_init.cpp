#include "platform/ui/dialog_init.h"

#include <algorithm>
#include <string>

#include "res/templates.h"

namespace plk::platform {

void RunDialogInitData(Window& window, std::span<const uint8_t> data) {
    const auto records = res::ParseDlgInit(data);
    if (!records) {
        return;
    }
    for (const res::DlgInitRecord& record : *records) {
        if (record.message != res::kCbAddString) {
            continue;
        }
        // Up to the first zero: a record without one still gives its bytes.
        const auto end = std::find(record.data.begin(), record.data.end(), uint8_t{0});
        window.ComboInsert(record.controlId, -1, std::string(record.data.begin(), end));
    }
}

}  // namespace plk::platform
