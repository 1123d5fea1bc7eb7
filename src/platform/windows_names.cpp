#include "platform/windows_names.h"

namespace pi {

Device DeviceNamedBy(const std::string& component) {
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    for (char& c : base)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (base == "nul")
        return Device::Null;
    if (base == "con" || base == "prn" || base == "aux")
        return Device::Other;
    const bool numbered = base.size() == 4 && base[3] >= '1' && base[3] <= '9';
    if (numbered && (base.compare(0, 3, "com") == 0 || base.compare(0, 3, "lpt") == 0))
        return Device::Other;
    return Device::None;
}

} // namespace pi
