// Firmware components and comparison outcomes.
#ifndef ZODARURUVIZI_CHECKS_CODETYPES_H
#define ZODARURUVIZI_CHECKS_CODETYPES_H

// A firmware component; also the index of its field in CCodeDiffResults.
enum CODETYPE : int {
    CT_LC = 0,         // main device firmware (loaded code)
    CT_PROM = 1,       // PROM firmware
    CT_BOOTSTRAP = 2,  // bootstrap firmware
    CT_CPLD = 3,       // CPLD image (standard or custom)
    CT_MAC = 4,        // active cable firmware
    CT_R318 = 5        // firmware of the R318 active cable variant
};

// How the firmware on the device stands against the PC's file.
enum DIFFTYPE : int {
    DT_SAME = 0,   // no action needed, or no comparison possible
    DT_NEWER = 1,  // the device's release is higher
    DT_OLDER = 2,  // the device's release is lower, or differs without order
    DT_FORCED = 3  // the device runs a manufacturing release: reload
};

#endif
