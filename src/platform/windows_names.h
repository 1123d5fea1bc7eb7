// What Windows makes of a name's components, for the checks that refuse or
// model such names on every system.
#pragma once

#include <string>

namespace pi {

// CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9, in any case, with or
// without an extension (and spaces before it), name devices, not files.
enum class Device { None, Null, Other };
Device DeviceNamedBy(const std::string& component);

} // namespace pi
