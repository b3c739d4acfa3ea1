// The serial ports the system knows, as the port list offers them. One source
// per platform; the dialog enumerates it by index, as a registry key is read.
#pragma once

#include <memory>
#include <string>

namespace plk::platform {

struct PortEntry {
    // What the list shows: "COM" and the port number, then optionally a blank
    // and the device, e.g. "COM65 ttyACM0". The number starts at index 3.
    std::string name;
    // A longer description for the user (a USB product name), may be empty.
    std::string detail;
};

// One reading of the list; whatever it holds is released by the destructor.
class PortListing {
public:
    enum class Result {
        kEntry,       // `entry` holds the entry at this index
        kEnd,         // the index is past the last entry
        kUnreadable,  // this entry could not be read (e.g. too long); later ones may be
    };

    virtual ~PortListing() = default;
    virtual Result Entry(int index, PortEntry& entry) = 0;
};

class PortListSource {
public:
    virtual ~PortListSource() = default;
    // Null when the list cannot be read at all.
    virtual std::unique_ptr<PortListing> Open() = 0;
};

// The system's own list, read anew at every Open, in ascending port number.
std::unique_ptr<PortListSource> SystemPortListSource();

}  // namespace plk::platform
