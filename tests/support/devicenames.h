#pragma once

#include <string>
#include <vector>

// Names that Windows keeps for a device, and names a little off one. The
// service refuses a ringtone of such a name, and the program, as its last
// line of defence, never makes a file of one: both are held to these rows so
// that they agree. Each is otherwise a good ringtone name (UTF-8).
namespace DeviceNames {

struct Row
{
    std::string name;
    bool device;
};

inline std::vector<Row> rows()
{
    std::vector<std::string> devices {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char *port : {"COM", "LPT"})
        for (const char *n : {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "\u00B9", "\u00B2", "\u00B3"})
            devices.push_back(port + std::string(n));
    std::vector<Row> rows;
    for (const std::string &device : devices) {
        std::string lower = device;
        for (char &c : lower)
            c = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
        rows.push_back({device, true});
        rows.push_back({lower + ".m4r", true});
        rows.push_back({device + "  .tar.gz", true});
        rows.push_back({device + ". .x", true});
    }
    for (const char *name : {"COM10", "LPT", "COM \u00B9", "COM\u2074", "COM\u00B9\u00B9", "Console", "CONIN",
             "CONOUT$1", "NUL1.txt", "AUX-x", "PRN x", "x.CON"})
        rows.push_back({name, false});
    return rows;
}

}  // namespace DeviceNames
