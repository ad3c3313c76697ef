// The identity record file's side copy as the library lays it out: a 50-byte
// head "<state> <offset> <length> <size>\n" (state 'V' when it holds bytes to
// put back, numbers in 15 digits), then the kept bytes.
#ifndef ZODARURUVIZI_TESTS_SUPPORT_SIDE_COPY_H
#define ZODARURUVIZI_TESTS_SUPPORT_SIDE_COPY_H

#include <string>

namespace zrtest {

// A side copy holding the bytes [offset, offset + bytes.size()) of a file of
// size bytes.
inline std::string SideCopyHolding(size_t offset, const std::string& bytes, size_t size) {
    std::string head = "V";
    for (size_t value : {offset, bytes.size(), size}) {
        const std::string digits = std::to_string(value);
        head += " " + std::string(15 - digits.size(), '0') + digits;
    }
    return head + "\n" + bytes;
}

// True when a side copy's content holds bytes to put back.
inline bool SideCopyHoldsBytes(const std::string& side) {
    return side.size() >= 50 && side[0] == 'V';
}

// The content that a file and the side copy it was left with stand for;
// "(nothing kept)" when the side copy holds nothing.
inline std::string RestoredFrom(const std::string& file, const std::string& side) {
    if (!SideCopyHoldsBytes(side))
        return "(nothing kept)";
    const size_t offset = std::stoul(side.substr(2, 15));
    const size_t length = std::stoul(side.substr(18, 15));
    const size_t size = std::stoul(side.substr(34, 15));
    return file.substr(0, offset) + side.substr(50, length) +
           file.substr(offset + length, size - offset - length);
}

}  // namespace zrtest

#endif
