// The value-store attributes every read of a device sets (to a value, or to
// "Unknown" / "NotConnected" when the device gave none), as the tests expect
// them: written out here, not taken from the library.
#ifndef ZODARURUVIZI_TESTS_SUPPORT_ATTRIBUTES_H
#define ZODARURUVIZI_TESTS_SUPPORT_ATTRIBUTES_H

#include <vector>

namespace zrtest {

// First generation ("ZEL").
inline const std::vector<const char*>& TarvikAttributes() {
    static const std::vector<const char*> keys = {"Tarvik_SerialNum",
                                                  "Tarvik_Release",
                                                  "Tarvik_PROM_Release",
                                                  "Tarvik_Release_Untrimmed",
                                                  "Tarvik_PROM_Release_Untrimmed",
                                                  "Tarvik_Bootstrap_Release",
                                                  "Tarvik_Bootstrap_Release_Untrimmed",
                                                  "Tarvik_CPLD_Release",
                                                  "Tarvik_CPLD_Release_Untrimmed",
                                                  "Tarvik_MAC_Firmware_Release",
                                                  "Tarvik_MAC_Firmware_Release_Untrimmed",
                                                  "Tarvik_R318_Firmware_Release",
                                                  "Tarvik_R318_Firmware_Release_Untrimmed",
                                                  "Tarvik_MACAddress",
                                                  "Tarvik_USBMACAddress"};
    return keys;
}

// The measurement module ("MIR").
inline const std::vector<const char*>& SollumAttributes() {
    static const std::vector<const char*> keys = {"Sollum_SerialNum", "Sollum_Release",
                                                  "Sollum_PROM_Release", "Sollum_Release_Untrimmed",
                                                  "Sollum_PROM_Release_Untrimmed"};
    return keys;
}

}  // namespace zrtest

#endif
